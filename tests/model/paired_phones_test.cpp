// The user's phones in the model: refresh outcomes and their texts, the saved phone, the phone
// that connected last, who may connect from outside; and the start-at-login toggle.
#include "model/model_harness.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

namespace key = model::settingsKey;
using phones::PairedIPhone;

PairedIPhone listed(std::string id, std::string name) { return {id, std::move(name), "iPhone 15", "USB", id}; }

class PairedPhonesTest : public ::testing::Test {
protected:
    model::HostModel& refresh(phones::DeviceListResult result)
    {
        harness.deviceLister->result = std::move(result);
        if (!harness.model)
            harness.create();
        harness.run(refreshPhones);
        return *harness.model;
    }
    bool trusted(const std::string& id) const { return harness.trustedPhones->contains(id); }
    std::optional<std::string> stored(std::string_view key) const { return harness.settings->stringValue(key); }

    ModelHarness harness;
};

TEST_F(PairedPhonesTest, RefreshOutcomesAndTheirMessages)
{
    const PairedIPhone mina = listed("00008110-000A", "Mina"), jun = listed("00008120-000B", "Jun");
    struct Case {
        phones::DeviceListResult result;
        std::string select;
        std::vector<PairedIPhone> phones;
        std::string message;
    };
    const Case cases[] = {
        {{{}, "no usbmuxd"}, "", {}, "기기 검색 실패 · iPhone 앱을 한 번 직접 열어 주세요"},
        {{}, "", {}, "검색된 iPhone 없음 · Xcode에서 먼저 페어링하세요"},
        {{{mina, jun}, {}}, "", {mina, jun}, "iPhone 2대 발견 · 사용할 기기를 선택하세요"},
        {{{}, "usbmuxd is not running"}, jun.id, {mina, jun}, "저장된 iPhone 사용"},
        {{{jun}, {}}, "", {jun}, "‘Jun’ 선택됨"},
    };
    for (const auto& c : cases) {
        if (!c.select.empty())
            harness.model->pairedPhones().select(c.select);
        auto& model = refresh(c.result);
        EXPECT_EQ(model.pairedPhones().phones(), c.phones) << c.message;
        EXPECT_EQ(harness.launchText(), c.message);
    }
    EXPECT_EQ(stored(key::selectedPhoneName), "Jun");

    ModelHarness only;
    only.deviceLister->result = {{mina}, {}};
    only.create();
    only.model->launch(refreshPhones);
    only.model->launch(refreshPhones);
    only.main->runUntilIdle();
    EXPECT_EQ(only.launchText(), "페어링된 iPhone을 찾는 중…");
    EXPECT_EQ(only.deviceLister->listings, 0) << "the listing runs off the main executor";
    only.settle();
    EXPECT_EQ(only.deviceLister->listings, 1) << "a refresh under way is not started twice";
    EXPECT_EQ(only.settings->stringValue(key::selectedPhoneID), mina.id) << "the only phone is chosen by itself";
}

TEST(PairedPhones, TheSavedPhoneStaysListed)
{
    struct Case {
        std::string id;
        std::optional<std::string> storedName;
        std::string name;
        std::optional<std::string> deviceID;
    };
    const Case cases[] = {
        {"00008110-001A2B3C4D5E", "Mina", "Mina", "00008110-001A2B3C4D5E"},
        {"0123456789abcdefghi", std::nullopt, "iPhone", std::nullopt},
        {"Minas-iPhone-2024.LOCAL", "Mina", "Mina", std::nullopt},
        {"00008110 001A2B3C4D5E0000", "Mina", "Mina", std::nullopt},
    };
    for (const auto& c : cases) {
        ModelHarness harness;
        harness.settings->setString(key::selectedPhoneID, c.id);
        if (c.storedName)
            harness.settings->setString(key::selectedPhoneName, *c.storedName);
        harness.deviceLister->result = {{listed("00008120-000B", "Jun")}, std::nullopt};
        harness.create();
        harness.run(refreshPhones);
        EXPECT_EQ(harness.model->pairedPhones().phones().back(), (PairedIPhone{c.id, c.name, "저장된 기기", "", c.deviceID})) << c.id;
    }
}

TEST_F(PairedPhonesTest, TheConnectedPhoneIsMatchedOrAddedAndChosen)
{
    auto& model = refresh({{listed("00008110-000A", "iPhone 10"), listed("00008120-000B", "Jun")}, std::nullopt});
    harness.identify({"  JUN\n", "viewer-7", true, true});
    EXPECT_EQ(stored(key::selectedPhoneID), "00008120-000B") << "by name, ignoring case";
    EXPECT_EQ(stored(key::selectedPhoneName), "JUN");
    EXPECT_EQ(harness.launchText(), "‘JUN’ 연결 내역 저장됨");
    harness.identify({"Someone else", "00008110-000A", true, true});
    EXPECT_EQ(model.pairedPhones().selectedPhoneID(), "00008110-000A") << "by identifier";
    harness.identify({"iPhone 9", "Minas-iPhone.local", true, true});
    EXPECT_EQ(model.pairedPhones().phones().size(), 3u);
    EXPECT_EQ(model.pairedPhones().phones()[0], (PairedIPhone{"Minas-iPhone.local", "iPhone 9", "현재 연결된 기기", "네트워크", std::nullopt}))
        << "added, sorted by number-aware name";
    harness.identify({" ", "", false, true});
    EXPECT_EQ(model.pairedPhones().selectedPhoneID(), "iPhone");
}

