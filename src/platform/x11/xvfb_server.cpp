#include "platform/x11/xvfb_server.h"
#include "platform/x11/x11_connect.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kestrio::platform {
namespace {

constexpr auto startTimeout = std::chrono::seconds(15);

// Spawns `arguments` (looked up in PATH) with `environment`, its standard streams on /dev/null
// and `keepOpen` inherited. Returns the child, or -1.
pid_t spawn(const std::vector<std::string>& arguments, char* const* environment, int keepOpen = -1)
{
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // Duplicating a descriptor onto itself clears its close-on-exec flag in the child only.
    if (keepOpen >= 0)
        posix_spawn_file_actions_adddup2(&actions, keepOpen, keepOpen);
    pid_t pid = -1;
    int result = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environment);
    posix_spawn_file_actions_destroy(&actions);
    return result == 0 ? pid : -1;
}

int waitForExit(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void terminate(pid_t pid)
{
    kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        pid_t done = waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    waitForExit(pid);
}

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

bool acceptsConnections(const std::string& displayName)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        xcb_connection_t* connection = connectToDisplay(displayName);
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
std::optional<std::string> switchToMode(const std::string& displayName, ScreenSize size)
{
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "DISPLAY=", 8) != 0)
            environment.emplace_back(*entry);
    }
    environment.push_back("DISPLAY=" + displayName);
    std::vector<char*> envp;
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    const int width = size.width;
    const int height = size.height;
    const int horizontalTotal = width + 160;
    const int verticalTotal = height + 40;
    char clock[32];
    std::snprintf(clock, sizeof clock, "%.2f", horizontalTotal * static_cast<double>(verticalTotal) * 60.0 / 1e6);
    const std::string name = sizeText(size);
    const std::vector<std::vector<std::string>> commands{
        {"xrandr", "--newmode", name, clock, std::to_string(width), std::to_string(width + 48), std::to_string(width + 80),
         std::to_string(horizontalTotal), std::to_string(height), std::to_string(height + 3), std::to_string(height + 8),
         std::to_string(verticalTotal), "-hsync", "+vsync"},
        {"xrandr", "--addmode", "screen", name},
        {"xrandr", "--output", "screen", "--mode", name, "--fb", name},
    };
    for (const auto& command : commands) {
        pid_t pid = spawn(command, envp.data());
        if (pid < 0)
            return "cannot run xrandr";
        if (int code = waitForExit(pid); code != 0)
            return "xrandr " + command[1] + " failed (exit code " + std::to_string(code) + ")";
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
    const bool switchesMode = options.maximumSize && (options.maximumSize->width > options.initialSize.width ||
                                                      options.maximumSize->height > options.initialSize.height);
    ScreenSize startSize = options.initialSize;
    if (switchesMode) {
        startSize.width = std::max(options.maximumSize->width, options.initialSize.width);
        startSize.height = std::max(options.maximumSize->height, options.initialSize.height);
    }

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return nullptr;
    }
    const std::vector<std::string> arguments{
        "Xvfb",      "-displayfd", std::to_string(fds[1]), "-noreset", "-nolisten", "tcp", "-screen", "0",
        sizeText(startSize) + "x" + std::to_string(options.depth),
    };
    pid_t pid = spawn(arguments, environ, fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        error = "cannot run Xvfb";
        return nullptr;
    }
    auto number = readDisplayNumber(fds[0]);
    close(fds[0]);
    if (!number) {
        terminate(pid);
        error = "Xvfb did not start";
        return nullptr;
    }
    std::string displayName = std::to_string(*number);
    displayName.insert(displayName.begin(), ':');
    std::unique_ptr<XvfbServer> server(new XvfbServer(pid, std::move(displayName)));
    if (!acceptsConnections(server->displayName_)) {
        error = "Xvfb on " + server->displayName_ + " does not accept connections";
        return nullptr;
    }
    if (switchesMode) {
        if (auto failure = switchToMode(server->displayName_, options.initialSize)) {
            error = *failure;
            return nullptr;
        }
    }
    return server;
}

XvfbServer::~XvfbServer()
{
    if (pid_ > 0)
        terminate(pid_);
}

}  // namespace kestrio::platform
