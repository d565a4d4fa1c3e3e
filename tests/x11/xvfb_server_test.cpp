#include "platform/x11/xvfb_server.h"
#include "x11/x11_test_support.h"

#include <cerrno>
#include <chrono>
#include <fstream>

namespace kestrio::platform::x11 {
namespace {

using test::ScopedEnvironment;
using std::filesystem::perms;
using ::testing::HasSubstr;

bool processGone(pid_t pid)
{
    return kill(pid, 0) != 0 && errno == ESRCH;  // a child that exited unreaped still answers
}

// Only holders of a server's cookie get in; it lies in a file of this user's alone, in the
// session's runtime folder or, without one, a private folder of its own, and goes with the
// server. The room above the initial size is what a virtual monitor is made of later.
TEST(XvfbServerTest, ServersRunSideBySideAdmitOnlyHoldersOfTheirPrivateCookieAndLeaveNothingBehind)
{
    for (const bool runtimeFolderGiven : {true, false}) {
        SCOPED_TRACE(runtimeFolderGiven ? "XDG_RUNTIME_DIR set" : "XDG_RUNTIME_DIR unset");
        test::TemporaryDirectory runtime;
        ScopedEnvironment runtimeVariable("XDG_RUNTIME_DIR", runtimeFolderGiven ? std::optional(runtime.path().string()) : std::nullopt);
        ScopedEnvironment authorityVariable("XAUTHORITY", (runtime.path() / "none").string());
        std::string error;
        auto first = XvfbServer::start({.initialSize = {1280, 720}, .maximumSize = ScreenSize{2560, 1440}}, error);
        auto second = XvfbServer::start({.initialSize = {320, 200}, .maximumSize = {}}, error);
        ASSERT_TRUE(first && second) << error;
        const auto screen = [](const XvfbServer& server) { return testing::xrandr(server.displayName(), {}).value_or("refused"); };
        EXPECT_NE(first->displayName(), second->displayName());
        const std::filesystem::path file = first->authorityFile(), folder = file.parent_path();
        EXPECT_EQ(runtimeFolderGiven ? folder : folder.parent_path(), runtimeFolderGiven ? runtime.path() / "kestrio" : "/tmp");
        EXPECT_EQ(std::make_pair(symlink_status(file).permissions(), symlink_status(folder).permissions()), std::make_pair(perms(0600), perms(0700)));
        EXPECT_EQ(screen(*first), "refused");
        second->authorizeThisProcess();
        EXPECT_EQ(screen(*first), "refused");
        EXPECT_THAT(screen(*second), HasSubstr("current 320 x 200,"));
        first->authorizeThisProcess();
        EXPECT_THAT(screen(*first), HasSubstr("current 1280 x 720,"));
        EXPECT_TRUE(testing::xrandr(first->displayName(), {"--fb", "2400x720"}));
        EXPECT_THAT(screen(*first), HasSubstr("current 2400 x 720,"));
        EXPECT_FALSE(testing::xrandr(first->displayName(), {"--fb", "2600x720"}));

        const pid_t firstPid = first->processID();
        first.reset();
        EXPECT_TRUE(processGone(firstPid) && !std::filesystem::exists(file) && !processGone(second->processID()));
        second.reset();
        EXPECT_FALSE(std::filesystem::exists(folder));
    }
}

// A hung xrandr is killed at the deadline, a failing one reported; either way the start fails
// and leaves nothing behind.
TEST(XvfbServerTest, AHungOrFailingXrandrFailsTheStartWithinItsDeadline)
{
    for (const auto& [script, expected] : {std::pair{"exec sleep 600", "xrandr --newmode did not finish within 300 ms"}, {"exit 3", "xrandr --newmode failed (exit code 3)"}}) {
        test::TemporaryDirectory tools, runtime;
        std::ofstream(tools.path() / "xrandr") << "#!/bin/sh\necho $$ > " << (tools.path() / "pid").string() << "\n" << script << "\n";
        std::filesystem::permissions(tools.path() / "xrandr", std::filesystem::perms::owner_all);
        ScopedEnvironment path("PATH", tools.path().string() + ":" + std::getenv("PATH"));
        ScopedEnvironment runtimeVariable("XDG_RUNTIME_DIR", runtime.path().string());
        std::string error;
        const auto began = std::chrono::steady_clock::now();
        EXPECT_FALSE(XvfbServer::start({.initialSize = {320, 200}, .maximumSize = ScreenSize{640, 400}, .depth = 24, .commandTimeout = std::chrono::milliseconds(300)}, error));
        // The limit asked for, not some longer one of its own (the X server's own start is quick).
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(4)) << script;
        EXPECT_EQ(error, expected);
        pid_t xrandr = 0;
        std::ifstream(tools.path() / "pid") >> xrandr;
        EXPECT_TRUE(xrandr > 0 && processGone(xrandr) && !std::filesystem::exists(runtime.path() / "kestrio")) << script;
    }
}

}  // namespace
}  // namespace kestrio::platform::x11
