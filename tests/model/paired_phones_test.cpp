// The user's phones in the model: refresh outcomes and their texts, the saved phone, the phone
// that connected last; and the start-at-login toggle.
#include "model/model_fakes_support.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

namespace key = model::settingsKey;
using model::LoginItemService;
using phones::PairedIPhone;

PairedIPhone listed(std::string id, std::string name, std::string transport = "USB")
{
    return {id, std::move(name), "iPhone 15", std::move(transport), id};
}

class PairedPhonesTest : public ::testing::Test {
protected:
    model::HostModel& refresh()
    {
        if (!harness.model)
            harness.create();
        harness.run([](model::HostModel& m) { return m.refreshPhones(); });
        return *harness.model;
    }

    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (const auto& phone : harness.model->pairedPhones())
            out.push_back(phone.name);
        return out;
    }

    ModelHarness harness;
};

TEST_F(PairedPhonesTest, RefreshOutcomesAndTheirMessages)
{
    // Nothing found.
    auto& model = refresh();
    EXPECT_TRUE(model.pairedPhones().empty());
    EXPECT_EQ(launchText(model), "검색된 iPhone 없음 · Xcode에서 먼저 페어링하세요");
    EXPECT_FALSE(model.isRefreshingPhones());

    // Two found, none chosen.
    harness.deviceLister->result = {{listed("00008110-000A", "Mina"), listed("00008120-000B", "Jun")}, std::nullopt};
    refresh();
    EXPECT_EQ(names(), (std::vector<std::string>{"Mina", "Jun"})) << "kept in the lister's order";
    EXPECT_EQ(model.selectedPhoneID(), "");
    EXPECT_EQ(launchText(model), "iPhone 2대 발견 · 사용할 기기를 선택하세요");

    // A failure keeps the list and says the saved one is used.
    model.setSelectedPhoneID("00008120-000B");
    EXPECT_EQ(harness.settings->stringValue(key::selectedPhoneName), std::optional<std::string>("Jun"));
    harness.deviceLister->result = {{}, std::string("usbmuxd is not running")};
    refresh();
    EXPECT_EQ(names(), (std::vector<std::string>{"Mina", "Jun"}));
    EXPECT_EQ(launchText(model), "저장된 iPhone 사용");

    // A selection that is listed is named.
    harness.deviceLister->result = {{listed("00008120-000B", "Jun")}, std::nullopt};
    refresh();
    EXPECT_EQ(launchText(model), "‘Jun’ 선택됨");
}

TEST_F(PairedPhonesTest, FailureWithNothingListedAndTheOnlyPhoneChosenByItself)
{
    harness.deviceLister->result = {{}, std::string("no usbmuxd")};
    auto& model = refresh();
    EXPECT_EQ(launchText(model), "기기 검색 실패 · iPhone 앱을 한 번 직접 열어 주세요");

    harness.deviceLister->result = {{listed("00008030-001C", "Ara")}, std::nullopt};
    refresh();
    EXPECT_EQ(model.selectedPhoneID(), "00008030-001C");
    EXPECT_EQ(harness.settings->stringValue(key::selectedPhoneID), std::optional<std::string>("00008030-001C"));
    EXPECT_EQ(harness.settings->stringValue(key::selectedPhoneName), std::optional<std::string>("Ara"));
    EXPECT_EQ(launchText(model), "‘Ara’ 선택됨");
}

TEST_F(PairedPhonesTest, ARefreshUnderWayIsNotStartedTwice)
{
    auto& model = harness.create();
    model.launch([](model::HostModel& m) { return m.refreshPhones(); });
    model.launch([](model::HostModel& m) { return m.refreshPhones(); });
    harness.main->runUntilIdle();
    EXPECT_TRUE(model.isRefreshingPhones());
    EXPECT_EQ(launchText(model), "페어링된 iPhone을 찾는 중…");
    EXPECT_EQ(harness.deviceLister->listings, 0) << "the listing runs off the main executor";
    harness.settle();
    EXPECT_EQ(harness.deviceLister->listings, 1);
    EXPECT_FALSE(model.isRefreshingPhones());
}

