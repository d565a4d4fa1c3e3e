#include "remote/local_address.h"
#include "remote/messages_notifier.h"
#include "remote/nat_port_mapper.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrio::remote {
namespace {

using namespace std::chrono_literals;
using Ready = NATPortMappingUpdate::Ready;
using Unavailable = NATPortMappingUpdate::Unavailable;
using Calls = std::vector<std::string>;

// Records every call and answers as the test set it.
class ScriptedRouter final : public RouterPortMapping {
public:
    RouterAddressResult externalAddress() override { return record("address", address); }
    RouterMappingResult map(std::uint16_t port, std::chrono::seconds lifetime) override
    {
        calls.push_back("map " + std::to_string(port) + " " + std::to_string(lifetime.count()));
        if (duringMap)
            std::exchange(duringMap, nullptr)();
        return standing;
    }
    bool unmap(std::uint16_t port) override { return record("unmap " + std::to_string(port), unmapConfirmed); }
    RouterMappingLookup lookup(const PermanentMappingRecord& r) override { return record("lookup " + std::to_string(r.externalPort), held); }
    bool remove(const PermanentMappingRecord& r) override { return record("remove " + std::to_string(r.externalPort), true); }

    void setAddress(std::string text) { address = {RouterMappingResult::Outcome::mapped, std::move(text), {}}; }
    static RouterMappingResult mapped(std::uint16_t port, std::chrono::seconds lifetime = 3600s)
    {
        return {RouterMappingResult::Outcome::mapped, port, lifetime, "192.168.1.1", "192.168.1.20", {}};
    }

    RouterAddressResult address{RouterMappingResult::Outcome::mapped, "203.0.113.7", {}};
    RouterMappingResult standing = mapped(59590);
    std::function<void()> duringMap;
    bool unmapConfirmed = true;
    RouterMappingLookup held;
    Calls calls;

private:
    template <typename Answer> Answer record(std::string call, Answer answer)
    {
        calls.push_back(std::move(call));
        return answer;
    }
};

class NATPortMapperTest : public ::testing::Test {
protected:
    void SetUp() override { makeMapper(); }

