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
    void unmap(std::uint16_t port) override { calls.push_back("unmap " + std::to_string(port)); }

    RouterMappingResult standing = mapped("203.0.113.7", 59590);
    std::deque<RouterMappingResult> answers;
    std::function<void()> duringMap;
    std::vector<std::string> calls;

    static RouterMappingResult mapped(std::string address, std::uint16_t port, std::chrono::seconds lifetime = 3600s)
    {
        return {RouterMappingResult::Outcome::mapped, std::move(address), port, lifetime, {}};
    }
    static RouterMappingResult refused(RouterMappingResult::Outcome outcome) { return {outcome, {}, 0, 0s, "scripted"}; }
};

class NATPortMapperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        mapper = NATPortMapper::create({queue, clock, router});
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
};

TEST_F(NATPortMapperTest, EachRouterAnswerBecomesItsUpdate)
{
    struct Case {
        RouterMappingResult answer;
        NATPortMappingUpdate expected;
    };
    const Case cases[] = {
        {ScriptedRouter::mapped("203.0.113.7", 59590), {Ready{"203.0.113.7", 59590}}},
        {ScriptedRouter::mapped("203.0.113.7", 61000), {Ready{"203.0.113.7", 61000}}},  // another port granted
        {ScriptedRouter::mapped("0.0.0.0", 59590), {Ready{"0.0.0.0", 59590}}},
        {ScriptedRouter::mapped("203.0.113.7", 0), {Unavailable{"공유기가 외부 포트를 열지 못했습니다"}}},
        {ScriptedRouter::mapped("", 59590), {Unavailable{"공유기가 외부 포트를 열지 못했습니다"}}},
        {ScriptedRouter::mapped("192.168.1.20", 59590), {Unavailable{"이중 NAT 또는 CGNAT 환경입니다"}}},
        {ScriptedRouter::mapped("10.0.0.2", 59590), {Unavailable{"이중 NAT 또는 CGNAT 환경입니다"}}},
        {ScriptedRouter::mapped("172.31.255.1", 59590), {Unavailable{"이중 NAT 또는 CGNAT 환경입니다"}}},
        {ScriptedRouter::mapped("100.127.0.1", 59590), {Unavailable{"이중 NAT 또는 CGNAT 환경입니다"}}},
        {ScriptedRouter::mapped("172.32.0.1", 59590), {Ready{"172.32.0.1", 59590}}},
        {ScriptedRouter::mapped("100.128.0.1", 59590), {Ready{"100.128.0.1", 59590}}},
        {ScriptedRouter::refused(RouterMappingResult::Outcome::disabled), {Unavailable{"공유기의 자동 포트 개방이 꺼져 있습니다"}}},
        {ScriptedRouter::refused(RouterMappingResult::Outcome::unsupported), {Unavailable{"공유기가 자동 포트 개방을 지원하지 않습니다"}}},
        {ScriptedRouter::refused(RouterMappingResult::Outcome::failed), {Unavailable{"자동 원격 연결을 열 수 없습니다 · 오류 (error)"}}},
    };
    for (const auto& c : cases) {
        SetUp();
        updates.clear();
        router->standing = c.answer;
        mapper->start(59590);
        queue->runUntilIdle();
        ASSERT_EQ(updates.size(), 1u);
        EXPECT_EQ(updates[0], c.expected) << c.answer.externalAddress << ":" << c.answer.externalPort;
        const auto* ready = std::get_if<Ready>(&c.expected.value);
        EXPECT_EQ(mapper->mappedPort(), ready ? std::optional<std::uint16_t>(ready->port) : std::nullopt);
    }
}

TEST_F(NATPortMapperTest, TheLeaseIsRenewedAndOnlyChangesAreReported)
{
    router->standing = ScriptedRouter::mapped("203.0.113.7", 59590, 120s);
    mapper->start(59590);
    queue->runUntilIdle();
    EXPECT_EQ(router->calls, std::vector<std::string>{"map 59590 3600"});

    // Half the granted lease.
    advance(59s);
    EXPECT_EQ(router->calls.size(), 1u);
    advance(1s);
    EXPECT_EQ(router->calls.size(), 2u);
    EXPECT_EQ(updates.size(), 1u) << "a renewal that changes nothing is not news";

    // A long lease is still checked every five minutes; a new address is reported.
    router->standing = ScriptedRouter::mapped("198.51.100.4", 59590, 7200s);
    advance(60s);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1], (NATPortMappingUpdate{Ready{"198.51.100.4", 59590}}));
    advance(299s);
    EXPECT_EQ(router->calls.size(), 3u);
    advance(1s);
    EXPECT_EQ(router->calls.size(), 4u);

    // The router stops forwarding, then comes back.
    router->standing = ScriptedRouter::refused(RouterMappingResult::Outcome::unsupported);
    advance(300s);
    EXPECT_EQ(updates.back(), (NATPortMappingUpdate{Unavailable{"공유기가 자동 포트 개방을 지원하지 않습니다"}}));
    EXPECT_EQ(mapper->mappedPort(), std::nullopt);
    router->standing = ScriptedRouter::mapped("198.51.100.4", 59590);
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
    EXPECT_EQ(router->calls, (std::vector<std::string>{"map 59590 3600", "unmap 59590", "map 59591 3600"}));
    EXPECT_EQ(updates.size(), 2u) << "the new mapping is reported even when it looks the same";
    advance(300s);
    EXPECT_EQ(router->calls.back(), "map 59591 3600") << "the first mapping's timer is void";
    EXPECT_EQ(router->calls.size(), 4u);
}

TEST_F(NATPortMapperTest, ShutdownWithdrawsTheMappingAndSilencesTheMapper)
{
    mapper->start(59590);
    queue->runUntilIdle();
    mapper->shutdown();
    mapper.reset();
    queue->runUntilIdle();
    EXPECT_EQ(router->calls, (std::vector<std::string>{"map 59590 3600", "unmap 59590"}));
    advance(3600s);
    EXPECT_EQ(router->calls.size(), 2u);
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
