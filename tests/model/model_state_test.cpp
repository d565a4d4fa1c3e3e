// The model's start-up state and stored settings, permissions, and the status lines the window
// shows.
#include "model/model_fakes_support.h"

#include "app/status_printer.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kestrio::test {
namespace {

using model::SourceMode;
namespace key = model::settingsKey;

TEST(ModelSettings, FirstLaunchFollowsTheLoginItemAndWritesNothing)
{
    ModelHarness harness;
    harness.loginItem->state = model::LoginItemService::Status::enabled;
    auto& model = harness.create();
    EXPECT_TRUE(model.autoStartOnConnect());
    EXPECT_TRUE(model.launchAtLogin()) << "follows the login item";
    EXPECT_EQ(model.remoteAccess().state, model::RemoteAccess::State::off) << "no router facility";
    EXPECT_EQ(harness.link->starts, 1);
    EXPECT_EQ(harness.settings->writes, 0) << "reading writes nothing";
}

TEST(ModelSettings, StoredValuesSurviveARestartAndStreamSettingsDoNot)
{
    ModelHarness first;
    {
        auto& model = first.create();
        model.setAutoStartOnConnect(false);
        model.setIMessageAddress("  me@example.com ");
        model.setIMessageNotificationsEnabled(true);
        model.setSelectedPhoneID("00008110-000A");
        model.setQuality(model::StreamQuality::sharp);
        model.setFrameRate(model::StreamFrameRate::thirty);
        model.setSourceMode(SourceMode::mirror);
    }
    ModelHarness second;
    second.settings = first.settings;
    auto& model = second.create();
    EXPECT_FALSE(model.autoStartOnConnect());
    EXPECT_EQ(model.iMessageAddress(), "  me@example.com ") << "stored untrimmed";
    EXPECT_TRUE(model.iMessageNotificationsEnabled());
    EXPECT_EQ(model.notificationStatus(), model::NotificationStatus::willSend);
    EXPECT_EQ(model.selectedPhoneID(), "00008110-000A");
    EXPECT_EQ(model.quality(), model::StreamQuality::balanced);
    EXPECT_EQ(model.frameRate(), model::StreamFrameRate::sixty);
    EXPECT_EQ(model.sourceMode(), SourceMode::virtualDisplay);
}

TEST(ModelSettings, MistypedValuesCountAsAbsent)
{
    ModelHarness harness;
    harness.settings->setString(key::autoStartOnConnect, "false");
    harness.settings->setString(key::iMessageNotificationsEnabled, "true");
    harness.settings->putNumber(key::launchAtLogin, 1);
    harness.settings->putNumber(key::selectedPhoneID, 42);
    auto& model = harness.create();
    EXPECT_TRUE(model.autoStartOnConnect()) << "a text under a Boolean key";
    EXPECT_FALSE(model.iMessageNotificationsEnabled());
    EXPECT_TRUE(model.launchAtLogin()) << "the number 1 is a Boolean";
    EXPECT_EQ(model.selectedPhoneID(), "42") << "a number under a text key reads as its text";
}

TEST(ModelSettings, ListenerFailureShowsUntilTheListenerIsReady)
{
    ModelHarness harness;
    harness.link->startThrows = true;
    auto& model = harness.create();
    EXPECT_EQ(model::errorText(model), std::string("수신 대기 실패"));
    EXPECT_EQ(model::statusTitle(model).korean, "수신 대기 실패");

    harness.link->ready = true;
    harness.link->fireStateChange();
    harness.settle();
    EXPECT_EQ(model::errorText(model), std::nullopt);
}

TEST(ModelSettings, ObserversHearOfChangesBeforeTheyHappen)
{
    ModelHarness harness;
    auto& model = harness.create();
    std::vector<bool> seen;
    model.observe([&] { seen.push_back(model.autoStartOnConnect()); });
    model.setAutoStartOnConnect(false);
    EXPECT_EQ(seen, std::vector<bool>{true});
    model.setAutoStartOnConnect(false);
    EXPECT_EQ(seen.size(), 1u) << "setting the same value is no change";
}

TEST(ModelSettings, RefreshAllReadsTheAddressAndTheDisplays)
{
    ModelHarness harness;
    auto& model = harness.create();
    harness.run([](model::HostModel& m) { return m.refreshAll(); });
    EXPECT_EQ(model.localAddress(), (model::LocalAddress{model::LocalAddress::State::known, "192.168.0.10"}));
    EXPECT_EQ(model.displays().size(), 2u);
    EXPECT_EQ(model.selectedDisplayID(), 1u);

    harness.localAddress.reset();
    harness.displays->queryFails = true;
    harness.permissions->captureOK = false;
    harness.run([](model::HostModel& m) { return m.refreshAll(); });
    EXPECT_EQ(model.localAddress().state, model::LocalAddress::State::none);
    EXPECT_EQ(model.displays().size(), 2u) << "a failed load keeps the list";
    EXPECT_TRUE(model.screenPermissionNeeded());
    EXPECT_EQ(model::errorText(model), std::string("화면 기록 권한이 필요함"));
}

// Permissions --------------------------------------------------------------------------------

TEST(ModelPermissions, TheAutomaticPromptComesOncePerRun)
{
    ModelHarness harness;
    harness.permissions->trusted = false;
    auto& model = harness.create();
    EXPECT_FALSE(model.ensureTouchPermission());
    EXPECT_FALSE(model.ensureTouchPermission());
    EXPECT_EQ(harness.permissions->prompts, 1);
    EXPECT_TRUE(model.touchPermissionNeeded());
    EXPECT_TRUE(model.didRequestTouchPermission());

    model.requestTouchControlPermission();
    model.requestTouchControlPermission();
    EXPECT_EQ(harness.permissions->prompts, 3) << "the button prompts every time";
    EXPECT_EQ(harness.opener->urls.back(), "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility");

    harness.permissions->trusted = true;
    EXPECT_FALSE(model.ensureTouchPermission()) << "the answer is kept for a second";
    harness.advance(model::HostModel::inputTrustLifetime);
    EXPECT_TRUE(model.ensureTouchPermission());
    EXPECT_FALSE(model.touchPermissionNeeded());
}

TEST(ModelPermissions, RefreshReportsInputStateToAConnectedViewer)
{
    ModelHarness harness;
    harness.permissions->trusted = false;
    auto& model = harness.create();
    model.refreshPermissions();
    EXPECT_TRUE(harness.link->controls.empty()) << "no viewer, nothing to tell";

    model.setAutoStartOnConnect(false);
    harness.connectViewer();
    harness.permissions->trusted = true;
    model.refreshPermissions();
    EXPECT_FALSE(model.touchPermissionNeeded());
    EXPECT_EQ(harness.link->controls, std::vector<std::string>{"INPUT READY"});
    harness.permissions->trusted = false;
    model.refreshPermissions();
    EXPECT_EQ(harness.link->controls.back(), "INPUT NEEDS_PERMISSION");
    EXPECT_EQ(model.lastReportedTouchPermission(), std::nullopt) << "the refresh does not count as a report";
}

TEST(ModelPermissions, PrivacyPanesOpenByTheirExactAddresses)
{
    ModelHarness harness;
    auto& model = harness.create();
    harness.permissions->captureOK = false;
    model.requestScreenRecordingPermission();
    EXPECT_EQ(harness.permissions->captureRequests, 1);
    EXPECT_TRUE(model.screenPermissionNeeded());
    model.requestNotificationAccess();
    model.openPrivacySettings("Privacy Broken");
    EXPECT_EQ(harness.opener->urls,
              (std::vector<std::string>{"x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture",
                                        "x-apple.systempreferences:com.apple.preference.security?Privacy_Automation"}));
}

TEST(ModelPermissions, WhereNoPaneExistsTheButtonsReadThePermissionsAgainAtOnce)
{
    ModelHarness harness;
    for (auto* row : {&harness.wording.screenRecording, &harness.wording.touchControl})
        row->settingsAnchor.clear();
    harness.permissions->captureOK = false;
    harness.permissions->trusted = false;
    auto& model = harness.create();
    model.setAutoStartOnConnect(false);
    harness.connectViewer();
    model.refreshPermissions();
    ASSERT_TRUE(model.screenPermissionNeeded());
    ASSERT_TRUE(model.touchPermissionNeeded());

    model.requestScreenRecordingPermission();
    EXPECT_TRUE(model.screenPermissionNeeded()) << "the screen still cannot be read";
    harness.permissions->captureOK = true;
    model.requestScreenRecordingPermission();
    EXPECT_FALSE(model.screenPermissionNeeded());
    EXPECT_EQ(harness.permissions->captureRequests, 2);

    harness.permissions->trusted = true;
    model.requestTouchControlPermission();
    EXPECT_FALSE(model.touchPermissionNeeded()) << "asked afresh, not the answer kept for a second";
    EXPECT_EQ(harness.link->controls.back(), "INPUT READY");
    EXPECT_TRUE(harness.opener->urls.empty()) << "no pane to open";
}

// The headless host's lines ----------------------------------------------------------------

TEST(ModelStatus, HeadlessPrinterShowsEachChangeOnce)
{
    ModelHarness harness;
    harness.link->startThrows = true;
    auto& model = harness.create();
    std::ostringstream out;
    app::StatusPrinter printer(out);
    printer.show(model);
    printer.show(model);
    EXPECT_EQ(out.str(), "수신 대기 실패\nWaiting for iPhone\niPhone에서 Kestrio를 열어 주세요 · Mac IP 확인 중\n"
                         "Open Kestrio on your iPhone to connect\n");

    out.str("");
    harness.link->ready = true;
    model.setAutoStartOnConnect(false);
    harness.connectViewer(true, "Phone");
    printer.show(model);
    EXPECT_EQ(out.str(), "iPhone 연결됨\niPhone Connected\nPhone · H.264\nReady to receive the screen\n");
    out.str("");
    harness.link->identify("지수의 iPhone", "A1B2");
    harness.settle();
    printer.show(model);
    EXPECT_EQ(out.str(), "viewer: 지수의 iPhone\n");

    // An error while connected is not in the title, so it gets its own line.
    out.str("");
    model.setSourceMode(SourceMode::mirror);
    harness.displays->physical.clear();
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    printer.show(model);
    EXPECT_EQ(out.str(), "가상 모니터를 만들 수 없습니다.\n");
}

}  // namespace
}  // namespace kestrio::test