    // A new mapper, with a new router unless there is to be none, and the lease record left by an earlier run.
    void makeMapper(std::optional<PermanentMappingRecord> left = {}, bool withRouter = true)
    {
        router = std::make_shared<ScriptedRouter>();
        PermanentMappingMemory memory{std::move(left), [this](const PermanentMappingRecord& record) { stored = record; },
                                      [this] { stored.reset(); }};
        stored = memory.left;
        mapper = NATPortMapper::create({queue, clock, withRouter ? router : nullptr, std::move(memory)});
        mapper->setOnUpdate([this](const NATPortMappingUpdate& update) { updates.push_back(update); });
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
    std::vector<NATPortMappingUpdate> updates;
    std::optional<PermanentMappingRecord> stored;
    const PermanentMappingRecord left{"192.168.1.1", "TCP", 59590, "192.168.1.20", 59590};
};

TEST_F(NATPortMapperTest, EachRouterAnswerBecomesItsUpdate)
{
    using Outcome = RouterMappingResult::Outcome;
    struct Case {
        RouterAddressResult address;
        RouterMappingResult answer;
        std::optional<std::uint16_t> port;  // mapped, else the text shown
        std::string_view text;
        std::size_t calls;
    };
    const auto at = [](std::string address) { return RouterAddressResult{Outcome::mapped, std::move(address), {}}; };
    const auto ours = ScriptedRouter::mapped(59590);
    const Case cases[] = {
        {at("203.0.113.7"), ScriptedRouter::mapped(61000), 61000, {}, 2},  // another port granted
        {at("203.0.113.7"), ScriptedRouter::mapped(0), {}, noExternalPortText, 2},
        {at("127.0.0.1"), ours, {}, noExternalPortText, 1},
        {at("gateway.example"), ours, {}, noExternalPortText, 1},
        {at("100.127.0.1"), ours, {}, doubleNatText, 1},
        {at("10.255.0.1"), ours, {}, doubleNatText, 1},
        {at("172.31.255.254"), ours, {}, doubleNatText, 1},
        {at("192.168.0.1"), ours, {}, doubleNatText, 1},
        {{Outcome::disabled, {}, {}}, ours, {}, mappingDisabledText, 1},
        {{Outcome::failed, {}, {}}, ours, {}, mappingOtherErrorText, 1},
        {at("203.0.113.7"), {Outcome::unsupported, 0, 0s, {}, {}, "scripted"}, {}, mappingUnsupportedText, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address.address + " → " + std::to_string(c.answer.externalPort));
        makeMapper();
        router->address = c.address;
        router->standing = c.answer;
        updates.clear();
        start();
        EXPECT_EQ(updates, (std::vector{c.port ? NATPortMappingUpdate{Ready{"203.0.113.7", *c.port}}
                                               : NATPortMappingUpdate{Unavailable{std::string(c.text)}}}));
        EXPECT_EQ(mapper->mappedPort(), c.port);
        EXPECT_EQ(router->calls.size(), c.calls);
    }
    makeMapper({}, false);
    updates.clear();
    start();
    EXPECT_EQ(updates, std::vector{NATPortMappingUpdate{Unavailable{"NAT 포트 매핑을 시작할 수 없음"}}});
}

TEST_F(NATPortMapperTest, BehindAnotherNatTheMappingIsWithdrawnAndOnlyTheAddressAskedAgain)
{
    start();
    router->calls.clear();
    router->setAddress("100.64.12.1");
    advance(300s);
    EXPECT_EQ(updates.back(), (NATPortMappingUpdate{Unavailable{std::string(doubleNatText)}}));
    advance(3 * NATPortMapper::retryInterval);
    EXPECT_EQ(router->calls, (Calls{"address", "unmap 59590", "address", "address", "address"}));
}

TEST_F(NATPortMapperTest, APermanentLeaseIsRecordedUntilWithdrawn)
{
    router->standing = ScriptedRouter::mapped(59590, 0s);
    start();
    EXPECT_EQ(stored, left);
    EXPECT_EQ(updates.back(), (NATPortMappingUpdate{Ready{"203.0.113.7", 59590}}));
    // A withdrawal the router does not confirm leaves the record for the next start.
    router->unmapConfirmed = false;
    router->setAddress("10.1.1.1");
    advance(300s);
    EXPECT_EQ(stored, left);
    router->unmapConfirmed = true;
    router->setAddress("203.0.113.7");
    advance(300s);
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
        const char* name;
        Lookup lookup;
        std::string client;
        bool removed, recordKept;
    };
    const Case cases[] = {
        {"still ours", Lookup::found, "192.168.1.20", true, false},
        {"another computer's now", Lookup::found, "192.168.1.33", false, false},
        {"gone already", Lookup::absent, "", false, false},
        {"another router", Lookup::otherGateway, "", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        makeMapper(left);
        router->held = {c.lookup, c.client, 59590, "Kestrio", "192.168.1.20"};
        start();
        Calls expected{"lookup 59590"};
        if (c.removed)
            expected.push_back("remove 59590");
        expected.insert(expected.end(), {"address", "map 59590 3600"});
        EXPECT_EQ(router->calls, expected);
        EXPECT_EQ(stored, c.recordKept ? std::optional(left) : std::nullopt);
    }
}

TEST(PermanentMappingRecordText, ReadsBackWhatItWritesAndNothingMalformed)
{
    const PermanentMappingRecord record{"192.168.1.1", "TCP", 59590, "192.168.1.20", 59591};
    const std::string text = "gateway=192.168.1.1 protocol=TCP externalPort=59590 internalAddress=192.168.1.20 internalPort=59591";
    EXPECT_EQ(recordText(record), text);
    EXPECT_EQ(parseRecordText(text), record);
    const std::string malformedTexts[] = {
        "", text.substr(0, text.rfind(' ')), text + " x=1",
        "gateway=192.168.1.1 protocol=ICMP externalPort=59590 internalAddress=192.168.1.20 internalPort=59591",
        "gateway=192.168.1.1 protocol=TCP externalPort=70000 internalAddress=192.168.1.20 internalPort=59591"};
    for (const auto& malformed : malformedTexts)
        EXPECT_EQ(parseRecordText(malformed), std::nullopt) << malformed;
}

TEST_F(NATPortMapperTest, TheLeaseIsRenewedAndOnlyChangesAreReported)
{
    router->standing = ScriptedRouter::mapped(59590, 120s);
    start();
    advance(59s);
    EXPECT_EQ(router->calls.size(), 2u);
    advance(1s);
    EXPECT_EQ(router->calls.size(), 4u);
    EXPECT_EQ(updates.size(), 1u);
    // A long lease is still checked every five minutes; a new address is reported.
    router->standing = ScriptedRouter::mapped(59590, 7200s);
    router->setAddress("198.51.100.4");
    advance(60s);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1], (NATPortMappingUpdate{Ready{"198.51.100.4", 59590}}));
    advance(300s);
    EXPECT_EQ(router->calls.size(), 8u);
}