TEST_F(PairedPhonesTest, TheSavedPhoneStaysListed)
{
    struct Case {
        std::string id;
        std::optional<std::string> storedName;
        std::string name;
        std::optional<std::string> deviceID;
    };
    const Case cases[] = {
        {"00008110-001A2B3C4D5E", "Mina", "Mina", "00008110-001A2B3C4D5E"},
        {"0123456789abcdefghi", std::nullopt, "iPhone", std::nullopt},              // 19 characters
        {"Minas-iPhone-2024.LOCAL", "Mina", "Mina", std::nullopt},                  // a host name
        {"00008110 001A2B3C4D5E0000", "Mina", "Mina", std::nullopt},                // a space
    };
    for (const auto& c : cases) {
        ModelHarness fresh;
        fresh.settings->setString(key::selectedPhoneID, c.id);
        if (c.storedName)
            fresh.settings->setString(key::selectedPhoneName, *c.storedName);
        fresh.deviceLister->result = {{listed("00008120-000B", "Jun")}, std::nullopt};
        fresh.create();
        fresh.run([](model::HostModel& m) { return m.refreshPhones(); });
        const auto& phones = fresh.model->pairedPhones();
        ASSERT_EQ(phones.size(), 2u) << c.id;
        EXPECT_EQ(phones[1], (PairedIPhone{c.id, c.name, "저장된 기기", "", c.deviceID})) << c.id;
        EXPECT_EQ(launchText(*fresh.model), "‘" + c.name + "’ 선택됨");
    }
}

TEST_F(PairedPhonesTest, TheConnectedPhoneIsMatchedOrAddedAndChosen)
{
    harness.deviceLister->result = {{listed("00008110-000A", "iPhone 10"), listed("00008120-000B", "Jun")}, std::nullopt};
    auto& model = refresh();

    // By name, ignoring case: the listed phone is chosen, the viewer's spelling stored.
    harness.link->identify("  JUN\n", "viewer-7");
    harness.settle();
    EXPECT_EQ(model.selectedPhoneID(), "00008120-000B");
    EXPECT_EQ(harness.settings->stringValue(key::selectedPhoneID), std::optional<std::string>("00008120-000B"));
    EXPECT_EQ(harness.settings->stringValue(key::selectedPhoneName), std::optional<std::string>("JUN"));
    EXPECT_EQ(launchText(model), "‘JUN’ 연결 내역 저장됨");
    EXPECT_EQ(model.pairedPhones().size(), 2u);

    // By identifier.
    harness.link->identify("Someone else", "00008110-000A");
    harness.settle();
    EXPECT_EQ(model.selectedPhoneID(), "00008110-000A");

    // Unknown: added as the current device, the list sorted again by number-aware name.
    harness.link->identify("iPhone 9", "Minas-iPhone.local");
    harness.settle();
    EXPECT_EQ(names(), (std::vector<std::string>{"iPhone 9", "iPhone 10", "Jun"}));
    EXPECT_EQ(model.pairedPhones()[0], (PairedIPhone{"Minas-iPhone.local", "iPhone 9", "현재 연결된 기기", "네트워크", std::nullopt}));
    EXPECT_EQ(model.selectedPhoneID(), "Minas-iPhone.local");

    // Nothing reported: "iPhone" by "iPhone".
    harness.link->onViewerIdentity({" ", "", false, true});
    harness.settle();
    EXPECT_EQ(model.selectedPhoneID(), "iPhone");
    EXPECT_EQ(launchText(model), "‘iPhone’ 연결 내역 저장됨");
}

