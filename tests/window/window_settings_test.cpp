// The settings card: pickers, toggles and permission rows, and the guidance note under it.
#include "window/window_harness_support.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickWindow>

namespace kestrio::test {
namespace {

TEST(WindowSettings, TheModePickerSwapsTheResolutionPickerForTheDisplayPicker)
{
    WindowHarness harness;
    harness.open();
    EXPECT_TRUE(harness.shown("resolutionPicker"));
    EXPECT_FALSE(harness.shown("displayPicker"));
    EXPECT_EQ(harness.text("resolutionPickerCurrentKorean"), "1920×1080");

    // Extended: the resolution for the next monitor.
    harness.click("resolutionPicker");
    harness.click("resolutionPickerOption2");
    EXPECT_EQ(harness.model->virtualResolution(), display::VirtualResolution::hd);
    EXPECT_EQ(harness.text("resolutionPickerCurrentKorean"), "1280×720");

    harness.click("modeSegment1");
    EXPECT_EQ(harness.model->sourceMode(), model::SourceMode::mirror);
    EXPECT_FALSE(harness.shown("resolutionPicker"));
    EXPECT_TRUE(harness.shown("displayPicker"));
    EXPECT_EQ(harness.text("displayPickerCurrentKorean"), "디스플레이 1 · 1920×1080");
    EXPECT_EQ(harness.text("displayPickerCurrentEnglish"), "Display 1 · 1920×1080");

    // Mirroring: which display.
    harness.click("displayPicker");
    EXPECT_EQ(harness.text("displayPickerOption1LabelKorean"), "디스플레이 2 · 1280×1024");
    EXPECT_EQ(harness.text("displayPickerOption1LabelEnglish"), "Display 2 · 1280×1024");
    harness.click("displayPickerOption1");
    EXPECT_EQ(harness.model->selectedDisplayID(), 2U);
    EXPECT_EQ(harness.text("displayPickerCurrentKorean"), "디스플레이 2 · 1280×1024");

    harness.click("modeSegment0");
    EXPECT_EQ(harness.model->sourceMode(), model::SourceMode::virtualDisplay);
    EXPECT_TRUE(harness.shown("resolutionPicker"));
    EXPECT_FALSE(harness.shown("displayPicker"));
}

TEST(WindowSettings, TheModeChangeOfARunningStreamWaitsForTheNextStart)
{
    WindowHarness harness;
    harness.open();
    harness.click("startStopButton");
    ASSERT_TRUE(harness.model->isStreaming());
    const auto monitors = harness.displays->liveMonitors;
    harness.click("modeSegment1");
    EXPECT_EQ(harness.model->sourceMode(), model::SourceMode::mirror);
    EXPECT_EQ(harness.displays->liveMonitors, monitors) << "the monitor being streamed stays";
    EXPECT_EQ(harness.captures.running(), 1);
}

TEST(WindowSettings, QualityFrameRateAndTheTwoTogglesWriteTheModel)
{
    WindowHarness harness;
    harness.open();
    harness.click("qualitySegment2");
    EXPECT_EQ(harness.model->quality(), model::StreamQuality::sharp);
    harness.click("frameRateSegment0");
    EXPECT_EQ(harness.model->frameRate(), model::StreamFrameRate::thirty);
    harness.click("startStopButton");
    ASSERT_EQ(harness.captures.runs.size(), 1U);
    EXPECT_EQ(harness.captures.runs[0].quality, model::StreamQuality::sharp);
    EXPECT_EQ(harness.captures.runs[0].frameRate, model::StreamFrameRate::thirty);

    EXPECT_FALSE(harness.item("launchAtLoginSwitch").property("checked").toBool());
    harness.click("launchAtLoginSwitch");
    EXPECT_EQ(harness.loginItem->registrations, 1);
    EXPECT_EQ(harness.settings->boolValue(model::settingsKey::launchAtLogin), std::optional<bool>(true));
    EXPECT_TRUE(harness.item("launchAtLoginSwitch").property("checked").toBool());

    // The desktop wants the user's consent: the toggle goes back off.
    harness.click("launchAtLoginSwitch");
    harness.loginItem->afterRegister = FakeLoginItem::Status::requiresApproval;
    harness.click("launchAtLoginSwitch");
    EXPECT_EQ(harness.loginItem->registrations, 2);
    EXPECT_FALSE(harness.item("launchAtLoginSwitch").property("checked").toBool());

    EXPECT_TRUE(harness.item("autoStartSwitch").property("checked").toBool());
    harness.click("autoStartSwitch");
    EXPECT_EQ(harness.settings->boolValue(model::settingsKey::autoStartOnConnect), std::optional<bool>(false));
    EXPECT_FALSE(harness.item("autoStartSwitch").property("checked").toBool());
}

TEST(WindowSettings, PermissionRowsSayWhatIsMissingCheckAgainAndAreReadAgainWhenTheAppComesBack)
{
    WindowHarness harness;
    harness.permissions->captureOK = false;
    harness.permissions->trusted = false;
    harness.open();
    harness.activate();
    EXPECT_TRUE(harness.shown("screenPermission"));
    EXPECT_TRUE(harness.shown("touchPermission"));
    EXPECT_EQ(harness.text("screenPermissionTextKorean"), "화면을 읽을 수 없음 · X 서버가 거부함");
    EXPECT_EQ(harness.text("screenPermissionTextEnglish"), "The screen cannot be read: the X server refuses");
    EXPECT_EQ(harness.text("touchPermissionTextKorean"), "터치 제어 불가 · X 서버에 XTest 확장이 없습니다");
    EXPECT_EQ(harness.text("touchPermissionTextEnglish"), "Touch control unavailable: the X server has no XTest extension");
    for (const QString row : {"screenPermission", "touchPermission"}) {
        EXPECT_EQ(harness.text(row + "ButtonLabelKorean"), "다시 확인");
        EXPECT_EQ(harness.text(row + "ButtonLabelEnglish"), "Check again");
    }

    // Nothing has changed: checking again asks the desktop (its request first) and keeps both rows.
    const int prompts = harness.permissions->prompts;
    harness.click("screenPermissionButton");
    harness.click("touchPermissionButton");
    EXPECT_EQ(harness.permissions->captureRequests, 1);
    EXPECT_EQ(harness.permissions->prompts, prompts + 1);
    EXPECT_TRUE(harness.shown("screenPermission"));
    EXPECT_TRUE(harness.shown("touchPermission"));
    EXPECT_TRUE(harness.opener->urls.empty()) << "there is no settings pane to open";

    // Each facility starts working: its row goes at the press of its button.
    harness.permissions->trusted = true;
    harness.click("touchPermissionButton");
    EXPECT_FALSE(harness.shown("touchPermission"));
    EXPECT_TRUE(harness.shown("screenPermission"));
    harness.permissions->captureOK = true;
    harness.click("screenPermissionButton");
    EXPECT_FALSE(harness.shown("screenPermission"));

    // Both stop working; nothing reads them while the app stays in front.
    harness.permissions->captureOK = false;
    harness.permissions->trusted = false;
    harness.settle();
    EXPECT_FALSE(harness.shown("screenPermission"));

    // The user clicks on another application.
    focusElsewhere();
    ASSERT_TRUE(waitFor([] { return QGuiApplication::applicationState() == Qt::ApplicationInactive; }))
        << "the window kept the focus";
    harness.settle();
    EXPECT_FALSE(harness.shown("touchPermission")) << "going to the background reads nothing";
    harness.activate();
    EXPECT_TRUE(harness.shown("screenPermission"));
    EXPECT_TRUE(harness.shown("touchPermission"));
}

TEST(WindowHint, TheKoreanAndEnglishLinesFollowTheirOwnRules)
{
    WindowHarness harness;
    harness.permissions->captureOK = false;
    harness.open();
    const auto& wording = harness.wording;
    const auto text = [](const std::string& value) { return QString::fromStdString(value); };
    const QString extendedKorean = text(wording.extendedMonitorHint.korean);
    EXPECT_EQ(harness.text("hintKorean"), extendedKorean);
    EXPECT_EQ(harness.text("hintEnglish"), text(wording.screenPermissionHintEnglish));

    // Mirroring with the permission still missing: the row warns, the English line talks about
    // streaming and the Korean one about the extended monitor.
    harness.click("modeSegment1");
    EXPECT_TRUE(harness.shown("screenPermission"));
    EXPECT_EQ(harness.text("hintKorean"), extendedKorean);
    EXPECT_EQ(harness.text("hintEnglish"), text(wording.mirroringHint.english));

    // Streaming to the virtual monitor.
    harness.click("modeSegment0");
    harness.click("startStopButton");
    ASSERT_TRUE(harness.model->isStreaming());
    EXPECT_EQ(harness.text("hintKorean"), text(wording.virtualMonitorStreamingHint));
    EXPECT_EQ(harness.text("hintEnglish"), text(wording.extendedMonitorHint.english)) << "a capture that started clears the missing permission";

    // Touch control missing wins on both lines (once the last answer has aged).
    harness.permissions->trusted = false;
    harness.advance(model::HostModel::inputTrustLifetime);
    harness.click("startStopButton");
    harness.click("startStopButton");
    EXPECT_EQ(harness.text("hintKorean"), text(wording.touchPermissionHint));
    EXPECT_EQ(harness.text("hintEnglish"), text(wording.touchPermissionHintEnglish));
}

}  // namespace
}  // namespace kestrio::test
