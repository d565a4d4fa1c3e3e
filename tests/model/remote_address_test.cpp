// The remote address: the router's mapping as the model shows it, and sending it to the user's
// own address (when, how often, and what the status says) over a recording delivery behind the
// real notifier.
#include "app/status_printer.h"
#include "model/model_fakes_support.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
namespace key = model::settingsKey;
using remote::MessagesNotifier;

class RecordingDelivery final : public remote::MessageDelivery {
public:
    std::optional<remote::MessageDeliveryFailure> probe(const std::string& script) override
    {
        calls.push_back("probe");
        EXPECT_EQ(script, MessagesNotifier::accessProbeScript);
        return probeFails ? std::optional<remote::MessageDeliveryFailure>({{}, "no access"}) : std::nullopt;
    }
    std::optional<remote::MessageDeliveryFailure> deliver(const std::string&, const std::string& recipient,
                                                          const std::string& text) override
    {
        calls.push_back(recipient + " <- " + text);
        if (deliveriesBeforeFailure && (*deliveriesBeforeFailure)-- == 0)
            return remote::MessageDeliveryFailure{{}, "recipient unknown"};
        return std::nullopt;
    }

    std::vector<std::string> calls;
    bool probeFails = false;
    std::optional<int> deliveriesBeforeFailure;  // fails the delivery after this many
};

const std::string explanation(MessagesNotifier::addressChangedMessage);

class AddressNotificationTest : public ::testing::Test {
protected:
    model::HostModel& start(ModelHarness& harness, bool mapped = true)
    {
        harness.settings = settings;
        harness.messagesNotifier = std::make_shared<MessagesNotifier>(delivery);
        if (mapped)
            harness.router = router;
        auto& model = harness.create();
        harness.settle();
        return model;
    }

    std::vector<std::string> sent(const std::string& endpoint, const std::string& to = "me@example.com") const
    {
        return {"probe", to + " <- " + explanation, to + " <- " + endpoint};
    }

    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    std::shared_ptr<RecordingDelivery> delivery = std::make_shared<RecordingDelivery>();
    std::shared_ptr<AnsweringRouter> router = std::make_shared<AnsweringRouter>(59590);
};

TEST_F(AddressNotificationTest, ANewAddressIsSentOnceAsTwoMessagesEvenAcrossRestarts)
{
    settings->setBool(key::iMessageNotificationsEnabled, true);
    settings->setString(key::iMessageAddress, " me@example.com\n");
    {
        ModelHarness harness;
        harness.settings = settings;
        EXPECT_EQ(harness.create().notificationStatus(), model::NotificationStatus::willSend);
    }
    ModelHarness first;
    auto& model = start(first);
    EXPECT_EQ(delivery->calls, sent("203.0.113.7:59590")) << "the explanation first, then the bare address";
    EXPECT_EQ(model.notificationStatus(), model::NotificationStatus::sent);
    EXPECT_EQ(settings->stringValue(key::lastNotifiedRemoteEndpoint), std::optional<std::string>("203.0.113.7:59590"));

    // Renewing the mapping with the same address is no news.
    delivery->calls.clear();
    first.advance(3600s);
    EXPECT_TRUE(delivery->calls.empty());
    EXPECT_EQ(model.notificationStatus(), model::NotificationStatus::sent);
    first.model->shutdown();
    first.settle();

    delivery->calls.clear();
    ModelHarness restarted;
    auto& again = start(restarted);
    EXPECT_EQ(delivery->calls, std::vector<std::string>{"probe"});
    EXPECT_EQ(again.notificationStatus(), model::NotificationStatus::alreadySent);

    // A new public address is news.
    delivery->calls.clear();
    router->address = "198.51.100.4";
    restarted.advance(3600s);
    EXPECT_EQ(delivery->calls, sent("198.51.100.4:59590"));
    EXPECT_EQ(again.notificationStatus(), model::NotificationStatus::sent);
}

