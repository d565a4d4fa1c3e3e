#include "platform/wlroots/sway_ipc.h"

#include <gtest/gtest.h>

// Runs beside the headless sway of headless_sway.sh: one output, HEADLESS-1, 1280×720.
namespace kestrio::platform::wlroots {
namespace {

TEST(SwayIpc, ListsOutputsRunsCommandsAndSaysWhatFailed)
{
    SwayIpc ipc;
    EXPECT_GE(ipc.version().first, 1);
    auto outputs = ipc.outputs();
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0].name, "HEADLESS-1");
    EXPECT_TRUE(outputs[0].active);
    EXPECT_EQ(outputs[0].width, 1280);
    EXPECT_EQ(outputs[0].height, 720);

    EXPECT_EQ(ipc.command("output HEADLESS-1 position 0 0"), "");

    EXPECT_NE(ipc.command("no-such-command"), "");
    EXPECT_THROW(SwayIpc("/nonexistent/sway-ipc.sock"), SwayIpcError);
}

}  // namespace
}  // namespace kestrio::platform::wlroots
