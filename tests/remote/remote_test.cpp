#include "remote/local_address.h"
#include "remote/messages_notifier.h"
#include "remote/nat_port_mapper.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

namespace kestrio::remote {
namespace {

using namespace std::chrono_literals;
using Outcome = RouterMappingResult::Outcome;
using Update = NATPortMappingUpdate;
using Ready = Update::Ready;
using Calls = std::vector<std::string>;

RouterAddressResult at(std::string address) { return {Outcome::mapped, std::move(address), {}}; }
RouterMappingResult mapped(std::uint16_t port, std::chrono::seconds lifetime = 3600s)
{
    return {Outcome::mapped, port, lifetime, "192.168.1.1", "192.168.1.20", {}};
}
Update unavailable(std::string_view text) { return {Update::Unavailable{std::string(text)}}; }

struct ScriptedRouter final : RouterPortMapping {
    RouterAddressResult externalAddress() override { return calls.push_back("address"), address; }
    RouterMappingResult map(std::uint16_t port, std::chrono::seconds lifetime) override
    {
        calls.push_back("map " + std::to_string(port) + " " + std::to_string(lifetime.count()));
        if (duringMap)
            std::exchange(duringMap, nullptr)();
        return standing;
    }
    bool unmap(std::uint16_t port) override { return calls.push_back("unmap " + std::to_string(port)), unmapConfirmed; }
    RouterMappingLookup lookup(const PermanentMappingRecord& r) override { return calls.push_back("lookup " + std::to_string(r.externalPort)), held; }
    bool remove(const PermanentMappingRecord& r) override { return calls.push_back("remove " + std::to_string(r.externalPort)), true; }

    RouterAddressResult address = at("203.0.113.7");
    RouterMappingResult standing = mapped(59590);
    std::function<void()> duringMap;
    bool unmapConfirmed = true;
    RouterMappingLookup held;
    Calls calls;
};

class NATPortMapperTest : public ::testing::Test {
protected:
    void SetUp() override { makeMapper(); }
    void makeMapper(std::optional<PermanentMappingRecord> left = {}, bool withRouter = true)
    {
        router = std::make_shared<ScriptedRouter>();
        stored = left;
        updates.clear();
        mapper = NATPortMapper::create({queue, clock, withRouter ? router : nullptr,
                                        {left, [this](const PermanentMappingRecord& r) { stored = r; }, [this] { stored.reset(); }}});
        mapper->setOnUpdate([this](const Update& update) { updates.push_back(update); });
    }
    void start(std::uint16_t port = 59590)
    {
        mapper->start(port);
        queue->runUntilIdle();
    }
    void advance(std::chrono::seconds by)
    {
        clock->advance(by);
        queue->runUntilIdle();
    }

