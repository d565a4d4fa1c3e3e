// The port mapper's decisions on a scripted router and virtual time: what each router answer
// becomes, when the lease is renewed, what counts as news, and that a shut-down mapper withdraws
// its mapping and says nothing more.
#include "remote/nat_port_mapper.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace kestrio::remote {
namespace {

using namespace std::chrono_literals;
using Ready = NATPortMappingUpdate::Ready;
using Unavailable = NATPortMappingUpdate::Unavailable;

class ScriptedRouter final : public RouterPortMapping {
public:
    RouterAddressResult externalAddress() override
    {
        calls.push_back("address");
        return address;
    }
    RouterMappingResult map(std::uint16_t port, std::chrono::seconds lifetime) override
    {
        calls.push_back("map " + std::to_string(port) + " " + std::to_string(lifetime.count()));
        if (duringMap)
            std::exchange(duringMap, nullptr)();
        if (answers.empty())
            return standing;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    bool unmap(std::uint16_t port) override
    {
        calls.push_back("unmap " + std::to_string(port));
        return unmapConfirmed;
    }
    RouterMappingLookup lookup(const PermanentMappingRecord& record) override
    {
        calls.push_back("lookup " + std::to_string(record.externalPort));
        return held;
    }
    bool remove(const PermanentMappingRecord& record) override
    {
        calls.push_back("remove " + std::to_string(record.externalPort));
        return true;
    }

    void setAddress(std::string text) { address = {RouterMappingResult::Outcome::mapped, std::move(text), {}}; }

    RouterAddressResult address{RouterMappingResult::Outcome::mapped, "203.0.113.7", {}};
    RouterMappingResult standing = mapped(59590);
    std::deque<RouterMappingResult> answers;
    std::function<void()> duringMap;
    bool unmapConfirmed = true;
    RouterMappingLookup held;
    std::vector<std::string> calls;

    static RouterMappingResult mapped(std::uint16_t port, std::chrono::seconds lifetime = 3600s)
    {
        return {RouterMappingResult::Outcome::mapped, port, lifetime, "192.168.1.1", "192.168.1.20", {}};
    }
    static RouterMappingResult refused(RouterMappingResult::Outcome outcome) { return {outcome, 0, 0s, {}, {}, "scripted"}; }
};

class NATPortMapperTest : public ::testing::Test {
protected:
    void SetUp() override { makeMapper({}); }

    void makeMapper(std::optional<PermanentMappingRecord> left)
    {
        PermanentMappingMemory memory{std::move(left), [this](const PermanentMappingRecord& record) { stored = record; },
                                      [this] { stored.reset(); }};
        stored = memory.left;
        mapper = NATPortMapper::create({queue, clock, router, std::move(memory)});
        mapper->setOnUpdate([this](const NATPortMappingUpdate& update) { updates.push_back(update); });
    }

    void advance(std::chrono::seconds by)
    {
        clock->advance(by);
        queue->runUntilIdle();
    }

