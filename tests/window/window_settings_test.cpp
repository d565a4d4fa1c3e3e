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
    EXPECT_EQ(harness.model->sourceMode(), model::MacSourceMode::mirror);
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
    EXPECT_EQ(harness.model->sourceMode(), model::MacSourceMode::virtualDisplay);
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
    EXPECT_EQ(harness.model->sourceMode(), model::MacSourceMode::mirror);
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

TEST(WindowSettings, PermissionRowsFollowTheFlagsAndAreReadAgainWhenTheAppComesBack)
{
    WindowHarness harness;
    harness.permissions->captureOK = false;
    harness.permissions->trusted = false;
    harness.open();
    harness.activate();
    EXPECT_TRUE(harness.shown("screenPermission"));
    EXPECT_TRUE(harness.shown("touchPermission"));
    EXPECT_EQ(harness.text("screenPermissionButtonLabelKorean"), "설정 열기");
    EXPECT_EQ(harness.text("screenPermissionButtonLabelEnglish"), "Open Settings");
    EXPECT_EQ(harness.text("screenPermissionTextKorean"), "화면 기록 권한 필요");
    EXPECT_EQ(harness.text("screenPermissionTextEnglish"), "Screen Recording Permission Required");
    EXPECT_EQ(harness.text("touchPermissionTextKorean"), "터치 제어 권한 필요");
    EXPECT_EQ(harness.text("touchPermissionTextEnglish"), "Touch Control Permission Required");

    harness.click("screenPermissionButton");
    ASSERT_EQ(harness.opener->urls.size(), 1U);
    EXPECT_EQ(harness.opener->urls.back(), "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture");
    const int prompts = harness.permissions->prompts;
    harness.click("touchPermissionButton");
    EXPECT_EQ(harness.permissions->prompts, prompts + 1) << "the system's own prompt first";
    ASSERT_EQ(harness.opener->urls.size(), 2U);
    EXPECT_EQ(harness.opener->urls.back(), "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility");

    // The user grants both elsewhere; nothing reads them while the app stays in front.
    harness.permissions->captureOK = true;
    harness.permissions->trusted = true;
    harness.settle();
    EXPECT_TRUE(harness.shown("screenPermission"));

    // The user clicks on another application.
    focusElsewhere();
    ASSERT_TRUE(waitFor([] { return QGuiApplication::applicationState() == Qt::ApplicationInactive; }))
        << "the window kept the focus";
    harness.settle();
    EXPECT_TRUE(harness.shown("touchPermission")) << "going to the background reads nothing";
    harness.activate();
    EXPECT_FALSE(harness.shown("screenPermission"));
    EXPECT_FALSE(harness.shown("touchPermission"));
}

TEST(WindowHint, TheKoreanAndEnglishLinesFollowTheirOwnRules)
{
    WindowHarness harness;
    harness.permissions->captureOK = false;
    harness.open();
    const QString extendedKorean =
        "‘확장 모니터’는 macOS에 Kestrio iPhone 디스플레이를 연결합니다. 같은 Wi‑Fi에서는 무선으로 연결되고, 케이블이 있으면 USB를 우선 사용합니다.";
    EXPECT_EQ(harness.text("hintKorean"), extendedKorean);
    EXPECT_EQ(harness.text("hintEnglish"), "Allow screen recording under System Settings → Privacy & Security → Screen Recording.");

    // Mirroring with the permission still missing: the row warns, the English line talks about
    // streaming and the Korean one about the extended monitor.
    harness.click("modeSegment1");
    EXPECT_TRUE(harness.shown("screenPermission"));
    EXPECT_EQ(harness.text("hintKorean"), extendedKorean);
    EXPECT_EQ(harness.text("hintEnglish"), "Streaming stops if screen recording permission is disabled or the network connection is lost.");

    // Streaming to the virtual monitor.
    harness.click("modeSegment0");
    harness.click("startStopButton");
    ASSERT_TRUE(harness.model->isStreaming());
    EXPECT_EQ(harness.text("hintKorean"), "macOS 설정 → 디스플레이에서 ‘Kestrio iPhone’의 위치를 조정하고, 앱 창을 그 화면으로 옮기세요.");
    EXPECT_EQ(harness.text("hintEnglish"),
              "The Extended Monitor mode adds a Kestrio iPhone display to macOS. Wi‑Fi is used wirelessly; USB is preferred when available.")
        << "a capture that started clears the missing permission";

    // Touch control missing wins on both lines (once the last answer has aged).
    harness.permissions->trusted = false;
    harness.advance(model::MacScreenModel::inputTrustLifetime);
    harness.click("startStopButton");
    harness.click("startStopButton");
    EXPECT_EQ(harness.text("hintKorean"),
              "아이폰 터치 제어를 사용하려면 시스템 설정 → 개인정보 보호 및 보안 → 손쉬운 사용에서 Kestrio를 허용한 뒤 앱을 다시 실행하세요.");
    EXPECT_EQ(harness.text("hintEnglish"), "Allow Kestrio under System Settings → Privacy & Security → Accessibility, then relaunch the app.");
}

}  // namespace
}  // namespace kestrio::test
