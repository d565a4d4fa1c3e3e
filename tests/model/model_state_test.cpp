// The façade: start-up state and stored settings, permissions, and the lines a host without a
// window prints.
#include "app/status_printer.h"
#include "model/model_harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using model::SourceMode;
namespace key = model::settingsKey;

TEST(ModelSettings, StoredValuesAreReadBackAndStreamOptionsAreNot)
{
    ModelHarness first;
    first.loginItem->state = model::LoginItemService::Status::enabled;
    auto& model = first.create();
    EXPECT_TRUE(model.launchAtLogin()) << "follows the login item";
    EXPECT_EQ(first.settings->writes, 0) << "reading writes nothing";
    model.streaming().setAutoStartOnConnect(false);
    model.remoteAddress().setAddress("  me@example.com ");
    model.remoteAddress().commitAddress();
    model.pairedPhones().select("00008110-000A");
    model.streaming().setQuality(model::StreamQuality::sharp);
    model.streaming().setSourceMode(SourceMode::mirror);

    ModelHarness second;
    second.settings = first.settings;
    auto& again = second.create();
    EXPECT_FALSE(again.streaming().autoStartOnConnect());
    EXPECT_EQ(again.remoteAddress().address(), "  me@example.com ") << "stored untrimmed";
    EXPECT_EQ(again.pairedPhones().selectedPhoneID(), "00008110-000A");
    EXPECT_EQ(again.streaming().quality(), model::StreamQuality::balanced);
    EXPECT_EQ(again.streaming().sourceMode(), SourceMode::virtualDisplay);
}

// A change the store could not keep, whoever wrote it, shows until a write goes through: the owed
// write is tried again every 30 s and with each change.
TEST(ModelSettings, AnUnsavedChangeShowsUntilARetryStoresIt)
{
    ModelHarness harness;
    auto& model = harness.create();
    auto& store = *harness.settings;
    std::ostringstream out;
    app::StatusPrinter printer(out);
    auto printed = [&] { return printer.show(model), std::exchange(out, std::ostringstream{}).str(); };
    printed();
    store.failing = true;
    model.streaming().setAutoStartOnConnect(false);
    EXPECT_TRUE(model.settingsUnsaved());
    EXPECT_EQ(printed(), "설정을 저장하지 못했습니다\nSettings could not be saved\n");
    // Each step: the time passed, whether the store takes writes then, writes made, still unsaved.
    const std::tuple<std::chrono::seconds, bool, int, bool> steps[] = {
        {29s, true, 0, true}, {1s, true, 1, true}, {29s, false, 0, true}, {1s, false, 1, false}, {90s, false, 0, false}};
    for (const auto& [elapsed, failing, writes, unsaved] : steps) {
        SCOPED_TRACE(elapsed.count());
        store.failing = failing;
        const int before = store.writes;
        harness.advance(elapsed);
        EXPECT_EQ(store.writes - before, writes);
        EXPECT_EQ(model.settingsUnsaved(), unsaved);
    }
    EXPECT_EQ(store.stored.at("autoStartOnConnect"), (std::variant<bool, std::string>(false)));
    EXPECT_EQ(printed(), "설정 저장됨\nSettings saved\n");

    // A write from outside the model's parts (the router's record) shows it too; the next change
    // that goes through ends it.
    store.failing = true;
    store.setString("permanentPortMapping", "61000");
    EXPECT_TRUE(model.settingsUnsaved());
    store.failing = false;
    model.pairedPhones().select("00008110-000A");
    EXPECT_FALSE(model.settingsUnsaved());
}

// Observers, the listener and refused outsiders, the refresh, and the permission prompts, panes
// and reports.
TEST(ModelWiring, ObserversListenerRefreshAndPermissions)
{
    ModelHarness harness;
    harness.link->startThrows = true;
    harness.permissions->trusted = false;
    auto& model = harness.create();
    harness.link->onOutsiderRefused();
    harness.settle();
    EXPECT_EQ(model::errorText(model), "수신 대기 실패") << "a refused outsider hides no other error";
    std::vector<bool> seen;
    model.observe([&] { seen.push_back(model.streaming().autoStartOnConnect()); });
    model.streaming().setAutoStartOnConnect(false);
    model.streaming().setAutoStartOnConnect(false);
    EXPECT_EQ(seen, std::vector<bool>{true}) << "told once, before the change";
    harness.link->ready = true;
    harness.link->onStateChange();
    harness.settle();
    EXPECT_EQ(model::errorText(model), std::nullopt);
    harness.link->onOutsiderRefused();
    harness.settle();
    EXPECT_EQ(model::errorText(model), model::outsiderRefusedText);

    harness.localAddress = "10.0.0.7";
    harness.link->onNetworkChange();
    harness.settle();
    EXPECT_EQ(model.localAddress().address, "10.0.0.7") << "the address follows the network";
    harness.localAddress.reset();
    harness.displays->queryFails = true;
    harness.permissions->captureOK = false;
    harness.run(refreshAll);
    EXPECT_EQ(model.localAddress().state, model::LocalAddress::State::none);
    EXPECT_EQ(model::errorText(model), "화면 기록 권한이 필요함");

    EXPECT_FALSE(model.ensureTouchPermission());
    EXPECT_FALSE(model.ensureTouchPermission());
    EXPECT_EQ(harness.permissions->prompts, 1) << "the automatic prompt comes once per run";
    model.requestTouchControlPermission();
    model.requestTouchControlPermission();
    EXPECT_EQ(harness.permissions->prompts, 3) << "the button prompts every time";
    model.requestScreenRecordingPermission();
    model.requestNotificationAccess();
    using model::Permission;
    EXPECT_EQ(harness.permissionSettings->opened, (std::vector<Permission>{Permission::touchControl, Permission::touchControl,
                                                                          Permission::screenRecording, Permission::notificationAccess}));

    harness.connectViewer();
    harness.permissions->trusted = true;
    EXPECT_FALSE(model.ensureTouchPermission()) << "the answer is kept for a while";
    harness.advance(model::HostModel::inputTrustLifetime);
    model.refreshPermissions();
    EXPECT_FALSE(model.touchPermissionNeeded());
    EXPECT_EQ(harness.link->controls, std::vector<std::string>{"INPUT READY"});
    EXPECT_EQ(model.viewerInput().lastReportedTrust(), std::nullopt) << "the refresh does not count as a report";
}

