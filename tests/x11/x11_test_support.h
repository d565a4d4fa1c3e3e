#pragma once

// X clients beside the code under test: one draws on the root window and moves the pointer; the
// other records the input it receives, as an application would. With what the tests around them
// all use.

#include "platform/os/child_process_run.h"
#include "platform/x11/xvfb_server.h"
#include "runtime/virtual_clock.h"
#include "support/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <signal.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrio::platform::testing {

// A server this process is let into; null (and a test failure) when it could not start.
inline std::unique_ptr<x11::XvfbServer> startServer(x11::ScreenSize initialSize, std::optional<x11::ScreenSize> maximumSize = std::nullopt)
{
    std::string error;
    auto server = x11::XvfbServer::start({.initialSize = initialSize, .maximumSize = maximumSize}, error);
    server ? server->authorizeThisProcess() : ADD_FAILURE() << error;
    return server;
}

// What `xrandr <arguments>` printed on `displayName`, or nothing when it failed.
inline std::optional<std::string> xrandr(const std::string& displayName, const std::vector<std::string>& arguments)
{
    auto result = os::runChildProcess("xrandr", arguments, {.environment = {"DISPLAY=" + displayName}, .capture = os::ChildProcessOptions::Capture::outputAndErrors});
    return result.outcome == os::ChildProcessResult::Outcome::exited && result.exitStatus == 0 ? std::optional(result.output) : std::nullopt;
}

// Each call returns once the server has done what it asked.
class TestDisplay {
public:
    explicit TestDisplay(const std::string& displayName) : connection_(xcb_connect(displayName.c_str(), nullptr))
    {
        if (!xcb_connection_has_error(connection_))
            root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root, xcb_create_gc(connection_, gc_, root_, 0, nullptr);
    }
    ~TestDisplay() { xcb_disconnect(connection_); }

    bool connected() const { return root_ != 0; }
    // Paints the rectangle with 0x00RRGGBB colours, given the root coordinates.
    void draw(int x, int y, int width, int height, const std::function<std::uint32_t(int, int)>& colourAt)
    {
        std::vector<std::uint32_t> pixels;
        for (int row = y; row < y + height; ++row)
            for (int column = x; column < x + width; ++column)
                pixels.push_back(colourAt(column, row));
        xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, gc_, width, height, x, y, 0, 24, pixels.size() * 4, reinterpret_cast<const std::uint8_t*>(pixels.data()));
        sync();
    }
    void warpPointer(int x, int y) { xcb_warp_pointer(connection_, XCB_NONE, root_, 0, 0, 0, 0, x, y), sync(); }

private:
    void sync() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

    xcb_connection_t* connection_;
    xcb_window_t root_ = 0;
    xcb_gcontext_t gc_ = xcb_generate_id(connection_);
};

struct InputEvent {
    std::uint8_t type = 0, detail = 0;  // XCB_KEY_PRESS, …; keycode or button
    int x = 0, y = 0;                   // root position
    std::uint16_t state = 0;
    xcb_keysym_t keysym = 0;  // keys: what the keycode meant when the event was read
};
using Rows = std::vector<std::vector<std::uint32_t>>;

// The input recorder the end-to-end tests use (tests/support/x_input_recorder.py), run as a
// child that answers over a socket: a window over the whole screen with the input focus.
class InputRecorder {
public:
    explicit InputRecorder(const std::string& displayName)
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return;
        socket_ = ends[0], answers_ = fdopen(dup(socket_), "r");
        pid_ = os::startChildProcess("/usr/bin/python3", {KESTRIO_INPUT_RECORDER, displayName, std::to_string(ends[1])}, ends[1]);
        close(ends[1]);
        connected_ = pid_ > 0 && answers_;
        ask("");  // its first answer says when its window has the focus
    }
    ~InputRecorder()
    {
        close(socket_);  // its end of the conversation: it leaves
        if (answers_)
            fclose(answers_);
        if (pid_ > 0)
            os::stopChildProcess(pid_, std::chrono::seconds(5));
    }

    bool connected() const { return connected_; }
    // "mapping": a row per keycode, the keycode first, then its keysyms. "set KEYCODE KEYSYM".
    // "keys N": returns once N keys have been pressed since the last take().
    Rows ask(const std::string& command)
    {
        const std::string line = command + "\n";
        connected_ = connected_ && (command.empty() || send(socket_, line.data(), line.size(), MSG_NOSIGNAL) == std::ssize(line));
        Rows rows;
        char buffer[4096];
        while (connected_ && (connected_ = fgets(buffer, sizeof buffer, answers_) != nullptr) && std::string_view(buffer) != ".\n") {
            std::istringstream numbers(buffer);
            rows.emplace_back(std::istream_iterator<std::uint32_t>(numbers), std::istream_iterator<std::uint32_t>());
        }
        return rows;
    }
    // Everything that arrived before this call reached the server, since the last call. Events
    // another client caused are included once that client has had a reply to a later request.
    std::vector<InputEvent> take()
    {
        std::vector<InputEvent> events;
        for (const auto& r : ask("take"))
            events.push_back({std::uint8_t(r.at(0)), std::uint8_t(r.at(1)), int(r.at(2)), int(r.at(3)), std::uint16_t(r.at(4)), r.at(5)});
        return events;
    }

private:
    int socket_ = -1;
    FILE* answers_ = nullptr;
    pid_t pid_ = -1;
    bool connected_ = false;
};

}  // namespace kestrio::platform::testing
