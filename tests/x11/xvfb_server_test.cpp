#include "platform/x11/xvfb_server.h"
#include "support/test_support.h"
#include "x11/x11_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sys/stat.h>

namespace kestrio::platform {
namespace {

using test::ScopedEnvironment;
using testing::Point;

bool processGone(pid_t pid)
{
    // A child that has exited but was not reaped still answers signal 0.
    return kill(pid, 0) != 0 && errno == ESRCH;
}

unsigned permissions(const std::filesystem::path& path)
{
    struct stat status = {};
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// Servers run side by side; one that starts large shows its initial size and can grow later. Only
// holders of the cookie get in; the cookie lies in a file of this user's alone, in the session's
// runtime folder or, without one, in a private folder of its own, and goes with the server.
TEST(XvfbServerTest, ServersRunSideBySideAdmitOnlyHoldersOfTheirPrivateCookieAndLeaveNothingBehind)
{
    for (const bool runtimeFolderGiven : {true, false}) {
        SCOPED_TRACE(runtimeFolderGiven ? "XDG_RUNTIME_DIR set" : "XDG_RUNTIME_DIR unset");
        test::TemporaryDirectory runtime;
        ScopedEnvironment runtimeVariable("XDG_RUNTIME_DIR", runtimeFolderGiven ? std::optional(runtime.path().string()) : std::nullopt);
        ScopedEnvironment authorityVariable("XAUTHORITY", (runtime.path() / "none").string());
        std::string error;
        auto first = XvfbServer::start({.initialSize = {1280, 720}, .maximumSize = ScreenSize{2560, 1440}}, error);
        ASSERT_TRUE(first) << error;
        auto second = XvfbServer::start({.initialSize = {320, 200}, .maximumSize = {}}, error);
        ASSERT_TRUE(second) << error;
        EXPECT_NE(first->displayName(), second->displayName());

        const std::filesystem::path file = first->authorityFile(), folder = file.parent_path();
        EXPECT_EQ(runtimeFolderGiven ? folder : folder.parent_path(), runtimeFolderGiven ? runtime.path() / "kestrio" : "/tmp");
        EXPECT_EQ(std::make_pair(permissions(file), permissions(folder)), std::make_pair(0600u, 0700u));
        EXPECT_FALSE(testing::TestDisplay(first->displayName()).connected()) << "admitted without a cookie";
        second->authorizeThisProcess();
        EXPECT_FALSE(testing::TestDisplay(first->displayName()).connected()) << "admitted with another server's cookie";
        EXPECT_EQ(testing::TestDisplay(second->displayName()).rootSize(), (Point{320, 200}));

        first->authorizeThisProcess();
        EXPECT_EQ(testing::TestDisplay(first->displayName()).rootSize(), (Point{1280, 720}));
        // The room left above the initial size is what a virtual monitor is made of later.
        EXPECT_TRUE(testing::xrandr(first->displayName(), {"--fb", "2400x720"}) && testing::TestDisplay(first->displayName()).rootSize() == (Point{2400, 720}));
        EXPECT_FALSE(testing::xrandr(first->displayName(), {"--fb", "2600x720"}));

        const pid_t firstPid = first->processID();
        first.reset();
        EXPECT_TRUE(processGone(firstPid) && !std::filesystem::exists(file) && !processGone(second->processID()));
        second.reset();
        EXPECT_FALSE(std::filesystem::exists(folder));
    }
}

// xrandr sets up the screen of a server that starts large. One that hangs is killed at the
// deadline, one that fails is reported; either way the start fails and leaves nothing behind.
TEST(XvfbServerTest, AHungOrFailingXrandrFailsTheStartWithinItsDeadline)
{
    struct Case {
        const char* script;
        const char* error;
    };
    for (const Case& test : {Case{"exec sleep 600", "xrandr --newmode did not finish within 300 ms"},
                             Case{"exit 3", "xrandr --newmode failed (exit code 3)"}}) {
        SCOPED_TRACE(test.script);
        test::TemporaryDirectory tools;
        test::TemporaryDirectory runtime;
        std::ofstream(tools.path() / "xrandr") << "#!/bin/sh\necho $$ > " << (tools.path() / "pid").string() << "\n" << test.script << "\n";
        std::filesystem::permissions(tools.path() / "xrandr", std::filesystem::perms::owner_all);
        ScopedEnvironment path("PATH", tools.path().string() + ":" + std::getenv("PATH"));
        ScopedEnvironment runtimeVariable("XDG_RUNTIME_DIR", runtime.path().string());

        std::string error;
        EXPECT_FALSE(XvfbServer::start({.initialSize = {320, 200}, .maximumSize = ScreenSize{640, 400}, .depth = 24, .commandTimeout = std::chrono::milliseconds(300)}, error));
        EXPECT_EQ(error, test.error);

        pid_t xrandr = 0;
        std::ifstream(tools.path() / "pid") >> xrandr;
        EXPECT_TRUE(xrandr > 0 && processGone(xrandr) && !std::filesystem::exists(runtime.path() / "kestrio"));
    }
}

}  // namespace
}  // namespace kestrio::platform