// Trusted from outside: identifiers phones sent from home, the device tools' list and the chosen
// phone while verified; never a name, an outsider's identifier or a choice an outsider made.
TEST_F(PairedPhonesTest, WhoMayConnectFromOutside)
{
    harness.settings->setString(key::selectedPhoneID, "00008120-000B");
    harness.settings->setString(key::homeNetworkPhoneIDs, "old-phone\n");
    auto& model = refresh({});
    EXPECT_FALSE(trusted("00008120-000B")) << "stored before its origin was recorded";
    EXPECT_TRUE(trusted("old-phone"));
    refresh({{listed("00008120-000B", "Jun")}, std::nullopt});
    EXPECT_TRUE(trusted("00008120-000B")) << "listed by the device tools";
    EXPECT_EQ(harness.settings->boolValue(key::selectedPhoneIDVerified), true);

    harness.identify({"iPhone", "iPhone", false, true});
    EXPECT_EQ(model.pairedPhones().selectedPhoneID(), "iPhone");
    EXPECT_FALSE(trusted("iPhone") || trusted("00008120-000B")) << "selected by its name, not trusted";
    EXPECT_EQ(harness.settings->boolValue(key::selectedPhoneIDVerified), false);

    harness.identify({"민지의 iPhone", "phone-7", true, true});
    harness.identify({"Mallory", "evil-1", true, false});
    harness.identify({"Jun", "Jun", false, false});
    EXPECT_EQ(model.pairedPhones().selectedPhoneID(), "phone-7") << "an outsider neither adds an identifier nor moves the choice";
    EXPECT_FALSE(trusted("evil-1") || trusted("Jun"));
    EXPECT_EQ(stored(key::homeNetworkPhoneIDs), "old-phone\nphone-7\n");
    model.pairedPhones().select("00008120-000B");
    harness.identify({"민지의 iPhone", "phone-7", true, false});
    EXPECT_EQ(model.pairedPhones().selectedPhoneID(), "phone-7") << "a trusted one may be chosen from outside";

    harness.identify({"Jun", "00008120-000B", true, true});
    for (std::size_t i = 0; i <= 2 * model::maxHomeNetworkPhones; ++i) {
        harness.identify({"Guest", "guest-" + std::to_string(i), true, true});
        model.pairedPhones().select("phone-7");
    }
    EXPECT_TRUE(trusted("phone-7") && trusted("00008120-000B")) << "a burst pushes out neither the chosen nor a listed phone";
    EXPECT_FALSE(trusted("guest-0") || trusted("old-phone")) << "the oldest go first";

    ModelHarness restarted;
    restarted.settings = harness.settings;
    restarted.create();
    restarted.identify({"iPhone", "two\nlines", true, true});
    EXPECT_FALSE(restarted.trustedPhones->contains("two\nlines"));
    EXPECT_TRUE(restarted.trustedPhones->contains("guest-" + std::to_string(2 * model::maxHomeNetworkPhones))) << "kept across restarts";
}

TEST(LaunchAtLogin, TogglingRegistersAndFallsBackWhenRefused)
{
    ModelHarness harness;
    auto& model = harness.create();
    auto set = [&](bool on) { harness.run([on](model::HostModel& m) { return m.setLaunchAtLogin(on); }); };
    set(true);
    set(true);
    EXPECT_EQ(harness.loginItem->registrations, 1) << "already on: nothing to do";
    set(false);
    harness.loginItem->registerError = "Read-only file system";
    set(true);
    EXPECT_FALSE(model.launchAtLogin());
    EXPECT_EQ(model::errorText(model), "Mac 부팅 자동 실행을 켜지 못했습니다");
    EXPECT_EQ(harness.settings->boolValue(key::launchAtLogin), false);
    harness.loginItem->registerError.reset();
    set(true);
    harness.loginItem->unregisterError = "Permission denied";
    set(false);
    EXPECT_TRUE(model.launchAtLogin());
    EXPECT_EQ(model::errorText(model), "Mac 부팅 자동 실행을 끄지 못했습니다");

    ModelHarness stored;
    stored.settings->setBool(key::launchAtLogin, true);
    EXPECT_TRUE(stored.create().launchAtLogin()) << "a stored on without an entry shows until the first refresh";
    stored.run(refreshAll);
    EXPECT_FALSE(stored.model->launchAtLogin());
    EXPECT_EQ(stored.settings->boolValue(key::launchAtLogin), true) << "the refresh does not write the setting";
}

}  // namespace
}  // namespace kestrio::test
