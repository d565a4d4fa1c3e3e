#include "display/virtual_display_error.h"
#include "platform/x11/randr_displays.h"
#include "platform/x11/xvfb_server.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kestrio::platform {
namespace {

using display::VirtualDisplayException;
using display::VirtualResolution;

TEST(RandrDisplayFacilityTest, ListsTheServersMonitorsAndFailsWithAReasonWithoutAServer)
{
    std::string error;
    auto server = XvfbServer::start(XvfbServer::Options{}, error);
    ASSERT_TRUE(server) << error;
    server->authorizeThisProcess();
    RandrDisplayFacility facility(server->displayName());
    auto displays = facility.displays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_NE(displays[0].id, 0u);
    EXPECT_EQ(displays[0].x, 0);
    EXPECT_EQ(displays[0].y, 0);
    EXPECT_EQ(displays[0].width, 1920);
    EXPECT_EQ(displays[0].height, 1080);
    EXPECT_EQ(displays[0].name, "screen");
    EXPECT_FALSE(displays[0].ownVirtualMonitor);

    RandrDisplayFacility nowhere(":65000");
    try {
        nowhere.displays();
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& failure) {
        EXPECT_NE(std::string(failure.what()).find(":65000"), std::string::npos) << failure.what();
    }
    EXPECT_THROW(nowhere.createVirtualMonitor(VirtualResolution::hd, 1), VirtualDisplayException);
}

}  // namespace
}  // namespace kestrio::platform