    std::shared_ptr<runtime::ManualExecutor> queue = std::make_shared<runtime::ManualExecutor>();
    std::shared_ptr<runtime::VirtualClock> clock = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<ScriptedRouter> router;
    std::shared_ptr<NATPortMapper> mapper;
    std::vector<Update> updates;
    std::optional<PermanentMappingRecord> stored;
    const PermanentMappingRecord left{"192.168.1.1", "TCP", 59590, "192.168.1.20", 59590};
};

TEST_F(NATPortMapperTest, EachRouterAnswerBecomesItsUpdate)
{
    struct Case {
        RouterAddressResult address;
        RouterMappingResult answer;
        Update update;
        std::size_t calls;
    };
    const Case cases[] = {
        {at("203.0.113.7"), mapped(61000), {Ready{"203.0.113.7", 61000}}, 2},
        {at("203.0.113.7"), mapped(0), unavailable(noExternalPortText), 2},
        {at("127.0.0.1"), mapped(59590), unavailable(noExternalPortText), 1},
        {at("gateway.example"), mapped(59590), unavailable(noExternalPortText), 1},
        {at("100.127.0.1"), mapped(59590), unavailable(doubleNatText), 1},
        {at("10.255.0.1"), mapped(59590), unavailable(doubleNatText), 1},
        {at("172.31.255.254"), mapped(59590), unavailable(doubleNatText), 1},
        {at("192.168.0.1"), mapped(59590), unavailable(doubleNatText), 1},
        {{Outcome::disabled, {}, {}}, mapped(59590), unavailable(mappingDisabledText), 1},
        {{Outcome::failed, {}, {}}, mapped(59590), unavailable(mappingOtherErrorText), 1},
        {at("203.0.113.7"), {Outcome::unsupported, 0, 0s, {}, {}, "scripted"}, unavailable(mappingUnsupportedText), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        makeMapper();
        router->address = c.address;
        router->standing = c.answer;
        start();
        EXPECT_EQ(updates, std::vector{c.update});
        EXPECT_EQ(router->calls.size(), c.calls);
    }
    makeMapper({}, false);
    start();
    EXPECT_EQ(updates, std::vector{unavailable("NAT 포트 매핑을 시작할 수 없음")});
}

TEST_F(NATPortMapperTest, APermanentLeaseIsRecordedUntilWithdrawnAndBehindAnotherNatOnlyTheAddressIsAskedAgain)
{
    router->standing = mapped(59590, 0s);
    start();
    EXPECT_EQ(stored, left);
    router->calls.clear();
    router->unmapConfirmed = false;
    router->address = at("100.64.12.1");
    advance(300s);
    EXPECT_EQ(updates.back(), unavailable(doubleNatText));
    advance(3 * NATPortMapper::retryInterval);
    EXPECT_EQ(router->calls, (Calls{"address", "unmap 59590", "address", "address", "address"}));
    router->unmapConfirmed = true;
    router->address = at("203.0.113.7");
    advance(NATPortMapper::retryInterval);
    EXPECT_EQ(stored, left);
    mapper->shutdown();
    queue->runUntilIdle();
    EXPECT_EQ(router->calls.back(), "unmap 59590");
    EXPECT_EQ(stored, std::nullopt);
}

TEST_F(NATPortMapperTest, ALeaseLeftOpenIsWithdrawnOnlyWhenItIsStillThisHosts)
{
    using Lookup = RouterMappingLookup::Outcome;
    struct Case {
        Lookup lookup;
        std::string client;
        bool removed, recordKept;
    };
    const Case cases[] = {{Lookup::found, "192.168.1.20", true, false},
                          {Lookup::found, "192.168.1.33", false, false},
                          {Lookup::absent, "", false, false},
                          {Lookup::otherGateway, "", false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        makeMapper(left);
        router->held = {c.lookup, c.client, 59590, "Kestrio", "192.168.1.20"};
        start();
        EXPECT_EQ(router->calls, (c.removed ? Calls{"lookup 59590", "remove 59590", "address", "map 59590 3600"}
                                            : Calls{"lookup 59590", "address", "map 59590 3600"}));
        EXPECT_EQ(stored, c.recordKept ? std::optional(left) : std::nullopt);
    }
}

TEST(PermanentMappingRecordText, ReadsBackWhatItWritesAndNothingMalformed)
{
    const PermanentMappingRecord record{"192.168.1.1", "TCP", 59590, "192.168.1.20", 59591};
    const std::string text = "gateway=192.168.1.1 protocol=TCP externalPort=59590 internalAddress=192.168.1.20 internalPort=59591";
    EXPECT_EQ(recordText(record), text);
    EXPECT_EQ(parseRecordText(text), record);
    for (const auto& malformed : {std::string(), text.substr(0, text.rfind(' ')), text + " x=1",
                                  std::regex_replace(text, std::regex("TCP"), "ICMP"), std::regex_replace(text, std::regex("=59590"), "=70000")})
        EXPECT_EQ(parseRecordText(malformed), std::nullopt) << malformed;
}

TEST_F(NATPortMapperTest, RenewsReportsChangesReplacesAndFallsSilentAtShutdown)
{
    router->standing = mapped(59590, 120s);
    start();
    advance(59s);
    EXPECT_EQ(router->calls.size(), 2u);
    advance(1s);
    EXPECT_EQ(router->calls.size(), 4u);
    EXPECT_EQ(updates.size(), 1u);
    router->standing = mapped(59590, 7200s);
    router->address = at("198.51.100.4");
    advance(60s);
    EXPECT_EQ(updates, (std::vector<Update>{{Ready{"203.0.113.7", 59590}}, {Ready{"198.51.100.4", 59590}}}));
    router->calls.clear();
    start(59591);
    advance(300s);  // the first mapping's timer is void
    EXPECT_EQ(router->calls, (Calls{"unmap 59590", "address", "map 59591 3600", "address", "map 59591 3600"}));
    mapper->shutdown();
    mapper.reset();
    queue->runUntilIdle();
    advance(3600s);
    EXPECT_EQ(router->calls.back(), "unmap 59591");
    EXPECT_EQ(updates.size(), 3u);

    makeMapper();
    router->duringMap = [this] { mapper->shutdown(); };
    start();
    EXPECT_TRUE(updates.empty());
    EXPECT_EQ(router->calls.back(), "unmap 59590");
}

struct RecordingDelivery final : MessageDelivery {
    std::optional<MessageDeliveryFailure> probe() override { return calls.push_back("probe"), answer; }
    std::optional<MessageDeliveryFailure> deliver(const std::string& to, const std::string& text) override
    {
        return calls.push_back(to + "|" + text), answer;
    }
    Calls calls;
    std::optional<MessageDeliveryFailure> answer;
};

TEST(MessagesNotifier, SendHandsOverTheTrimmedAddressAndTheTextAsItIs)
{
    auto delivery = std::make_shared<RecordingDelivery>();
    const MessagesNotifier notifier(delivery);
    EXPECT_EQ(notifier.send(" 203.0.113.7:59590\n", "\u00A0me@example.com\u3000\r\n"), std::nullopt);
    EXPECT_EQ(notifier.probeAccess(), std::nullopt);
    EXPECT_EQ(delivery->calls, (Calls{"me@example.com| 203.0.113.7:59590\n", "probe"}));
    EXPECT_EQ(notifier.send("x", " \t\u00A0\u2028")->kind, MessagesNotifierError::Kind::emptyAddress);
    EXPECT_EQ(delivery->calls.size(), 2u) << "a blank address reaches no delivery";

    delivery->answer = MessageDeliveryFailure{MessageDeliveryFailure::Kind::failed, "Not authorised (-1743)"};
    EXPECT_EQ(notifier.send("x", "me@example.com")->description(), "Not authorised (-1743)");
    delivery->answer = MessageDeliveryFailure{MessageDeliveryFailure::Kind::unusableScript, "ignored"};
    EXPECT_EQ(notifier.probeAccess()->kind, MessagesNotifierError::Kind::scriptCreationFailed);
}

TEST(LocalAddress, FirstAddressThatIsNeitherIPv6LoopbackNorLinkLocal)
{
    EXPECT_EQ(chooseLocalAddress({"::1", "127.0.0.1", "fe80::1", "169.254.3.4", "10.0.0.7", "192.168.1.2"}), "10.0.0.7");
    EXPECT_EQ(chooseLocalAddress({"::ffff:192.168.1.2", "127.0.0.2"}), "127.0.0.2");
    EXPECT_EQ(chooseLocalAddress({"169.254.0.1", "127.0.0.1", "::1"}), std::nullopt);
}

}  // namespace
}  // namespace kestrio::remote
