// Starting and stopping from the window, and what it shows about the connection meanwhile.
#include "window/window_harness_support.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QQuickItem>
#include <QQuickWindow>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;

const QColor green("#30d158");
const QColor orange("#ff9f0a");

QColor dotColour(const WindowHarness& harness)
{
    return harness.item("statusDot").property("color").value<QColor>();
}

TEST(WindowStreaming, TheButtonStartsAndStopsTheStreamAndTheLiveBadgeFollows)
{
    WindowHarness harness;
    harness.open();
    EXPECT_FALSE(harness.shown("liveBadge"));
    EXPECT_EQ(harness.text("startStopLabelKorean"), "화면 전송 시작");
    EXPECT_EQ(harness.text("startStopLabelEnglish"), "Start Screen Streaming");
    EXPECT_EQ(dotColour(harness), orange);
    EXPECT_EQ(harness.text("statusTitleKorean"), "iPhone을 기다리는 중");
    EXPECT_EQ(harness.text("statusTitleEnglish"), "Waiting for iPhone");

    harness.click("startStopButton");
    EXPECT_TRUE(harness.model->isStreaming());
    EXPECT_EQ(harness.captures.running(), 1) << "the virtual monitor is being captured";
    EXPECT_TRUE(harness.shown("liveBadge"));
    EXPECT_EQ(harness.text("startStopLabelKorean"), "전송 중지");
    EXPECT_EQ(harness.text("startStopLabelEnglish"), "Stop Streaming");
    EXPECT_EQ(dotColour(harness), orange) << "streaming, but no viewer yet";

    // A viewer completes its handshake.
    harness.link->connect(true, "Phone");
    harness.settle();
    EXPECT_EQ(dotColour(harness), green);
    EXPECT_EQ(harness.text("statusTitleKorean"), "iPhone 연결됨");
    EXPECT_EQ(harness.text("statusTitleEnglish"), "iPhone Connected");
    EXPECT_EQ(harness.text("statusDetailKorean"), "Phone · H.264");
    EXPECT_EQ(harness.text("statusDetailEnglish"), "Ready to receive the screen");

    harness.click("startStopButton");
    EXPECT_FALSE(harness.model->isStreaming());
    EXPECT_EQ(harness.captures.running(), 0);
    EXPECT_FALSE(harness.shown("liveBadge"));
    EXPECT_EQ(harness.text("startStopLabelKorean"), "화면 전송 시작");

    harness.link->disconnect();
    harness.settle();
    EXPECT_EQ(dotColour(harness), orange);
}

TEST(WindowStreaming, TheButtonIsDisabledWhileBusy)
{
    WindowHarness harness;
    // The virtual monitor never shows up: the start waits for it on the clock.
    harness.displays->monitorsAppear = false;
    harness.open();
    harness.click("startStopButton");
    ASSERT_TRUE(harness.model->isBusy());
    EXPECT_FALSE(harness.enabled("startStopButton"));
    const auto creations = harness.displays->creations;
    harness.click("startStopButton");
    EXPECT_EQ(harness.displays->creations, creations) << "a press on the disabled button starts nothing";

    // Three attempts of 60 looks, then the fallback to mirroring streams.
    for (int step = 0; step < 200 && harness.model->isBusy(); ++step)
        harness.advance(250ms);
    ASSERT_FALSE(harness.model->isBusy());
    EXPECT_TRUE(harness.model->isStreaming());
    EXPECT_TRUE(harness.enabled("startStopButton"));
    EXPECT_EQ(harness.text("startStopLabelEnglish"), "Stop Streaming");
    EXPECT_TRUE(harness.shown("displayPicker")) << "the fallback switched the window to mirroring";
}

TEST(WindowStreaming, InMirrorModeTheButtonNeedsASelectedDisplay)
{
    WindowHarness harness;
    harness.displays->physical.clear();
    harness.open();
    EXPECT_TRUE(harness.enabled("startStopButton")) << "the virtual monitor needs no display";

    harness.click("modeSegment1");
    EXPECT_EQ(harness.model->selectedDisplayID(), 0U);
    EXPECT_TRUE(harness.shown("displaysLoading"));
    EXPECT_FALSE(harness.shown("displayPicker"));
    EXPECT_EQ(harness.text("displaysLoadingKorean"), "화면을 불러오는 중…");
    EXPECT_EQ(harness.text("displaysLoadingEnglish"), "Loading displays…");
    EXPECT_FALSE(harness.enabled("startStopButton"));
    harness.click("startStopButton");
    EXPECT_FALSE(harness.model->isBusy());
    EXPECT_FALSE(harness.model->isStreaming());

    // A display appears with the next refresh, which the mode change runs.
    harness.displays->physical = {physicalDisplay(7, 0)};
    harness.click("modeSegment0");
    harness.click("modeSegment1");
    EXPECT_EQ(harness.model->selectedDisplayID(), 7U);
    EXPECT_TRUE(harness.enabled("startStopButton"));
    harness.click("startStopButton");
    EXPECT_TRUE(harness.model->isStreaming());
    ASSERT_EQ(harness.captures.runs.size(), 1U);
    EXPECT_EQ(harness.captures.runs[0].displayID, 7U);
}

TEST(WindowStreaming, AtItsMinimumSizeTheWindowScrollsToTheButton)
{
    WindowHarness harness;
    harness.open(QSize(560, 720));
    auto& window = harness.window();
    EXPECT_EQ(window.minimumSize(), QSize(560, 720));
    EXPECT_EQ(window.title(), "Kestrio");
    EXPECT_FALSE(window.icon().isNull());
    auto& scroller = harness.item("scroller");
    EXPECT_GT(scroller.property("contentHeight").toReal(), scroller.height());
    harness.click("startStopButton");
    EXPECT_GT(scroller.property("contentY").toReal(), 0) << "scrolled down to reach it";
    EXPECT_TRUE(harness.model->isStreaming());
}

}  // namespace
}  // namespace kestrio::test