TEST_F(PairedPhonesTest, PhonesThatConnectedAtHomeAndTheChosenOneMayConnectFromOutside)
{
    harness.settings->setString(key::selectedPhoneID, "00008120-000B");
    harness.settings->setBool(key::selectedPhoneIDVerified, true);
    harness.settings->setString(key::homeNetworkPhoneIDs, "old-phone\n");
    auto& model = refresh();
    const auto& trusted = *harness.trustedPhones;
    EXPECT_TRUE(trusted.contains("00008120-000B"));
    EXPECT_TRUE(trusted.contains("old-phone"));

    // From home with an identifier of its own: remembered, also after the phone is no longer chosen.
    harness.link->identify("민지의 iPhone", "phone-7");
    // From outside, or with the identifier only defaulted from the name: not remembered.
    harness.link->identify("Guest", "guest-1", false);
    harness.link->onViewerIdentity({"Neighbour", "Neighbour", false, true});
    harness.settle();
    model.setSelectedPhoneID("old-phone");
    EXPECT_TRUE(trusted.contains("phone-7"));
    EXPECT_FALSE(trusted.contains("00008120-000B")) << "no longer chosen";
    EXPECT_FALSE(trusted.contains("guest-1"));
    EXPECT_FALSE(trusted.contains("Neighbour"));
    EXPECT_EQ(harness.settings->stringValue(key::homeNetworkPhoneIDs), std::optional<std::string>("old-phone\nphone-7\n"));

    // Kept across a restart, oldest forgotten first past the limit, never with a line break.
    ModelHarness restarted;
    restarted.settings = harness.settings;
    restarted.create();
    EXPECT_TRUE(restarted.trustedPhones->contains("phone-7"));
    for (std::size_t i = 0; i < model::maxHomeNetworkPhones; ++i)
        restarted.link->identify("iPhone", "phone-" + std::to_string(100 + i));
    restarted.link->identify("iPhone", "two\nlines");
    restarted.settle();
    EXPECT_FALSE(restarted.trustedPhones->contains("old-phone"));
    EXPECT_FALSE(restarted.trustedPhones->contains("phone-7"));
    EXPECT_TRUE(restarted.trustedPhones->contains("phone-100"));
    EXPECT_FALSE(restarted.trustedPhones->contains("two\nlines"));
}

TEST_F(PairedPhonesTest, ANameOrAnOutsiderNeverMakesAPhoneTrustedFromOutside)
{
    // A selection stored before its origin was recorded is not trusted...
    harness.settings->setString(key::selectedPhoneID, "00008120-000B");
    auto& model = refresh();
    const auto& trusted = *harness.trustedPhones;
    EXPECT_FALSE(trusted.contains("00008120-000B"));
    // ...until the device tools list it, which is remembered.
    harness.deviceLister->result = {{listed("00008120-000B", "Jun")}, std::nullopt};
    refresh();
    EXPECT_TRUE(trusted.contains("00008120-000B"));
    EXPECT_EQ(harness.settings->boolValue(key::selectedPhoneIDVerified), true);

    // A home viewer without an identifier is selected by its name, but not trusted.
    harness.link->onViewerIdentity({"iPhone", "iPhone", false, true});
    harness.settle();
    EXPECT_EQ(model.selectedPhoneID(), "iPhone");
    EXPECT_FALSE(trusted.contains("iPhone"));
    EXPECT_EQ(harness.settings->boolValue(key::selectedPhoneIDVerified), false);
    // Choosing it again in the window does not make it so either; the listed phone still is.
    model.setSelectedPhoneID("iPhone");
    EXPECT_FALSE(trusted.contains("iPhone"));
    model.setSelectedPhoneID("00008120-000B");
    EXPECT_TRUE(trusted.contains("00008120-000B"));

    // A trusted phone served from outside can neither add an identifier nor move the selection.
    harness.link->identify("민지의 iPhone", "phone-7");
    harness.settle();
    for (const link::ViewerIdentity& further : {link::ViewerIdentity{"Mallory", "evil-1", true, false},
                                                link::ViewerIdentity{"Jun", "Jun", false, false}}) {
        harness.link->onViewerIdentity(further);
        harness.settle();
        EXPECT_EQ(model.selectedPhoneID(), "phone-7") << further.identifier;
        EXPECT_FALSE(trusted.contains(further.identifier));
    }
    model.setSelectedPhoneID("00008120-000B");
    harness.link->identify("민지의 iPhone", "phone-7", false);
    harness.settle();
    EXPECT_EQ(model.selectedPhoneID(), "phone-7") << "a trusted one may be chosen from outside";

    // A burst of new identifiers at home pushes out neither the selected phone nor a listed one
    // that connected at home.
    harness.link->identify("Jun", "00008120-000B");
    model.setSelectedPhoneID("phone-7");
    for (std::size_t i = 0; i < 2 * model::maxHomeNetworkPhones; ++i) {
        harness.link->identify("Guest", "guest-" + std::to_string(i));
        harness.settle();
        model.setSelectedPhoneID("phone-7");
    }
    EXPECT_TRUE(trusted.contains("phone-7"));
    EXPECT_FALSE(trusted.contains("guest-0"));
    harness.link->identify("Guest", "guest-last");
    harness.settle();
    EXPECT_TRUE(trusted.contains("00008120-000B"));
}

