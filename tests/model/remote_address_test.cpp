// The remote address: the router's mapping as the model shows it, and sending it to the user's
// own address (when, how often, and what the status says) over a recording delivery behind the
// real notifier.
#include "model/model_fakes_support.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
namespace key = model::settingsKey;
using remote::MessagesNotifier;
using Status = model::NotificationStatus;
using Calls = std::vector<std::string>;

class RecordingDelivery final : public remote::MessageDelivery {
public:
    std::optional<remote::MessageDeliveryFailure> probe(const std::string&) override
    {
        calls.push_back("probe");
        return probeFails ? std::optional<remote::MessageDeliveryFailure>({{}, "no access"}) : std::nullopt;
    }
    std::optional<remote::MessageDeliveryFailure> deliver(const std::string&, const std::string& recipient, const std::string& text) override
    {
        calls.push_back(recipient + " <- " + text);
        if (deliveriesBeforeFailure && (*deliveriesBeforeFailure)-- == 0)
            return remote::MessageDeliveryFailure{{}, "recipient unknown"};
        return std::nullopt;
    }

    Calls calls;
    bool probeFails = false;
    std::optional<int> deliveriesBeforeFailure;
};

// Hosts over one settings store, one router granting port 59590 and one delivery.
class AddressNotificationTest : public ::testing::Test {
protected:
    model::HostModel& start(ModelHarness& harness, bool mapped = true)
    {
        harness.settings = settings;
        harness.messagesNotifier = std::make_shared<MessagesNotifier>(delivery);
        harness.router = mapped ? router : nullptr;
        return harness.create();
    }
    void enable(std::string address = "me@example.com")
    {
        settings->setBool(key::iMessageNotificationsEnabled, true);
        settings->setString(key::iMessageAddress, address);
    }
    static Calls sent(const std::string& endpoint = "203.0.113.7:59590", const std::string& to = "me@example.com")
    {
        return {"probe", to + " <- " + std::string(MessagesNotifier::addressChangedMessage), to + " <- " + endpoint};
    }
    Calls taken() { return std::exchange(delivery->calls, {}); }

    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    std::shared_ptr<RecordingDelivery> delivery = std::make_shared<RecordingDelivery>();
    std::shared_ptr<AnsweringRouter> router = std::make_shared<AnsweringRouter>(59590);
};

TEST(RemoteAccess, TheStreamingPortIsMappedWhileTheHostRuns)
{
    ModelHarness harness;
    harness.router = std::make_shared<AnsweringRouter>();
    auto& model = harness.create();
    EXPECT_EQ(harness.router->calls, Calls{"map 59590"});
    using State = model::RemoteAccess::State;
    EXPECT_EQ(model.remoteAccess(), (model::RemoteAccess{State::ready, "203.0.113.7", 61000, {}})) << "the port the router granted";
    harness.router->answer.outcome = remote::RouterMappingResult::Outcome::disabled;
    harness.advance(300s);
    EXPECT_EQ(model.remoteAccess().state, State::unavailable);
    harness.router->answer.outcome = remote::RouterMappingResult::Outcome::mapped;
    harness.advance(300s);
    model.shutdown();
    harness.settle();
    EXPECT_EQ(harness.router->calls.back(), "unmap 59590");
}

TEST_F(AddressNotificationTest, ANewAddressIsSentOnceAsTwoMessagesEvenAcrossRestarts)
{
    enable(" me@example.com\n");
    ModelHarness first;
    auto& model = start(first);
    EXPECT_EQ(taken(), sent()) << "the explanation first, then the bare address";
    EXPECT_EQ(model.notificationStatus(), Status::sent);
    EXPECT_EQ(settings->stringValue(key::lastNotifiedRemoteEndpoint), "203.0.113.7:59590");
    first.advance(3600s);
    EXPECT_TRUE(taken().empty()) << "renewing the mapping with the same address is no news";
    first.model->shutdown();
    first.settle();

    ModelHarness restarted;
    auto& again = start(restarted);
    EXPECT_EQ(taken(), Calls{"probe"});
    EXPECT_EQ(again.notificationStatus(), Status::alreadySent);
    router->address = "198.51.100.4";
    restarted.advance(3600s);
    EXPECT_EQ(taken(), sent("198.51.100.4:59590"));
}

TEST_F(AddressNotificationTest, AHalfSentNotificationIsNotRecordedAndAnEditTriesAgain)
{
    enable();
    settings->setString(key::lastNotifiedRemoteEndpoint, "old:1");
    delivery->deliveriesBeforeFailure = 1;
    ModelHarness harness;
    auto& model = start(harness);
    EXPECT_EQ(taken(), sent()) << "the first message went, the second did not";
    EXPECT_EQ(model.notificationStatus(), Status::sendFailed);
    EXPECT_EQ(settings->stringValue(key::lastNotifiedRemoteEndpoint), "old:1");
    model.setIMessageAddress("me@example.com ");
    model.commitIMessageAddress();
    harness.settle();
    EXPECT_EQ(taken(), sent());
    EXPECT_EQ(model.notificationStatus(), Status::sent);

    ModelHarness noSender;
    noSender.settings = settings;
    noSender.router = router;
    settings->setString(key::lastNotifiedRemoteEndpoint, "");
    EXPECT_EQ(noSender.create().notificationStatus(), Status::unavailable);
}