TEST_F(AddressNotificationTest, FailuresShowTheirTextsKeepTheRecordAndTheButtonTriesAgain)
{
    const std::string permission =
        "메시지 권한이 필요합니다. 설정에서 Kestrio Mac을 허용하세요.\nMessages permission is required. Allow Kestrio Mac in Settings.";
    settings->setBool(key::iMessageNotificationsEnabled, true);
    settings->setString(key::iMessageAddress, "me@example.com");
    settings->setString(key::lastNotifiedRemoteEndpoint, "old:1");

    delivery->probeFails = true;
    ModelHarness harness;
    // A platform that tells a failed send from having no way to send, and has no settings pane
    // for it: the status's button tries again at once.
    harness.wording.notificationSendFailed = "sending failed";
    harness.wording.notificationAccess.settingsAnchor.clear();
    auto& model = start(harness);
    EXPECT_EQ(delivery->calls, std::vector<std::string>{"probe"});
    EXPECT_EQ(model.notificationStatus(), model::NotificationStatus::unavailable);

    // The first message went, the second did not: both go again at the next attempt.
    delivery->probeFails = false;
    delivery->deliveriesBeforeFailure = 1;
    delivery->calls.clear();
    model.requestNotificationAccess();
    harness.settle();
    EXPECT_EQ(delivery->calls, sent("203.0.113.7:59590"));
    EXPECT_EQ(model.notificationStatus(), model::NotificationStatus::sendFailed);
    EXPECT_EQ(settings->stringValue(key::lastNotifiedRemoteEndpoint), std::optional<std::string>("old:1"));
    EXPECT_TRUE(harness.opener->urls.empty());

    // An edit of the address tries again as well.
    delivery->calls.clear();
    model.setIMessageAddress("me@example.com ");
    model.commitIMessageAddress();
    harness.settle();
    EXPECT_EQ(delivery->calls, sent("203.0.113.7:59590"));
    EXPECT_EQ(model.notificationStatus(), model::NotificationStatus::sent);

    // With nothing to send through, sending is as impossible as without access.
    ModelHarness noSender;
    noSender.settings = settings;
    noSender.router = router;
    settings->setString(key::lastNotifiedRemoteEndpoint, "");
    noSender.create();
    noSender.settle();
    EXPECT_EQ(noSender.model->notificationStatus(), model::NotificationStatus::unavailable);
}

TEST_F(AddressNotificationTest, TheToggleAndTheAddressDecideWhetherAndWhenToSend)
{
    // A stored address of only white space asks for one.
    settings->setBool(key::iMessageNotificationsEnabled, true);
    settings->setString(key::iMessageAddress, " \t\n");
    ModelHarness blank;
    EXPECT_EQ(start(blank, false).notificationStatus(), model::NotificationStatus::needsAddress);
    settings = std::make_shared<MemorySettingsStore>();

    // Port mapping is off: the row's text is no address and is never sent.
    ModelHarness unmapped;
    auto& waiting = start(unmapped, false);
    ASSERT_EQ(waiting.remoteAccess().state, model::RemoteAccess::State::off);
    EXPECT_EQ(waiting.notificationStatus(), model::NotificationStatus::off);
    waiting.setIMessageNotificationsEnabled(true);
    EXPECT_EQ(waiting.notificationStatus(), model::NotificationStatus::waiting) << "no endpoint";
    waiting.setIMessageAddress("me@example.com");
    waiting.commitIMessageAddress();
    unmapped.settle();
    EXPECT_TRUE(delivery->calls.empty());

    settings = std::make_shared<MemorySettingsStore>();

    ModelHarness harness;
    auto& model = start(harness);
    EXPECT_TRUE(delivery->calls.empty()) << "off: a new address goes nowhere";
    model.setIMessageAddress("me@example.com");
    EXPECT_EQ(model.notificationStatus(), model::NotificationStatus::off);
    // Switching on while the field is still being edited takes the edit first.
    model.setIMessageNotificationsEnabled(true);
    harness.settle();
    EXPECT_EQ(delivery->calls, sent("203.0.113.7:59590"));
    EXPECT_EQ(settings->boolValue(key::iMessageNotificationsEnabled), std::optional<bool>(true));

    // Storing the same address or the same toggle again changes nothing.
    delivery->calls.clear();
    model.setIMessageAddress("me@example.com");
    model.commitIMessageAddress();
    model.setIMessageNotificationsEnabled(true);
    harness.settle();
    EXPECT_TRUE(delivery->calls.empty());

    model.setIMessageAddress(" \u3000");
    model.commitIMessageAddress();
    EXPECT_EQ(model.notificationStatus(), model::NotificationStatus::needsAddress) << "only spaces";

    model.setIMessageNotificationsEnabled(false);
    EXPECT_EQ(model.notificationStatus(), model::NotificationStatus::off);
    EXPECT_EQ(settings->boolValue(key::iMessageNotificationsEnabled), std::optional<bool>(false));
}

