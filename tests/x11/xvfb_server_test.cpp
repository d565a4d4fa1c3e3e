#include "platform/x11/xvfb_server.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <signal.h>

namespace kestrio::platform {
namespace {

struct RootSize {
    int width = 0;
    int height = 0;
};

// The root window's size as a fresh client sees it now.
RootSize rootSize(const std::string& displayName)
{
    xcb_connection_t* connection = xcb_connect(displayName.c_str(), nullptr);
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
    EXPECT_EQ(rootSize(first->displayName()).width, 320);
    EXPECT_EQ(rootSize(second->displayName()).height, 200);

    const pid_t firstPid = first->processID();
    const pid_t secondPid = second->processID();
    first.reset();
    EXPECT_TRUE(processGone(firstPid));
    EXPECT_FALSE(processGone(secondPid));
    EXPECT_EQ(rootSize(second->displayName()).width, 320);
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

    auto size = rootSize(server->displayName());
    EXPECT_EQ(size.width, 1280);
    EXPECT_EQ(size.height, 720);

    // The room left above the initial size is what a virtual monitor is made of later.
    std::string grow = "DISPLAY=" + server->displayName() + " xrandr --fb 2400x720 >/dev/null 2>&1";
    ASSERT_EQ(std::system(grow.c_str()), 0);
    EXPECT_EQ(rootSize(server->displayName()).width, 2400);
    std::string tooLarge = "DISPLAY=" + server->displayName() + " xrandr --fb 2600x720 >/dev/null 2>&1";
    EXPECT_NE(std::system(tooLarge.c_str()), 0);
}

}  // namespace
}  // namespace kestrio::platform