    std::shared_ptr<runtime::ManualExecutor> queue = std::make_shared<runtime::ManualExecutor>();
    std::shared_ptr<runtime::VirtualClock> clock = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<ScriptedRouter> router = std::make_shared<ScriptedRouter>();
    std::shared_ptr<NATPortMapper> mapper;
    std::vector<NATPortMappingUpdate> updates;
    std::optional<PermanentMappingRecord> stored;
};

TEST_F(NATPortMapperTest, EachRouterAnswerBecomesItsUpdate)
{
    using Outcome = RouterMappingResult::Outcome;
    struct Case {
        RouterAddressResult address;
        RouterMappingResult answer;
        NATPortMappingUpdate expected;
        bool mapAsked;
    };
    const auto at = [](std::string address) { return RouterAddressResult{Outcome::mapped, std::move(address), {}}; };
    const std::string noPort = "공유기가 외부 포트를 열지 못했습니다";
    const std::string doubleNat = "이중 NAT 또는 CGNAT 환경입니다";
    const Case cases[] = {
        {at("203.0.113.7"), ScriptedRouter::mapped(59590), {Ready{"203.0.113.7", 59590}}, true},
        {at("203.0.113.7"), ScriptedRouter::mapped(61000), {Ready{"203.0.113.7", 61000}}, true},  // another port granted
        {at("203.0.113.7"), ScriptedRouter::mapped(0), {Unavailable{noPort}}, true},
        {at("172.32.0.1"), ScriptedRouter::mapped(59590), {Ready{"172.32.0.1", 59590}}, true},
        {at("100.128.0.1"), ScriptedRouter::mapped(59590), {Ready{"100.128.0.1", 59590}}, true},
        // Addresses no phone can reach, or no address at all: nothing is mapped.
        {at(""), ScriptedRouter::mapped(59590), {Unavailable{noPort}}, false},
        {at("not an address"), ScriptedRouter::mapped(59590), {Unavailable{noPort}}, false},
        {at("203.0.113.7.5"), ScriptedRouter::mapped(59590), {Unavailable{noPort}}, false},
        {at("2001:db8::1"), ScriptedRouter::mapped(59590), {Unavailable{noPort}}, false},
        {at("0.0.0.0"), ScriptedRouter::mapped(59590), {Unavailable{noPort}}, false},
        {at("127.0.0.1"), ScriptedRouter::mapped(59590), {Unavailable{noPort}}, false},
        {at("169.254.3.4"), ScriptedRouter::mapped(59590), {Unavailable{noPort}}, false},
        {at("239.1.1.1"), ScriptedRouter::mapped(59590), {Unavailable{noPort}}, false},
        {at("192.168.1.20"), ScriptedRouter::mapped(59590), {Unavailable{doubleNat}}, false},
        {at("10.0.0.2"), ScriptedRouter::mapped(59590), {Unavailable{doubleNat}}, false},
        {at("172.31.255.1"), ScriptedRouter::mapped(59590), {Unavailable{doubleNat}}, false},
        {at("100.127.0.1"), ScriptedRouter::mapped(59590), {Unavailable{doubleNat}}, false},
        {{Outcome::disabled, {}, {}}, ScriptedRouter::mapped(59590), {Unavailable{"공유기의 자동 포트 개방이 꺼져 있습니다"}}, false},
        {{Outcome::unsupported, {}, {}}, ScriptedRouter::mapped(59590), {Unavailable{"공유기가 자동 포트 개방을 지원하지 않습니다"}}, false},
        {{Outcome::failed, {}, {}}, ScriptedRouter::mapped(59590), {Unavailable{"자동 원격 연결을 열 수 없습니다 · 오류 (error)"}}, false},
        {at("203.0.113.7"), ScriptedRouter::refused(Outcome::disabled), {Unavailable{"공유기의 자동 포트 개방이 꺼져 있습니다"}}, true},
        {at("203.0.113.7"), ScriptedRouter::refused(Outcome::unsupported), {Unavailable{"공유기가 자동 포트 개방을 지원하지 않습니다"}}, true},
        {at("203.0.113.7"), ScriptedRouter::refused(Outcome::failed), {Unavailable{"자동 원격 연결을 열 수 없습니다 · 오류 (error)"}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address.address + " → " + std::to_string(c.answer.externalPort));
        router = std::make_shared<ScriptedRouter>();
        SetUp();
        updates.clear();
        router->address = c.address;
        router->standing = c.answer;
        mapper->start(59590);
        queue->runUntilIdle();
        ASSERT_EQ(updates.size(), 1u);
        EXPECT_EQ(updates[0], c.expected);
        const auto* ready = std::get_if<Ready>(&c.expected.value);
        EXPECT_EQ(mapper->mappedPort(), ready ? std::optional<std::uint16_t>(ready->port) : std::nullopt);
        const std::vector<std::string> asked{"address", "map 59590 3600"};
        EXPECT_EQ(router->calls, std::vector(asked.begin(), asked.begin() + (c.mapAsked ? 2 : 1)));
    }
}

TEST_F(NATPortMapperTest, BehindAnotherNatTheMappingIsWithdrawnAndOnlyTheAddressAskedAgain)
{
    mapper->start(59590);
    queue->runUntilIdle();
    router->calls.clear();
    router->setAddress("100.64.12.1");
    advance(300s);
    EXPECT_EQ(updates.back(), (NATPortMappingUpdate{Unavailable{"이중 NAT 또는 CGNAT 환경입니다"}}));
    EXPECT_EQ(mapper->mappedPort(), std::nullopt);
    advance(3 * NATPortMapper::retryInterval);
    EXPECT_EQ(router->calls, (std::vector<std::string>{"address", "unmap 59590", "address", "address", "address"}));

    router->setAddress("198.51.100.4");
    advance(NATPortMapper::retryInterval);
    EXPECT_EQ(updates.back(), (NATPortMappingUpdate{Ready{"198.51.100.4", 59590}}));
    EXPECT_EQ(updates.size(), 3u);
}

TEST_F(NATPortMapperTest, APermanentLeaseIsRecordedUntilWithdrawn)
{
    const PermanentMappingRecord record{"192.168.1.1", "TCP", 59590, "192.168.1.20", 59590};
    router->standing = ScriptedRouter::mapped(59590, 0s);
    mapper->start(59590);
    queue->runUntilIdle();
    EXPECT_EQ(stored, record);
    EXPECT_EQ(updates.back(), (NATPortMappingUpdate{Ready{"203.0.113.7", 59590}}));

    // A withdrawal the router does not confirm leaves the record for the next start.
    router->unmapConfirmed = false;
    router->setAddress("10.1.1.1");
    advance(300s);
    EXPECT_EQ(stored, record);
    router->unmapConfirmed = true;
    router->setAddress("203.0.113.7");
    advance(300s);
    EXPECT_EQ(stored, record);
    mapper->shutdown();
    queue->runUntilIdle();
    EXPECT_EQ(router->calls.back(), "unmap 59590");
    EXPECT_EQ(stored, std::nullopt);

    // A router that changes its mind to a lease that expires needs no record.
    makeMapper(std::nullopt);
    router->answers = {ScriptedRouter::mapped(59590, 0s), ScriptedRouter::mapped(59590, 600s)};
    mapper->start(59590);
    queue->runUntilIdle();
    EXPECT_EQ(stored, record);
    advance(300s);
    EXPECT_EQ(stored, std::nullopt);
}

TEST_F(NATPortMapperTest, ALeaseLeftOpenIsWithdrawnOnlyWhenItIsStillThisHosts)
{
    using Lookup = RouterMappingLookup::Outcome;
    const PermanentMappingRecord left{"192.168.1.1", "TCP", 59590, "192.168.1.20", 59590};
    const auto held = [](Lookup outcome, std::string client, std::uint16_t port, std::string description,
                         std::string host = "192.168.1.20") {
        return RouterMappingLookup{outcome, std::move(client), port, std::move(description), std::move(host)};
    };
    struct Case {
        const char* name;
        RouterMappingLookup lookup;
        bool removed;
        bool recordKept;
    };
    const Case cases[] = {
        {"still ours", held(Lookup::found, "192.168.1.20", 59590, "Kestrio"), true, false},
        {"another computer's now", held(Lookup::found, "192.168.1.33", 59590, "Kestrio"), false, false},
        {"another port", held(Lookup::found, "192.168.1.20", 8080, "Kestrio"), false, false},
        {"another program's", held(Lookup::found, "192.168.1.20", 59590, "game"), false, false},
        {"this host moved to another address", held(Lookup::found, "192.168.1.20", 59590, "Kestrio", "192.168.1.21"),
         false, false},
        {"gone already", held(Lookup::absent, "", 0, ""), false, false},
        {"another router", held(Lookup::otherGateway, "", 0, ""), false, true},
        {"no router answers", held(Lookup::noAnswer, "", 0, ""), false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        router = std::make_shared<ScriptedRouter>();
        router->held = c.lookup;
        makeMapper(left);
        mapper->start(59590);
        queue->runUntilIdle();
        std::vector<std::string> expected{"lookup 59590"};
        if (c.removed)
            expected.push_back("remove 59590");
        expected.insert(expected.end(), {"address", "map 59590 3600"});
        EXPECT_EQ(router->calls, expected);
        EXPECT_EQ(stored, c.recordKept ? std::optional(left) : std::nullopt);
        // Settled once per run.
        advance(300s);
        EXPECT_EQ(router->calls.size(), expected.size() + 2);
    }
}

TEST(PermanentMappingRecordText, ReadsBackWhatItWritesAndNothingMalformed)
{
    const PermanentMappingRecord record{"192.168.1.1", "TCP", 59590, "192.168.1.20", 59591};
    EXPECT_EQ(recordText(record),
              "gateway=192.168.1.1 protocol=TCP externalPort=59590 internalAddress=192.168.1.20 internalPort=59591");
    EXPECT_EQ(parseRecordText(recordText(record)), record);
    for (const char* malformed : {
             "",
             "gateway=192.168.1.1 protocol=TCP externalPort=59590 internalAddress=192.168.1.20",
             "gateway=router protocol=TCP externalPort=59590 internalAddress=192.168.1.20 internalPort=59591",
             "gateway=192.168.1.1 protocol=ICMP externalPort=59590 internalAddress=192.168.1.20 internalPort=59591",
             "gateway=192.168.1.1 protocol=TCP externalPort=70000 internalAddress=192.168.1.20 internalPort=59591",
             "gateway=192.168.1.1 protocol=TCP externalPort=0 internalAddress=192.168.1.20 internalPort=59591",
             "gateway=192.168.1.1 protocol=TCP externalPort=59590x internalAddress=192.168.1.20 internalPort=59591",
             "gateway=192.168.1.1 protocol=TCP externalPort=59590 internalAddress=192.168.1.20 internalPort=59591 x=1",
             "gateway=192.168.1.1 gateway=192.168.1.1 externalPort=59590 internalAddress=192.168.1.20 internalPort=1",
             "gateway=192.168.1.1  protocol=TCP externalPort=59590 internalAddress=192.168.1.20 internalPort=59591",
         })
        EXPECT_EQ(parseRecordText(malformed), std::nullopt) << malformed;
}

TEST_F(NATPortMapperTest, TheLeaseIsRenewedAndOnlyChangesAreReported)
{
    router->standing = ScriptedRouter::mapped(59590, 120s);
    mapper->start(59590);
    queue->runUntilIdle();
    EXPECT_EQ(router->calls, (std::vector<std::string>{"address", "map 59590 3600"}));

    // Half the granted lease.
    advance(59s);
    EXPECT_EQ(router->calls.size(), 2u);
    advance(1s);
    EXPECT_EQ(router->calls.size(), 4u);
    EXPECT_EQ(updates.size(), 1u) << "a renewal that changes nothing is not news";

    // A long lease is still checked every five minutes; a new address is reported.
    router->standing = ScriptedRouter::mapped(59590, 7200s);
    router->setAddress("198.51.100.4");
    advance(60s);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1], (NATPortMappingUpdate{Ready{"198.51.100.4", 59590}}));
    advance(299s);
    EXPECT_EQ(router->calls.size(), 6u);
    advance(1s);
    EXPECT_EQ(router->calls.size(), 8u);

    // The router stops forwarding, then comes back.
    router->standing = ScriptedRouter::refused(RouterMappingResult::Outcome::unsupported);
    advance(300s);
    EXPECT_EQ(updates.back(), (NATPortMappingUpdate{Unavailable{"공유기가 자동 포트 개방을 지원하지 않습니다"}}));
    EXPECT_EQ(mapper->mappedPort(), std::nullopt);
    router->standing = ScriptedRouter::mapped(59590);
    advance(300s);
    EXPECT_EQ(updates.back(), (NATPortMappingUpdate{Ready{"198.51.100.4", 59590}}));
    EXPECT_EQ(updates.size(), 4u);
}

TEST_F(NATPortMapperTest, ASecondStartReplacesTheFirstMapping)
{
    mapper->start(59590);
    queue->runUntilIdle();
    mapper->start(59591);
    queue->runUntilIdle();
    EXPECT_EQ(router->calls, (std::vector<std::string>{"address", "map 59590 3600", "unmap 59590", "address", "map 59591 3600"}));
    EXPECT_EQ(updates.size(), 2u) << "the new mapping is reported even when it looks the same";
    advance(300s);
    EXPECT_EQ(router->calls.back(), "map 59591 3600") << "the first mapping's timer is void";
    EXPECT_EQ(router->calls.size(), 7u);
}

TEST_F(NATPortMapperTest, ShutdownWithdrawsTheMappingAndSilencesTheMapper)
{
    mapper->start(59590);
    queue->runUntilIdle();
    mapper->shutdown();
    mapper.reset();
    queue->runUntilIdle();
    EXPECT_EQ(router->calls, (std::vector<std::string>{"address", "map 59590 3600", "unmap 59590"}));
    advance(3600s);
    EXPECT_EQ(router->calls.size(), 3u);
    EXPECT_EQ(updates.size(), 1u);
}

TEST_F(NATPortMapperTest, AnAnswerThatArrivesAfterShutdownIsNotDelivered)
{
    // The router is still answering when the owner shuts the mapper down.
    router->duringMap = [this] { mapper->shutdown(); };
    mapper->start(59590);
    queue->runUntilIdle();
    EXPECT_TRUE(updates.empty());
    EXPECT_EQ(router->calls.back(), "unmap 59590") << "the mapping the router made is still withdrawn";
}

TEST_F(NATPortMapperTest, WithoutACallbackTheMappingStillHappens)
{
    mapper->setOnUpdate(nullptr);
    mapper->start(59590);
    queue->runUntilIdle();
    EXPECT_EQ(mapper->mappedPort(), std::optional<std::uint16_t>(59590));
}

TEST_F(NATPortMapperTest, NoRouterFacilityCannotStart)
{
    mapper = NATPortMapper::create({queue, clock, nullptr});
    mapper->setOnUpdate([this](const NATPortMappingUpdate& update) { updates.push_back(update); });
    mapper->start(59590);
    queue->runUntilIdle();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0], (NATPortMappingUpdate{Unavailable{"NAT 포트 매핑을 시작할 수 없음"}}));
}

}  // namespace
}  // namespace kestrio::remote