TEST_F(PairedPhonesTest, ARefusedOutsiderIsSaidUnlessAnotherErrorShows)
{
    auto& model = refresh();
    harness.link->onOutsiderRefused();
    harness.settle();
    EXPECT_EQ(model::errorText(model), std::optional<std::string>(model::outsiderRefusedText));

    ModelHarness failing;
    failing.link->startThrows = true;
    failing.create();
    failing.link->onOutsiderRefused();
    failing.settle();
    EXPECT_EQ(model::errorText(*failing.model), std::optional<std::string>(model::listenerFailedText));
}

TEST(LaunchAtLogin, TogglingRegistersAndFallsBackWhenRefused)
{
    ModelHarness harness;
    auto& model = harness.create();
    EXPECT_FALSE(model.launchAtLogin());

    harness.run([](model::HostModel& m) { return m.setLaunchAtLogin(true); });
    EXPECT_TRUE(model.launchAtLogin());
    EXPECT_EQ(harness.settings->boolValue(key::launchAtLogin), true);
    harness.run([](model::HostModel& m) { return m.setLaunchAtLogin(true); });
    EXPECT_EQ(harness.loginItem->registrations, 1) << "already on: nothing to do";

    harness.run([](model::HostModel& m) { return m.setLaunchAtLogin(false); });
    EXPECT_FALSE(model.launchAtLogin());
    EXPECT_EQ(harness.settings->boolValue(key::launchAtLogin), false);

    // Registered, but the desktop wants the user's approval: off, and stored as off.
    harness.loginItem->afterRegister = LoginItemService::Status::requiresApproval;
    harness.run([](model::HostModel& m) { return m.setLaunchAtLogin(true); });
    EXPECT_FALSE(model.launchAtLogin());
    EXPECT_EQ(harness.settings->boolValue(key::launchAtLogin), false);

    // Failures put the toggle back and say so; nothing is stored.
    harness.loginItem->afterRegister = LoginItemService::Status::enabled;
    harness.loginItem->registerError = "Read-only file system";
    harness.run([](model::HostModel& m) { return m.setLaunchAtLogin(true); });
    EXPECT_FALSE(model.launchAtLogin());
    EXPECT_EQ(model::errorText(model), "Mac 부팅 자동 실행을 켜지 못했습니다");
    EXPECT_EQ(harness.settings->boolValue(key::launchAtLogin), false);

    harness.loginItem->registerError.reset();
    harness.run([](model::HostModel& m) { return m.setLaunchAtLogin(true); });
    harness.loginItem->unregisterError = "Permission denied";
    harness.run([](model::HostModel& m) { return m.setLaunchAtLogin(false); });
    EXPECT_TRUE(model.launchAtLogin());
    EXPECT_EQ(model::errorText(model), "Mac 부팅 자동 실행을 끄지 못했습니다");
}

TEST(LaunchAtLogin, AStoredOnWithoutAnEntryShowsOnUntilTheFirstRefresh)
{
    ModelHarness harness;
    harness.settings->setBool(key::launchAtLogin, true);
    auto& model = harness.create();
    EXPECT_TRUE(model.launchAtLogin());
    harness.run([](model::HostModel& m) { return m.refreshAll(); });
    EXPECT_FALSE(model.launchAtLogin());
    EXPECT_EQ(harness.settings->boolValue(key::launchAtLogin), true) << "the refresh does not write the setting";
}

}  // namespace
}  // namespace kestrio::test
