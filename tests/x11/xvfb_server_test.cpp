#include "platform/x11/xvfb_server.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <signal.h>
#include <sys/stat.h>

namespace kestrio::platform {
namespace {

using test::ScopedEnvironment;

struct RootSize {
    int width = 0;
    int height = 0;
};

// The root window's size as a fresh client of `server` sees it now.
RootSize rootSize(const XvfbServer& server)
{
    server.authorizeThisProcess();
    xcb_connection_t* connection = xcb_connect(server.displayName().c_str(), nullptr);
    RootSize size;
    if (!xcb_connection_has_error(connection)) {
        xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        if (auto* geometry = xcb_get_geometry_reply(connection, xcb_get_geometry(connection, root), nullptr)) {
            size = {geometry->width, geometry->height};
            std::free(geometry);
        }
    }
    xcb_disconnect(connection);
    return size;
}

bool processGone(pid_t pid)
{
    // A child that has exited but was not reaped still answers signal 0.
    return kill(pid, 0) != 0 && errno == ESRCH;
}

TEST(XvfbServerTest, ServersRunSideBySideAndLeaveNothingBehind)
{
    std::string error;
    XvfbServer::Options small;
    small.initialSize = {320, 200};
    auto first = XvfbServer::start(small, error);
    ASSERT_TRUE(first) << error;
    auto second = XvfbServer::start(small, error);
    ASSERT_TRUE(second) << error;

    EXPECT_NE(first->displayName(), second->displayName());
    EXPECT_EQ(first->displayName().front(), ':');
    EXPECT_EQ(rootSize(*first).width, 320);
    EXPECT_EQ(rootSize(*second).height, 200);

    const pid_t firstPid = first->processID();
    const pid_t secondPid = second->processID();
    first.reset();
    EXPECT_TRUE(processGone(firstPid));
    EXPECT_FALSE(processGone(secondPid));
    EXPECT_EQ(rootSize(*second).width, 320);
    second.reset();
    EXPECT_TRUE(processGone(secondPid));
}

TEST(XvfbServerTest, StartsLargeThenShowsTheInitialSizeAndCanGrowLater)
{
    std::string error;
    XvfbServer::Options options;
    options.initialSize = {1280, 720};
    options.maximumSize = ScreenSize{2560, 1440};
    auto server = XvfbServer::start(options, error);
    ASSERT_TRUE(server) << error;

    auto size = rootSize(*server);  // and authorizes the xrandr runs below
    EXPECT_EQ(size.width, 1280);
    EXPECT_EQ(size.height, 720);

    // The room left above the initial size is what a virtual monitor is made of later.
    std::string grow = "DISPLAY=" + server->displayName() + " xrandr --fb 2400x720 >/dev/null 2>&1";
    ASSERT_EQ(std::system(grow.c_str()), 0);
    EXPECT_EQ(rootSize(*server).width, 2400);
    std::string tooLarge = "DISPLAY=" + server->displayName() + " xrandr --fb 2600x720 >/dev/null 2>&1";
    EXPECT_NE(std::system(tooLarge.c_str()), 0);
}

unsigned permissions(const std::filesystem::path& path)
{
    struct stat status = {};
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

bool admits(const std::string& displayName, const xcb_auth_info_t* credentials)
{
    xcb_connection_t* connection = credentials ? xcb_connect_to_display_with_auth_info(displayName.c_str(), const_cast<xcb_auth_info_t*>(credentials), nullptr)
                                               : xcb_connect(displayName.c_str(), nullptr);
    const bool ok = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return ok;
}

// Only holders of the cookie get in; the cookie lies in a file of this user's alone, in the
// session's runtime folder or, without one, in a private folder of its own, and goes with the server.
TEST(XvfbServerTest, AdmitsOnlyClientsWithItsCookieKeptInAPrivateFile)
{
    for (const bool runtimeFolderGiven : {true, false}) {
        SCOPED_TRACE(runtimeFolderGiven ? "XDG_RUNTIME_DIR set" : "XDG_RUNTIME_DIR unset");
        test::TemporaryDirectory runtime;
        ScopedEnvironment runtimeVariable("XDG_RUNTIME_DIR", runtimeFolderGiven ? std::optional(runtime.path().string()) : std::nullopt);
        ScopedEnvironment authorityVariable("XAUTHORITY", (runtime.path() / "none").string());
        XvfbServer::Options small;
        small.initialSize = {320, 200};
        std::string error;
        auto server = XvfbServer::start(small, error);
        ASSERT_TRUE(server) << error;

        const std::filesystem::path file = server->authorityFile();
        const std::filesystem::path folder = file.parent_path();
        if (runtimeFolderGiven)
            EXPECT_EQ(folder, runtime.path() / "kestrio");
        else
            EXPECT_EQ(folder.parent_path(), "/tmp");
        EXPECT_EQ(permissions(file), 0600u);
        EXPECT_EQ(permissions(folder), 0700u);

        EXPECT_FALSE(admits(server->displayName(), nullptr)) << "admitted without a cookie";
        std::string protocol = "MIT-MAGIC-COOKIE-1";
        char wrongCookie[16] = {};
        const xcb_auth_info_t wrong{static_cast<int>(protocol.size()), protocol.data(), sizeof wrongCookie, wrongCookie};
        EXPECT_FALSE(admits(server->displayName(), &wrong)) << "admitted with a wrong cookie";
        server->authorizeThisProcess();
        EXPECT_TRUE(admits(server->displayName(), nullptr)) << "refused with its authority file";

        server.reset();
        EXPECT_FALSE(std::filesystem::exists(file));
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
        {
            std::ofstream script(tools.path() / "xrandr");
            script << "#!/bin/sh\necho $$ > " << (tools.path() / "pid").string() << "\n" << test.script << "\n";
        }
        std::filesystem::permissions(tools.path() / "xrandr", std::filesystem::perms::owner_all);
        ScopedEnvironment path("PATH", tools.path().string() + ":" + std::getenv("PATH"));
        ScopedEnvironment runtimeVariable("XDG_RUNTIME_DIR", runtime.path().string());

        XvfbServer::Options options;
        options.initialSize = {320, 200};
        options.maximumSize = ScreenSize{640, 400};
        options.commandTimeout = std::chrono::milliseconds(300);
        std::string error;
        EXPECT_FALSE(XvfbServer::start(options, error));
        EXPECT_EQ(error, test.error);

        pid_t xrandr = 0;
        std::ifstream(tools.path() / "pid") >> xrandr;
        ASSERT_GT(xrandr, 0);
        EXPECT_TRUE(processGone(xrandr));
        EXPECT_FALSE(std::filesystem::exists(runtime.path() / "kestrio"));
    }
}

}  // namespace
}  // namespace kestrio::platform
