#include "platform/x11/x11_permissions.h"
#include "support/test_support.h"
#include "platform/x11/xvfb_server.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kestrio::platform {
namespace {

using test::ScopedEnvironment;

using namespace std::chrono_literals;

XvfbServer::Options smallScreen()
{
    XvfbServer::Options options;
    options.initialSize = {320, 200};
    return options;
}

// An Xvfb started with extra arguments, which XvfbServer does not take. Gone with the object.
class CustomXvfb {
public:
    explicit CustomXvfb(const std::vector<std::string>& extraArguments)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        // Without -noreset the server resets whenever its last client leaves, and refuses
        // connections while it does.
        std::vector<std::string> arguments{"Xvfb", "-displayfd", std::to_string(fds[1]), "-noreset"};
        for (const char* argument : {"-nolisten", "tcp", "-screen", "0", "320x200x24"})
            arguments.emplace_back(argument);
        arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], fds[1]);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        // Xvfb writes its display number once it listens.
        std::string number;
        pollfd entry{fds[0], POLLIN, 0};
        while (pid_ > 0 && number.find('\n') == std::string::npos && poll(&entry, 1, 15000) == 1) {
            char buffer[16];
            ssize_t count = read(fds[0], buffer, sizeof buffer);
            if (count <= 0)
                break;
            number.append(buffer, static_cast<std::size_t>(count));
        }
        close(fds[0]);
        if (number.find('\n') != std::string::npos)
            displayName_ = ":" + number.substr(0, number.find('\n'));
    }

    ~CustomXvfb()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    CustomXvfb(const CustomXvfb&) = delete;
    CustomXvfb& operator=(const CustomXvfb&) = delete;

    // Empty when the server did not start.
    const std::string& displayName() const { return displayName_; }

private:
    pid_t pid_ = -1;
    std::string displayName_;
};

// A display number whose server would listen on a socket nobody has.
std::string unusedDisplayName()
{
    for (int number = 4000; number < 5000; ++number) {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
        std::error_code error;
        if (std::filesystem::exists(socket, error) || std::filesystem::exists(lock, error))
            continue;
        // Servers also listen on an abstract socket of the same name, which leaves no file.
        xcb_connection_t* connection = xcb_connect((":" + std::to_string(number)).c_str(), nullptr);
        const bool refused = xcb_connection_has_error(connection) != 0;
        xcb_disconnect(connection);
        if (refused)
            return ":" + std::to_string(number);
    }
    return {};
}

TEST(X11PermissionFacilityTest, AServerOfferingXtestAllowsInputAndCapture)
{
    std::string error;
    auto server = XvfbServer::start(smallScreen(), error);
    ASSERT_TRUE(server) << error;
    server->authorizeThisProcess();

    X11PermissionFacility facility(server->displayName());
    EXPECT_TRUE(facility.inputTrusted());
    EXPECT_TRUE(facility.captureAllowed());
    // X has no dialogues to show; asking must neither block nor change anything.
    facility.promptForInputTrust();
    facility.requestCaptureAccess();
    EXPECT_TRUE(facility.inputTrusted());

    // A screen the server lacks.
    X11PermissionFacility missingScreen(server->displayName() + ".7");
    EXPECT_FALSE(missingScreen.inputTrusted());
    EXPECT_FALSE(missingScreen.captureAllowed());

    // An empty name means $DISPLAY.
    ScopedEnvironment display("DISPLAY", server->displayName().c_str());
    X11PermissionFacility fromEnvironment;
    EXPECT_TRUE(fromEnvironment.inputTrusted());
    EXPECT_TRUE(fromEnvironment.captureAllowed());
}

TEST(X11PermissionFacilityTest, WithoutXtestInputIsNotTrustedButCaptureStillIs)
{
    CustomXvfb server({"-extension", "XTEST"});
    ASSERT_FALSE(server.displayName().empty());

    X11PermissionFacility facility(server.displayName());
    // The server answers, so what follows is about XTEST alone.
    ASSERT_TRUE(facility.captureAllowed());
    EXPECT_FALSE(facility.inputTrusted());
    EXPECT_TRUE(facility.captureAllowed());
}

TEST(X11PermissionFacilityTest, NoServerAllowsNothing)
{
    const std::string unused = unusedDisplayName();
    ASSERT_FALSE(unused.empty());
    ScopedEnvironment display("DISPLAY", nullptr);
    for (const std::string& name : {unused, std::string("no display at all"), std::string()}) {
        X11PermissionFacility facility(name);
        EXPECT_FALSE(facility.inputTrusted()) << name;
        EXPECT_FALSE(facility.captureAllowed()) << name;
    }
}

TEST(X11PermissionFacilityTest, AServerThatWentAwayAllowsNothing)
{
    std::string error;
    auto server = XvfbServer::start(smallScreen(), error);
    ASSERT_TRUE(server) << error;
    server->authorizeThisProcess();
    const std::string displayName = server->displayName();
    X11PermissionFacility facility(displayName);
    ASSERT_TRUE(facility.inputTrusted());
    ASSERT_TRUE(facility.captureAllowed());

    // Killed outright, the server leaves its socket file behind: connecting is refused rather
    // than impossible.
    // Left unreaped, so that the server object's own clean-up signals nobody else.
    const pid_t pid = server->processID();
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(facility.inputTrusted());
    EXPECT_FALSE(facility.captureAllowed());

    const std::string number = displayName.substr(1);
    std::remove(("/tmp/.X11-unix/X" + number).c_str());
    std::remove(("/tmp/.X" + number + "-lock").c_str());
    // Nothing listens on the name now at all.
    EXPECT_FALSE(facility.inputTrusted());
    EXPECT_FALSE(facility.captureAllowed());
}

// The threads of this process that are talking to an X server for the facility.
std::size_t probeThreads()
{
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        std::getline(comm, name);
        count += name == "x11-permissions";
    }
    return count;
}

// Resumes a stopped process however the test ends.
class Stopped {
public:
    // Returns once the process has stopped; it must be a child of this one.
    explicit Stopped(pid_t pid) : pid_(pid)
    {
        kill(pid_, SIGSTOP);
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(pid_), &info, WSTOPPED);
    }
    ~Stopped() { resume(); }
    void resume()
    {
        if (pid_ > 0)
            kill(pid_, SIGCONT);
        pid_ = -1;
    }

private:
    pid_t pid_;
};

TEST(X11PermissionFacilityTest, AFrozenServerDoesNotHoldTheCallerAndIsAskedAgainOnceItAnswers)
{
    std::string error;
    auto server = XvfbServer::start(smallScreen(), error);
    ASSERT_TRUE(server) << error;
    server->authorizeThisProcess();

    X11PermissionFacility facility(server->displayName(), 300ms);
    Stopped stopped(server->processID());
    // The server takes the connection into its backlog but never answers.
    EXPECT_FALSE(facility.inputTrusted());
    EXPECT_FALSE(facility.captureAllowed());
    EXPECT_FALSE(facility.inputTrusted());
    // Later questions waited for the one left hanging instead of starting more.
    EXPECT_LE(probeThreads(), 1u);

    stopped.resume();
    // The question left hanging is answered first; then the next one gets through.
    bool trusted = false;
    for (int attempt = 0; attempt < 50 && !trusted; ++attempt)
        trusted = facility.inputTrusted();
    EXPECT_TRUE(trusted);
    EXPECT_TRUE(facility.captureAllowed());
}

}  // namespace
}  // namespace kestrio::platform
