// The remote address, sent to the user's own address (when, how often, and what the status says)
// over a recording delivery behind the real notifier; the mapping ends with the host. (How the
// headless status lines show the granted port: model_state_test.)
#include "model/model_harness.h"

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
    std::optional<remote::MessageDeliveryFailure> probe() override { return calls.push_back("probe"), std::nullopt; }
    std::optional<remote::MessageDeliveryFailure> deliver(const std::string& recipient, const std::string& text) override
    {
        calls.push_back(recipient + " <- " + text);
        if (deliveriesBeforeFailure && (*deliveriesBeforeFailure)-- == 0)
            return remote::MessageDeliveryFailure{{}, "recipient unknown"};
        return std::nullopt;
    }

    Calls calls;
    std::optional<int> deliveriesBeforeFailure;
};

// Runs of the host over one settings store, one router granting port 59590 and one delivery.
class AddressNotificationTest : public ::testing::Test {
protected:
    model::HostModel& start(bool mapped = true, bool holdSending = false)
    {
        host.reset();
        host = std::make_unique<ModelHarness>();
        host->settings = settings;
        host->messagesNotifier = std::make_shared<MessagesNotifier>(delivery);
        host->router = mapped ? router : nullptr;
        host->holdNotifierQueue = holdSending;
        return host->create();
    }
    void enable(std::string address = "me@example.com")
    {
        settings->setBool(key::notificationsEnabled, true);
        settings->setString(key::notificationAddress, address);
    }
    static Calls sent(const std::string& endpoint = "203.0.113.7:59590", const std::string& to = "me@example.com")
    {
        return {"probe", to + " <- " + std::string(MessagesNotifier::addressChangedMessage), to + " <- " + endpoint};
    }
    Calls taken() { return std::exchange(delivery->calls, {}); }
    std::optional<std::string> stored(std::string_view key) const { return settings->stringValue(key); }

    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    std::shared_ptr<RecordingDelivery> delivery = std::make_shared<RecordingDelivery>();
    std::shared_ptr<AnsweringRouter> router = std::make_shared<AnsweringRouter>(59590);
    std::unique_ptr<ModelHarness> host;
};

TEST_F(AddressNotificationTest, ANewAddressIsSentOnceAsTwoMessagesAndAHalfSentOneIsNotRecorded)
{
    enable();
    settings->setString(key::lastNotifiedRemoteEndpoint, "old:1");
    delivery->deliveriesBeforeFailure = 1;
    auto& model = start();
    EXPECT_EQ(taken(), sent()) << "the first message went, the second did not";
    EXPECT_EQ(model.remoteAddress().status(), Status::sendFailed);
    EXPECT_EQ(stored(key::lastNotifiedRemoteEndpoint), "old:1");
    model.remoteAddress().setAddress(" me@example.com\n");
    model.remoteAddress().commitAddress();
    host->settle();
    EXPECT_EQ(taken(), sent()) << "the explanation first, then the bare address";
    EXPECT_EQ(model.remoteAddress().status(), Status::sent);
    EXPECT_EQ(stored(key::lastNotifiedRemoteEndpoint), "203.0.113.7:59590");
    host->advance(3600s);
    EXPECT_TRUE(taken().empty()) << "renewing the mapping with the same address is no news";
    router->address = "198.51.100.4";
    host->advance(3600s);
    EXPECT_EQ(taken(), sent("198.51.100.4:59590"));
}

// The toggle and the address decide whether to send. Typing "you@example.com" passes through
// "you@example.co": nothing is stored or sent until editing ends (Return, leaving the field, a
// 2 s pause).
TEST_F(AddressNotificationTest, TheToggleAndOnlyAFinishedAddressTakeEffect)
{
    enable(" \t\n");
    EXPECT_EQ(start(false).remoteAddress().status(), Status::needsAddress);
    settings->setBool(key::notificationsEnabled, false);
    auto& model = start();
    model.remoteAddress().setAddress("me@example.com");
    EXPECT_EQ(model.remoteAddress().status(), Status::off);
    model.remoteAddress().setNotificationsEnabled(true);
    host->settle();
    EXPECT_EQ(taken(), sent()) << "switching on takes the edit under way";
    model.remoteAddress().setAddress("me@example.com");
    model.remoteAddress().commitAddress();
    model.remoteAddress().setNotificationsEnabled(true);
    host->settle();
    EXPECT_TRUE(taken().empty()) << "the same address and toggle again change nothing";

    model.remoteAddress().setAddress("you@example.co");
    host->advance(1500ms);
    model.remoteAddress().setAddress("you@example.com");
    host->advance(1500ms);
    EXPECT_TRUE(delivery->calls.empty()) << "each keystroke restarts the pause";
    host->advance(500ms);
    EXPECT_EQ(taken(), sent("203.0.113.7:59590", "you@example.com"));
    EXPECT_EQ(stored(key::notificationAddress), "you@example.com");
    EXPECT_EQ(stored(key::lastNotifiedAddress), "you@example.com");
    model.remoteAddress().setAddress(" \u3000");
    model.remoteAddress().commitAddress();
    EXPECT_EQ(model.remoteAddress().status(), Status::needsAddress);

    model.remoteAddress().setAddress("them@example.com");
    model.shutdown();
    host->advance(3s);
    EXPECT_EQ(stored(key::notificationAddress), "them@example.com") << "an edit pending at the end is kept";
    EXPECT_TRUE(taken().empty());
}

TEST_F(AddressNotificationTest, AClosedModelIsNotKeptAliveOrWrittenToBySending)
{
    enable();
    start(true, true);
    std::weak_ptr<model::HostModel> weak = host->model;
    host->model->shutdown();
    host->model.reset();
    EXPECT_TRUE(weak.expired()) << "the sending task holds the model weakly";
    host->holdNotifierQueue = false;
    host->settle();
    EXPECT_LE(delivery->calls.size(), 1u);
    EXPECT_EQ(stored(key::lastNotifiedRemoteEndpoint), std::nullopt);
    EXPECT_EQ(router->calls.back(), "unmap 59590") << "the mapping goes with the host";
}

// The record of what was sent, read at the next start: the endpoint and the address it went to. A
// record from before the address was kept counts as sent to the stored address.
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
            settings->setString(key::lastNotifiedAddress, *c.address);
        EXPECT_EQ(start().remoteAddress().status(), c.sends ? Status::sent : Status::alreadySent);
        EXPECT_EQ(taken(), c.sends ? sent() : Calls{"probe"});
    }
}

}  // namespace
}  // namespace kestrio::test