TEST_F(NATPortMapperTest, ASecondStartReplacesTheFirstMappingAndShutdownSilencesTheMapper)
{
    start(59590);
    start(59591);
    EXPECT_EQ(router->calls, (Calls{"address", "map 59590 3600", "unmap 59590", "address", "map 59591 3600"}));
    EXPECT_EQ(updates.size(), 2u);
    advance(300s);
    EXPECT_EQ(router->calls.size(), 7u);  // the first mapping's timer is void
    mapper->shutdown();
    mapper.reset();
    queue->runUntilIdle();
    EXPECT_EQ(router->calls.back(), "unmap 59591");
    advance(3600s);
    EXPECT_EQ(router->calls.size(), 8u);
    EXPECT_EQ(updates.size(), 2u);

    // An answer that arrives after shutdown is not delivered.
    updates.clear();
    makeMapper();
    router->duringMap = [this] { mapper->shutdown(); };
    start();
    EXPECT_TRUE(updates.empty());
    EXPECT_EQ(router->calls.back(), "unmap 59590");
}

// Records every call and answers with a failure chosen by the test.
class RecordingDelivery final : public MessageDelivery {
public:
    std::optional<MessageDeliveryFailure> probe(const std::string& scriptSource) override
    {
        scripts.push_back(scriptSource);
        return answer;
    }
    std::optional<MessageDeliveryFailure> deliver(const std::string& scriptSource, const std::string& recipient,
                                                  const std::string& text) override
    {
        scripts.push_back(scriptSource);
        sent.push_back(recipient + "|" + text);
        return answer;
    }

    std::vector<std::string> scripts, sent;
    std::optional<MessageDeliveryFailure> answer;
};

TEST(MessagesNotifier, SendHandsOverTheTrimmedAddressAndTheTextAsItIsInAnEscapedScript)
{
    // A backslash before a quote: doubling the backslash must not also swallow the quote's escape.
    EXPECT_EQ(MessagesNotifier::appleScriptLiteral("a\\\"b"), "\"a\\\\\\\"b\"");
    EXPECT_EQ(MessagesNotifier::appleScriptLiteral("1\r\n2\t3 주소"), "\"1\\r\\n2\\t3 주소\"");

    auto delivery = std::make_shared<RecordingDelivery>();
    const MessagesNotifier notifier(delivery);
    EXPECT_EQ(notifier.send(" 203.0.113.7:59590\n", "\u00A0me@example.com\u3000\r\n"), std::nullopt);
    EXPECT_EQ(delivery->scripts, std::vector<std::string>{"tell application \"Messages\"\n"
                                                          "    set targetAccount to first account whose service type is "
                                                          "iMessage and enabled is true\n"
                                                          "    set targetParticipant to participant \"me@example.com\" of "
                                                          "targetAccount\n"
                                                          "    send \" 203.0.113.7:59590\\n\" to targetParticipant\n"
                                                          "end tell"});
    EXPECT_EQ(delivery->sent, std::vector<std::string>{"me@example.com| 203.0.113.7:59590\n"});
    const auto error = notifier.send("203.0.113.7:59590", " \t\u00A0\u2028");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description(), "iMessage 주소를 입력하세요.");
    EXPECT_EQ(delivery->scripts.size(), 1u);

    // Delivery failures become notifier errors with their detail.
    using Failure = MessageDeliveryFailure;
    using Error = MessagesNotifierError;
    for (const auto& [failure, kind] : {std::pair{Failure{Failure::Kind::failed, "Not authorised (-1743)"}, Error::Kind::scriptFailed},
                                        std::pair{Failure{Failure::Kind::unusableScript, "ignored"}, Error::Kind::scriptCreationFailed}}) {
        delivery->answer = failure;
        for (const auto& error : {notifier.runAppleScript(std::string(MessagesNotifier::accessProbeScript)),
                                  notifier.send("203.0.113.7:59590", "me@example.com")}) {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->kind, kind);
            EXPECT_EQ(error->description() == failure.message, kind == Error::Kind::scriptFailed);
        }
    }
}

TEST(LocalAddress, FirstAddressThatIsNeitherIPv6LoopbackNorLinkLocal)
{
    EXPECT_EQ(chooseLocalAddress({"::1", "127.0.0.1", "fe80::1", "169.254.3.4", "10.0.0.7", "192.168.1.2"}), "10.0.0.7");
    // Only the exact loopback text is skipped, and any IPv6 form, mapped ones included.
    EXPECT_EQ(chooseLocalAddress({"::ffff:192.168.1.2", "127.0.0.2"}), "127.0.0.2");
    // Public and private ranges are not told apart; the system's order decides.
    EXPECT_EQ(chooseLocalAddress({"203.0.113.9", "192.168.1.2"}), "203.0.113.9");
    EXPECT_EQ(chooseLocalAddress({"169.254.0.1", "127.0.0.1", "::1"}), std::nullopt);
    EXPECT_EQ(chooseLocalAddress({}), std::nullopt);
}

}  // namespace
}  // namespace kestrio::remote
