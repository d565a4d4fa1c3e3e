#include "x11/x11_test_support.h"

#include "platform/linux/child_process_run.h"

#include <gtest/gtest.h>
#include <xcb/randr.h>

#include <algorithm>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrio::platform::testing {

std::unique_ptr<XvfbServer> startServer(ScreenSize initialSize, std::optional<ScreenSize> maximumSize)
{
    std::string error;
    auto server = XvfbServer::start({.initialSize = initialSize, .maximumSize = maximumSize}, error);
    if (!server)
        ADD_FAILURE() << error;
    else
        server->authorizeThisProcess();
    return server;
}

Picture blockPattern(int width, int height, int block)
{
    Picture picture = solidPicture(width, height, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint32_t index = static_cast<std::uint32_t>((y / block) * 1000 + x / block) * 2654435761u + 40503u;
            index = ((index ^ (index >> 15)) * 2246822519u);
            picture.pixels[static_cast<std::size_t>(y) * width + x] = (index ^ (index >> 13)) & 0x00ffffffu;
        }
    }
    return picture;
}

TestDisplay::TestDisplay(const std::string& displayName)
{
    int screenNumber = 0;
    connection_ = xcb_connect(displayName.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection_))
        return;
    auto iterator = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && iterator.rem; ++i)
        xcb_screen_next(&iterator);
    screen_ = iterator.data;
    gc_ = xcb_generate_id(connection_);
    xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
    sync();
}

void TestDisplay::draw(const Picture& picture, int x, int y)
{
    // A request carries at most this many bytes; send the picture in bands of rows.
    const std::size_t maximumBytes = static_cast<std::size_t>(xcb_get_maximum_request_length(connection_)) * 4 - 64;
    const std::size_t rowBytes = static_cast<std::size_t>(picture.width) * 4;
    const int rowsPerRequest = std::max(1, static_cast<int>(maximumBytes / rowBytes));
    for (int row = 0; row < picture.height; row += rowsPerRequest) {
        const int rows = std::min(rowsPerRequest, picture.height - row);
        xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, gc_, static_cast<std::uint16_t>(picture.width),
                      static_cast<std::uint16_t>(rows), static_cast<std::int16_t>(x), static_cast<std::int16_t>(y + row), 0,
                      24, static_cast<std::uint32_t>(rowBytes * rows),
                      reinterpret_cast<const std::uint8_t*>(picture.pixels.data() + static_cast<std::size_t>(row) * picture.width));
    }
    sync();
}

void TestDisplay::warpPointer(int x, int y)
{
    xcb_warp_pointer(connection_, XCB_NONE, screen_->root, 0, 0, 0, 0, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
    sync();
}

Point TestDisplay::pointer()
{
    std::unique_ptr<xcb_query_pointer_reply_t, decltype(&std::free)> reply(
        xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, screen_->root), nullptr), &std::free);
    return reply ? Point{reply->root_x, reply->root_y} : Point{};
}

Point TestDisplay::rootSize()
{
    std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> reply(
        xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, screen_->root), nullptr), &std::free);
    return reply ? Point{reply->width, reply->height} : Point{};
}

std::vector<std::string> TestDisplay::modeNames()
{
    std::vector<std::string> names;
    std::unique_ptr<xcb_randr_get_screen_resources_reply_t, decltype(&std::free)> reply(
        xcb_randr_get_screen_resources_reply(connection_, xcb_randr_get_screen_resources(connection_, screen_->root), nullptr), &std::free);
    const auto* bytes = reply ? reinterpret_cast<const char*>(xcb_randr_get_screen_resources_names(reply.get())) : nullptr;
    for (int i = 0; reply && i < xcb_randr_get_screen_resources_modes_length(reply.get()); ++i) {
        names.emplace_back(bytes, xcb_randr_get_screen_resources_modes(reply.get())[i].name_len);
        bytes += names.back().size();
    }
    return names;
}

std::optional<std::string> xrandr(const std::string& displayName, const std::vector<std::string>& arguments)
{
    ChildProcessOptions options;
    options.environment = {"DISPLAY=" + displayName};
    options.capture = ChildProcessOptions::Capture::outputAndErrors;
    auto result = runChildProcess("xrandr", arguments, options);
    if (result.outcome != ChildProcessResult::Outcome::exited || result.exitStatus != 0)
        return std::nullopt;
    return result.output;
}

InputRecorder::InputRecorder(const std::string& displayName)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return;
    socket_ = ends[0];
    pid_ = startChildProcess("/usr/bin/python3", {KESTRIO_INPUT_RECORDER, displayName, std::to_string(ends[1])}, ends[1]);
    close(ends[1]);
    connected_ = pid_ > 0;
    answer();  // it says when its window has the focus
}

InputRecorder::~InputRecorder()
{
    close(socket_);  // its end of the conversation: it leaves
    if (pid_ > 0)
        stopChildProcess(pid_, std::chrono::seconds(5));
}

Rows InputRecorder::answer()
{
    Rows rows;
    for (std::size_t end; connected_;) {
        if ((end = received_.find('\n')) == std::string::npos) {
            pollfd entry{socket_, POLLIN, 0};
            char buffer[4096];
            const ssize_t count = poll(&entry, 1, 15000) == 1 ? read(socket_, buffer, sizeof buffer) : 0;
            connected_ = count > 0;
            received_.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
            continue;
        }
        std::istringstream numbers(received_.substr(0, end));
        received_.erase(0, end + 1);
        if (numbers.str() == ".")
            return rows;
        rows.emplace_back(std::istream_iterator<std::uint32_t>(numbers), std::istream_iterator<std::uint32_t>());
    }
    return rows;
}

Rows InputRecorder::ask(const std::string& command)
{
    const std::string line = command + "\n";
    connected_ = connected_ && send(socket_, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    return answer();
}

std::vector<InputEvent> InputRecorder::take()
{
    std::vector<InputEvent> events;
    for (const auto& row : ask("take"))
        if (row.size() == 6)
            events.push_back({static_cast<std::uint8_t>(row[0]), static_cast<std::uint8_t>(row[1]), static_cast<int>(row[2]),
                              static_cast<int>(row[3]), static_cast<std::uint16_t>(row[4]), row[5]});
    return events;
}

std::vector<xcb_keycode_t> InputRecorder::emptyKeycodes()
{
    std::vector<xcb_keycode_t> empty;
    for (const auto& row : mapping())
        if (std::all_of(row.begin() + 1, row.end(), [](std::uint32_t keysym) { return keysym == 0; }))
            empty.push_back(static_cast<xcb_keycode_t>(row[0]));
    return empty;
}

std::vector<InputEvent> ofType(const std::vector<InputEvent>& events, std::initializer_list<std::uint8_t> types)
{
    std::vector<InputEvent> result;
    std::copy_if(events.begin(), events.end(), std::back_inserter(result),
                 [&](const InputEvent& event) { return std::find(types.begin(), types.end(), event.type) != types.end(); });
    return result;
}

std::vector<xcb_keysym_t> pressedKeysyms(const std::vector<InputEvent>& events)
{
    std::vector<xcb_keysym_t> keysyms;
    for (const auto& event : ofType(events, {XCB_KEY_PRESS}))
        keysyms.push_back(event.keysym);
    return keysyms;
}

}  // namespace kestrio::platform::testing
