#include "x11/x11_test_support.h"

#include "platform/linux/child_process_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
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

TestDisplay::TestDisplay(const std::string& displayName)
{
    connection_ = xcb_connect(displayName.c_str(), nullptr);
    if (xcb_connection_has_error(connection_))
        return;
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    gc_ = xcb_generate_id(connection_);
    xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
    sync();
}

void TestDisplay::draw(int x, int y, int width, int height, const std::function<std::uint32_t(int, int)>& colourAt)
{
    // A request carries at most this many bytes: the rectangle goes in bands of rows.
    const int rowsPerRequest = std::max(1, static_cast<int>((xcb_get_maximum_request_length(connection_) * 4 - 64) / (width * 4)));
    for (int top = 0; top < height; top += rowsPerRequest) {
        const int rows = std::min(rowsPerRequest, height - top);
        std::vector<std::uint32_t> pixels;
        for (int row = top; row < top + rows; ++row)
            for (int column = 0; column < width; ++column)
                pixels.push_back(colourAt(x + column, y + row));
        xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, gc_, static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(rows),
                      static_cast<std::int16_t>(x), static_cast<std::int16_t>(y + top), 0, 24, static_cast<std::uint32_t>(pixels.size() * 4),
                      reinterpret_cast<const std::uint8_t*>(pixels.data()));
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

InputRecorder::InputRecorder(const std::string& displayName)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return;
    socket_ = ends[0];
    answers_ = fdopen(dup(socket_), "r");
    pid_ = startChildProcess("/usr/bin/python3", {KESTRIO_INPUT_RECORDER, displayName, std::to_string(ends[1])}, ends[1]);
    close(ends[1]);
    connected_ = pid_ > 0 && answers_;
    ask("");  // its first answer says when its window has the focus
}

InputRecorder::~InputRecorder()
{
    close(socket_);  // its end of the conversation: it leaves
    if (answers_)
        fclose(answers_);
    if (pid_ > 0)
        stopChildProcess(pid_, std::chrono::seconds(5));
}

Rows InputRecorder::ask(const std::string& command)
{
    const std::string line = command + "\n";
    if (!command.empty())
        connected_ = connected_ && send(socket_, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    Rows rows;
    char buffer[4096];
    while (connected_ && (connected_ = fgets(buffer, sizeof buffer, answers_) != nullptr) && std::string_view(buffer) != ".\n") {
        std::istringstream numbers(buffer);
        rows.emplace_back(std::istream_iterator<std::uint32_t>(numbers), std::istream_iterator<std::uint32_t>());
    }
    return rows;
}

std::vector<InputEvent> InputRecorder::take()
{
    std::vector<InputEvent> events;
    for (const auto& row : ask("take"))
        if (row.size() == 6)
            events.push_back({static_cast<std::uint8_t>(row[0]), static_cast<std::uint8_t>(row[1]), static_cast<int>(row[2]), static_cast<int>(row[3]),
                              static_cast<std::uint16_t>(row[4]), row[5]});
    return events;
}

}  // namespace kestrio::platform::testing