TEST_F(AddressNotificationTest, TheToggleAndTheAddressDecideWhetherToSend)
{
    enable(" \t\n");
    ModelHarness blank;
    EXPECT_EQ(start(blank, false).notificationStatus(), Status::needsAddress);
    settings = std::make_shared<MemorySettingsStore>();

    ModelHarness harness;
    auto& model = start(harness);
    model.setIMessageAddress("me@example.com");
    EXPECT_EQ(model.notificationStatus(), Status::off);
    model.setIMessageNotificationsEnabled(true);
    harness.settle();
    EXPECT_EQ(taken(), sent()) << "switching on takes the edit under way";
    model.setIMessageAddress("me@example.com");
    model.commitIMessageAddress();
    model.setIMessageNotificationsEnabled(true);
    harness.settle();
    EXPECT_TRUE(taken().empty()) << "the same address and toggle again change nothing";
    model.setIMessageAddress(" \u3000");
    model.commitIMessageAddress();
    EXPECT_EQ(model.notificationStatus(), Status::needsAddress);
    model.setIMessageNotificationsEnabled(false);
    EXPECT_EQ(settings->boolValue(key::iMessageNotificationsEnabled), false);
}

TEST_F(AddressNotificationTest, AClosedModelIsNotKeptAliveOrWrittenToBySending)
{
    enable();
    ModelHarness harness;
    harness.holdNotifierQueue = true;
    start(harness);
    ASSERT_EQ(model::endpointText(harness.model->remoteAccess()), "203.0.113.7:59590");
    std::weak_ptr<model::HostModel> weak = harness.model;
    harness.model->shutdown();
    harness.model.reset();
    EXPECT_TRUE(weak.expired()) << "the sending task holds the model weakly";
    harness.holdNotifierQueue = false;
    harness.settle();
    EXPECT_LE(delivery->calls.size(), 1u);
    EXPECT_EQ(settings->stringValue(key::lastNotifiedRemoteEndpoint), std::nullopt);
}

// Typing "me@example.com" passes through "me@example.co": nothing is stored or sent until editing
// ends (Return, leaving the field, a 2 s pause).
TEST_F(AddressNotificationTest, OnlyAFinishedAddressTakesEffectAndACorrectionIsSentAgain)
{
    settings->setBool(key::iMessageNotificationsEnabled, true);
    ModelHarness harness;
    auto& model = start(harness);
    model.setIMessageAddress("me@example.co");
    harness.advance(1500ms);
    model.setIMessageAddress("me@example.com");
    harness.advance(1500ms);
    EXPECT_TRUE(delivery->calls.empty()) << "each keystroke restarts the pause";
    harness.advance(500ms);
    EXPECT_EQ(taken(), sent());
    EXPECT_EQ(settings->stringValue(key::iMessageAddress), "me@example.com");

    model.setIMessageAddress("you@example.com");
    model.commitIMessageAddress();
    harness.advance(3s);
    EXPECT_EQ(taken(), sent("203.0.113.7:59590", "you@example.com"));
    EXPECT_EQ(settings->stringValue(key::lastNotifiedIMessageAddress), "you@example.com");

    model.setIMessageAddress("them@example.com");
    harness.model->shutdown();
    harness.advance(3s);
    EXPECT_EQ(settings->stringValue(key::iMessageAddress), "them@example.com") << "an edit pending at the end is kept";
    EXPECT_TRUE(taken().empty());
}

// The record of what was sent: the endpoint and the address it went to. A record from before the
// address was kept counts as sent to the stored address.
TEST_F(AddressNotificationTest, TheSameEndpointGoesToTheSameAddressOnce)
{
    struct Case {
        const char* endpoint;
        std::optional<std::string> address;
        bool sends;
    };
    for (const Case& c : {Case{"203.0.113.7:59590", std::nullopt, false}, Case{"203.0.113.7:59590", "me@example.com", false},
                          Case{"203.0.113.7:59590", "me@example.co", true}, Case{"old:1", "me@example.com", true}}) {
        SCOPED_TRACE(std::string(c.endpoint) + " to " + c.address.value_or("(none)"));
        settings = std::make_shared<MemorySettingsStore>();
        enable(" me@example.com");
        settings->setString(key::lastNotifiedRemoteEndpoint, c.endpoint);
        if (c.address)
            settings->setString(key::lastNotifiedIMessageAddress, *c.address);
        ModelHarness harness;
        start(harness);
        EXPECT_EQ(taken(), c.sends ? sent() : Calls{"probe"});
    }
}

}  // namespace
}  // namespace kestrio::test