TEST_F(AddressNotificationTest, AClosedModelIsNotKeptAliveOrWrittenToBySending)
{
    settings->setBool(key::iMessageNotificationsEnabled, true);
    settings->setString(key::iMessageAddress, "me@example.com");
    ModelHarness harness;
    harness.holdNotifierQueue = true;
    auto& model = start(harness);
    // The mapping is reported and the probe handed to the notifier's queue, not yet run.
    ASSERT_TRUE(delivery->calls.empty());
    ASSERT_EQ(model::endpointText(model.remoteAccess()), "203.0.113.7:59590");
    std::weak_ptr<model::HostModel> weak = harness.model;
    harness.model->shutdown();
    harness.model.reset();
    EXPECT_TRUE(weak.expired()) << "the sending task holds the model weakly";
    harness.holdNotifierQueue = false;
    harness.settle();
    EXPECT_LE(delivery->calls.size(), 1u) << "nothing is sent for a closed model";
    EXPECT_EQ(settings->stringValue(key::lastNotifiedRemoteEndpoint), std::nullopt);
}

// Typing "me@example.com" passes through "me@example.co": nothing is stored or sent until editing
// ends (Return, leaving the field, a 2 s pause), and a corrected address gets the endpoint anew.
TEST_F(AddressNotificationTest, OnlyAFinishedAddressTakesEffectAndACorrectionIsSentAgain)
{
    settings->setBool(key::iMessageNotificationsEnabled, true);
    ModelHarness harness;
    auto& model = start(harness);
    ASSERT_EQ(model::endpointText(model.remoteAccess()), "203.0.113.7:59590");
    const std::string typed = "me@example.co";
    for (std::size_t length = 1; length <= typed.size(); ++length)
        model.setIMessageAddress(typed.substr(0, length));
    harness.advance(1500ms);
    model.setIMessageAddress("me@example.com");
    harness.advance(1500ms);
    EXPECT_TRUE(delivery->calls.empty()) << "each keystroke restarts the pause";
    EXPECT_EQ(settings->stringValue(key::iMessageAddress), std::nullopt);
    EXPECT_EQ(model.iMessageAddress(), "me@example.com") << "the field shows what was typed";
    harness.advance(500ms);
    EXPECT_EQ(delivery->calls, sent("203.0.113.7:59590"));
    EXPECT_EQ(settings->stringValue(key::iMessageAddress), std::optional<std::string>("me@example.com"));

    // Correcting it and pressing Return sends to the corrected address; the pause then does nothing more.
    delivery->calls.clear();
    model.setIMessageAddress("you@example.com");
    model.commitIMessageAddress();
    harness.advance(3s);
    EXPECT_EQ(delivery->calls, sent("203.0.113.7:59590", "you@example.com"));
    EXPECT_EQ(settings->stringValue(key::lastNotifiedIMessageAddress), std::optional<std::string>("you@example.com"));

    // An edit still pending when the model closes is kept, and sends nothing.
    delivery->calls.clear();
    model.setIMessageAddress("them@example.com");
    harness.model->shutdown();
    harness.advance(3s);
    EXPECT_EQ(settings->stringValue(key::iMessageAddress), std::optional<std::string>("them@example.com"));
    EXPECT_TRUE(delivery->calls.empty());
}

