#include "remote/nat_port_mapper.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

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
        return standing;
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
        std::optional<std::uint16_t> port;  // mapped, else the text shown
        std::string_view text;
        std::size_t calls;
    };
    const auto at = [](std::string address) { return RouterAddressResult{Outcome::mapped, std::move(address), {}}; };
    const Case cases[] = {
        {at("203.0.113.7"), ScriptedRouter::mapped(61000), 61000, {}, 2},  // another port granted
        {at("203.0.113.7"), ScriptedRouter::mapped(0), {}, noExternalPortText, 2},
        {at("127.0.0.1"), ScriptedRouter::mapped(59590), {}, noExternalPortText, 1},
        {at("gateway.example"), ScriptedRouter::mapped(59590), {}, noExternalPortText, 1},
        {at("100.127.0.1"), ScriptedRouter::mapped(59590), {}, doubleNatText, 1},
        {at("10.255.0.1"), ScriptedRouter::mapped(59590), {}, doubleNatText, 1},
        {at("172.31.255.254"), ScriptedRouter::mapped(59590), {}, doubleNatText, 1},
        {at("192.168.0.1"), ScriptedRouter::mapped(59590), {}, doubleNatText, 1},
        {{Outcome::disabled, {}, {}}, ScriptedRouter::mapped(59590), {}, mappingDisabledText, 1},
        {{Outcome::failed, {}, {}}, ScriptedRouter::mapped(59590), {}, mappingOtherErrorText, 1},
        {at("203.0.113.7"), ScriptedRouter::refused(Outcome::unsupported), {}, mappingUnsupportedText, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address.address + " → " + std::to_string(c.answer.externalPort));
        router = std::make_shared<ScriptedRouter>();
        makeMapper({});
        router->address = c.address;
        router->standing = c.answer;
        mapper->start(59590);
        queue->runUntilIdle();
        EXPECT_EQ(updates, (std::vector<NATPortMappingUpdate>{
                               c.port ? NATPortMappingUpdate{Ready{"203.0.113.7", *c.port}}
                                      : NATPortMappingUpdate{Unavailable{std::string(c.text)}}}));
        EXPECT_EQ(mapper->mappedPort(), c.port);
        EXPECT_EQ(router->calls.size(), c.calls);
        updates.clear();
    }
}

TEST_F(NATPortMapperTest, BehindAnotherNatTheMappingIsWithdrawnAndOnlyTheAddressAskedAgain)
{
    mapper->start(59590);
    queue->runUntilIdle();
    router->calls.clear();
    router->setAddress("100.64.12.1");
    advance(300s);
    EXPECT_EQ(updates.back(), (NATPortMappingUpdate{Unavailable{std::string(doubleNatText)}}));
    advance(3 * NATPortMapper::retryInterval);
    EXPECT_EQ(router->calls, (std::vector<std::string>{"address", "unmap 59590", "address", "address", "address"}));
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
}

TEST_F(NATPortMapperTest, ALeaseLeftOpenIsWithdrawnOnlyWhenItIsStillThisHosts)
{
    using Lookup = RouterMappingLookup::Outcome;
    const PermanentMappingRecord left{"192.168.1.1", "TCP", 59590, "192.168.1.20", 59590};
    const auto held = [](Lookup outcome, std::string client) {
        return RouterMappingLookup{outcome, std::move(client), 59590, "Kestrio", "192.168.1.20"};
    };
    struct Case {
        const char* name;
        RouterMappingLookup lookup;
        bool removed;
        bool recordKept;
    };
    const Case cases[] = {
        {"still ours", held(Lookup::found, "192.168.1.20"), true, false},
        {"another computer's now", held(Lookup::found, "192.168.1.33"), false, false},
        {"gone already", held(Lookup::absent, ""), false, false},
        {"another router", held(Lookup::otherGateway, ""), false, true},
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
             "gateway=192.168.1.1 protocol=ICMP externalPort=59590 internalAddress=192.168.1.20 internalPort=59591",
             "gateway=192.168.1.1 protocol=TCP externalPort=70000 internalAddress=192.168.1.20 internalPort=59591",
             "gateway=192.168.1.1 protocol=TCP externalPort=59590 internalAddress=192.168.1.20 internalPort=59591 x=1",
         })
        EXPECT_EQ(parseRecordText(malformed), std::nullopt) << malformed;
}

TEST_F(NATPortMapperTest, TheLeaseIsRenewedAndOnlyChangesAreReported)
{
    router->standing = ScriptedRouter::mapped(59590, 120s);
    mapper->start(59590);
    queue->runUntilIdle();
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
    mapper->start(59590);
    queue->runUntilIdle();
    mapper->start(59591);
    queue->runUntilIdle();
    EXPECT_EQ(router->calls, (std::vector<std::string>{"address", "map 59590 3600", "unmap 59590", "address", "map 59591 3600"}));
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
    makeMapper({});
    router->duringMap = [this] { mapper->shutdown(); };
    mapper->start(59590);
    queue->runUntilIdle();
    EXPECT_TRUE(updates.empty());
    EXPECT_EQ(router->calls.back(), "unmap 59590");
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
