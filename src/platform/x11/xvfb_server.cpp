#include "platform/x11/xvfb_server.h"
#include "platform/os/child_process_run.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <thread>
#include <utility>
#include <unistd.h>
#include <vector>

namespace kestrio::platform::x11 {
namespace {

constexpr auto startTimeout = std::chrono::seconds(15);
constexpr auto stopGrace = std::chrono::seconds(5);

// Reads the display number Xvfb writes once it listens, or nothing when it fails first.
std::optional<int> readDisplayNumber(int fd)
{
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + startTimeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd entry{fd, POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buffer[32];
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return std::nullopt;
        text.append(buffer, static_cast<std::size_t>(count));
        if (text.find('\n') != std::string::npos)
            break;
    }
    try {
        return std::stoi(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool acceptsConnections(const std::string& displayName, const XAuthority& authority)
{
    std::string protocol = XAuthority::protocolName;
    XAuthority::Cookie cookie = authority.cookie();
    xcb_auth_info_t credentials{static_cast<int>(protocol.size()), protocol.data(), static_cast<int>(cookie.size()),
                                reinterpret_cast<char*>(cookie.data())};
    for (int attempt = 0; attempt < 100; ++attempt) {
        xcb_connection_t* connection = xcb_connect_to_display_with_auth_info(displayName.c_str(), &credentials, nullptr);
        bool ok = xcb_connection_has_error(connection) == 0;
        xcb_disconnect(connection);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string sizeText(ScreenSize size)
{
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

// Adds a 60 Hz mode of `size` to the server's only output and switches to it, shrinking the root
// window to match. Xvfb ignores the timings; they only have to be plausible to xrandr.
std::optional<std::string> switchToMode(const std::string& displayName, const std::string& authorityFile, ScreenSize size,
                                        std::chrono::milliseconds commandTimeout)
{
    const int width = size.width;
    const int height = size.height;
    const int horizontalTotal = width + 160;
    const int verticalTotal = height + 40;
    char clock[32];
    std::snprintf(clock, sizeof clock, "%.2f", horizontalTotal * static_cast<double>(verticalTotal) * 60.0 / 1e6);
    const std::string name = sizeText(size);
    const std::vector<std::vector<std::string>> commands{
        {"--newmode", name, clock, std::to_string(width), std::to_string(width + 48), std::to_string(width + 80),
         std::to_string(horizontalTotal), std::to_string(height), std::to_string(height + 3), std::to_string(height + 8),
         std::to_string(verticalTotal), "-hsync", "+vsync"},
        {"--addmode", "screen", name},
        {"--output", "screen", "--mode", name, "--fb", name},
    };
    const std::vector<std::string> environment{"DISPLAY=" + displayName, "XAUTHORITY=" + authorityFile};
    for (const auto& arguments : commands) {
        const auto run = os::runChildProcess("xrandr", arguments, {}, commandTimeout, environment);
        const std::string what = "xrandr " + arguments.front();
        switch (run.outcome) {
        case os::ChildProcessResult::Outcome::exited:
            if (run.exitStatus != 0)
                return what + " failed (exit code " + std::to_string(run.exitStatus) + ")";
            break;
        case os::ChildProcessResult::Outcome::notStarted:
            return "cannot run xrandr";
        case os::ChildProcessResult::Outcome::timedOut:
            return what + " did not finish within " + std::to_string(commandTimeout.count()) + " ms";
        case os::ChildProcessResult::Outcome::signalled:
        case os::ChildProcessResult::Outcome::broken:
            return what + " failed";
        }
    }
    return std::nullopt;
}

}  // namespace

std::unique_ptr<XvfbServer> XvfbServer::start()
{
    return start(Options{});
}

std::unique_ptr<XvfbServer> XvfbServer::start(const Options& options)
{
    std::string error;
    return start(options, error);
}

std::unique_ptr<XvfbServer> XvfbServer::start(const Options& options, std::string& error)
{
    if (options.initialSize.width <= 0 || options.initialSize.height <= 0) {
        error = "the screen size must be positive";
        return nullptr;
    }
    auto authority = XAuthority::create(error);
    if (!authority)
        return nullptr;
    std::unique_ptr<XvfbServer> server(new XvfbServer(options, std::move(authority)));
    if (!server->launch(std::nullopt, error))
        return nullptr;
    return server;
}

bool XvfbServer::launch(std::optional<int> display, std::string& error)
{
    const bool switchesMode = options_.maximumSize && (options_.maximumSize->width > options_.initialSize.width ||
                                                       options_.maximumSize->height > options_.initialSize.height);
    ScreenSize startSize = options_.initialSize;
    if (switchesMode) {
        startSize.width = std::max(options_.maximumSize->width, options_.initialSize.width);
        startSize.height = std::max(options_.maximumSize->height, options_.initialSize.height);
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> arguments{
        "-displayfd", std::to_string(fds[1]), "-noreset", "-nolisten", "tcp", "-auth", authority_->file(), "-screen", "0",
        sizeText(startSize) + "x" + std::to_string(options_.depth),
    };
    // Again on the display it had: its clients (and the user) find it where it was.
    if (display)
        arguments.insert(arguments.begin(), ":" + std::to_string(*display));
    // Through setpriv (util-linux), which has the server told to end when the thread that started
    // it does, so that a host that is killed leaves no server behind; without setpriv, directly.
    std::vector<std::string> guarded{"--pdeathsig", "TERM", "--", "Xvfb"};
    guarded.insert(guarded.end(), arguments.begin(), arguments.end());
    pid_ = os::startChildProcess("setpriv", guarded, fds[1]);
    if (pid_ < 0)
        pid_ = os::startChildProcess("Xvfb", arguments, fds[1]);
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        error = "cannot run Xvfb";
        return false;
    }
    auto number = readDisplayNumber(fds[0]);
    close(fds[0]);
    if (!number) {
        os::stopChildProcess(std::exchange(pid_, -1), stopGrace);
        error = "Xvfb did not start";
        return false;
    }
    displayName_ = ":" + std::to_string(*number);
    if (!acceptsConnections(displayName_, *authority_)) {
        error = "Xvfb on " + displayName_ + " does not accept connections";
        return false;
    }
    if (switchesMode) {
        if (auto failure = switchToMode(displayName_, authorityFile(), options_.initialSize, options_.commandTimeout)) {
            error = *failure;
            return false;
        }
    }
    return true;
}

bool XvfbServer::restart(std::string& error)
{
    if (pid_ > 0)
        os::stopChildProcess(std::exchange(pid_, -1), stopGrace);
    const int number = std::stoi(displayName_.substr(1));
    return launch(number, error);
}

XvfbServer::XvfbServer(const Options& options, std::unique_ptr<XAuthority> authority)
    : options_(options), authority_(std::move(authority))
{
}

// The members, the authority file among them, go after the server has ended: it is never left
// running without its file.
XvfbServer::~XvfbServer()
{
    if (pid_ > 0)
        os::stopChildProcess(pid_, stopGrace);
}

const std::string& XvfbServer::authorityFile() const
{
    return authority_->file();
}

void XvfbServer::authorizeThisProcess() const
{
    ::setenv("XAUTHORITY", authority_->file().c_str(), 1);
}

}  // namespace kestrio::platform::x11