// The record of what was sent: the endpoint and the address it went to. Settings from before the
// address was recorded count as sent to the stored address.
TEST_F(AddressNotificationTest, TheSameEndpointGoesToTheSameAddressOnce)
{
    struct Case {
        const char* endpoint;
        std::optional<std::string> address;
        bool sends;
    };
    for (const Case& test : {Case{"203.0.113.7:59590", std::nullopt, false}, Case{"203.0.113.7:59590", "me@example.com", false},
                             Case{"203.0.113.7:59590", "me@example.co", true}, Case{"old:1", "me@example.com", true}}) {
        SCOPED_TRACE(std::string(test.endpoint) + " to " + test.address.value_or("(none)"));
        settings = std::make_shared<MemorySettingsStore>();
        settings->setBool(key::iMessageNotificationsEnabled, true);
        settings->setString(key::iMessageAddress, " me@example.com");
        settings->setString(key::lastNotifiedRemoteEndpoint, test.endpoint);
        if (test.address)
            settings->setString(key::lastNotifiedIMessageAddress, *test.address);
        delivery->calls.clear();
        ModelHarness harness;
        start(harness);
        EXPECT_EQ(delivery->calls, test.sends ? sent("203.0.113.7:59590") : std::vector<std::string>{"probe"});
    }
}

TEST(RemoteAccess, TheMappingBecomesTheEndpointAndItsStatus)
{
    ModelHarness harness;
    auto router = std::make_shared<AnsweringRouter>();
    harness.router = router;
    auto& model = harness.create();
    EXPECT_EQ(router->calls, std::vector<std::string>{"map 59590"}) << "the streaming port, inside and outside";
    using State = model::RemoteAccess::State;
    EXPECT_EQ(model.remoteAccess(), (model::RemoteAccess{State::ready, "203.0.113.7", 61000, {}})) << "the port the router granted";

    const int before = harness.changes;
    router->answer = {remote::RouterMappingResult::Outcome::disabled, 0, {}, {}, {}, {}};
    harness.advance(300s);
    EXPECT_EQ(model.remoteAccess(), (model::RemoteAccess{State::unavailable, {}, 0, "공유기의 자동 포트 개방이 꺼져 있습니다"}));
    EXPECT_GE(harness.changes - before, 2) << "the change and the notification after it";

    router->answer = {remote::RouterMappingResult::Outcome::mapped, 59590, 3600s, {}, {}, {}};
    router->address = "203.0.113.9";
    harness.advance(300s);
    EXPECT_EQ(model::endpointText(model.remoteAccess()), "203.0.113.9:59590");

    model.shutdown();
    harness.settle();
    EXPECT_EQ(router->calls.back(), "unmap 59590") << "the mapping is withdrawn when the host ends";
}

TEST(RemoteAccess, AHostWithoutAWindowPrintsTheChanges)
{
    ModelHarness harness;
    auto router = std::make_shared<AnsweringRouter>();
    router->answer = {remote::RouterMappingResult::Outcome::unsupported, 0, {}, {}, {}, {}};
    harness.router = router;
    harness.settings->setBool(model::settingsKey::iMessageNotificationsEnabled, true);
    harness.settings->setString(model::settingsKey::iMessageAddress, "me@example.com");
    std::ostringstream out;
    app::StatusPrinter printer(out);
    harness.create();
    printer.show(*harness.model);
    out.str("");
    router->answer = {remote::RouterMappingResult::Outcome::mapped, 61000, 3600s, {}, {}, {}};
    harness.advance(300s);
    printer.show(*harness.model);
    EXPECT_EQ(out.str(), "remote address: 203.0.113.7:61000 (자동 포트 연결 준비됨)\n"
                         "message: 메시지 권한이 필요합니다. 설정에서 Kestrio Mac을 허용하세요.\n"
                         "Messages permission is required. Allow Kestrio Mac in Settings.\n")
        << "nothing to send with";
    out.str("");
    printer.show(*harness.model);
    EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace kestrio::test