TEST(ModelStatus, AHostWithoutAWindowPrintsEachChangeOnce)
{
    ModelHarness harness;
    harness.link->startThrows = true;
    harness.router = std::make_shared<AnsweringRouter>();
    harness.router->answer.outcome = remote::RouterMappingResult::Outcome::unsupported;
    harness.settings->setBool(key::notificationsEnabled, true);
    harness.settings->setString(key::notificationAddress, "me@example.com");
    auto& model = harness.create();
    std::ostringstream out;
    app::StatusPrinter printer(out);
    auto printed = [&] { return printer.show(model), std::exchange(out, std::ostringstream{}).str(); };
    const auto first = printed();
    EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), 4) << "the status alone: the rest counts from the first look";
    EXPECT_EQ(printed(), "");
    ModelHarness unmapped;  // no router: port mapping is off, which the first look says once
    app::StatusPrinter unmappedPrinter(out);
    unmappedPrinter.show(unmapped.create());
    EXPECT_THAT(printed(), testing::EndsWith("\nremote address: 자동 포트 연결 꺼짐\nAutomatic port mapping is off\n"));
    unmappedPrinter.show(*unmapped.model);
    EXPECT_EQ(printed(), "");

    harness.link->ready = true;
    model.streaming().setAutoStartOnConnect(false);
    harness.connectViewer();
    EXPECT_EQ(printed(), "iPhone 연결됨\niPhone Connected\nPhone · H.264\nReady to receive the screen\n");
    harness.identify({"지수의 iPhone", "A1B2", true, true});
    EXPECT_EQ(printed(), "viewer: 지수의 iPhone\n");
    model.streaming().setSourceMode(SourceMode::mirror);
    harness.displays->physical.clear();
    harness.run(startStreaming);
    EXPECT_EQ(printed(), "가상 모니터를 만들 수 없습니다.\n") << "an error while connected has its own line";

    harness.router->answer = {remote::RouterMappingResult::Outcome::mapped, 61000, 3600s, {}, {}, {}};
    harness.advance(300s);
    EXPECT_EQ(printed(), "remote address: 203.0.113.7:61000 (자동 포트 연결 준비됨)\n"
                         "message: 메시지 권한이 필요합니다. 설정에서 Kestrio Mac을 허용하세요.\n"
                         "Messages permission is required. Allow Kestrio Mac in Settings.\n");

    // A monitor the pointer cannot enter: its warning each time one is taken on, and only then.
    const auto& warning = model.wording().virtualMonitorUnreachable;
    const auto warningLines = warning.korean + '\n' + warning.english + '\n';
    harness.displays->physical = {physicalDisplay(1, 0)};
    harness.displays->monitorsKeepPointerOut = true;
    model.streaming().setSourceMode(SourceMode::virtualDisplay);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        harness.run(startStreaming);
        ASSERT_TRUE(model.streaming().virtualMonitorUnreachable());
        EXPECT_EQ(printed(), warningLines);
        EXPECT_EQ(printed(), "");
        harness.run(stopStreaming);
        EXPECT_EQ(printed(), "");
    }
}

}  // namespace
}  // namespace kestrio::test

namespace kestrio::test {
namespace {

// The browser page's address: the local address (bracketed when IPv6), the port and the code;
// none until the address is known.
TEST(BrowserLink, IsTheLocalAddressWithThePortAndTheCode)
{
    using model::LocalAddress;
    const model::BrowserPage page{59591, "123456"};
    EXPECT_EQ(model::browserLink(page, {LocalAddress::State::known, "192.168.0.10"}), "http://192.168.0.10:59591/#123456");
    EXPECT_EQ(model::browserLink(page, {LocalAddress::State::known, "fd00::7"}), "http://[fd00::7]:59591/#123456");
    EXPECT_EQ(model::browserLink(page, {LocalAddress::State::checking, {}}), std::nullopt);
    EXPECT_EQ(model::browserLink(page, {LocalAddress::State::none, {}}), std::nullopt);
}

}  // namespace
}  // namespace kestrio::test
