// The port mapper on a real router (miniupnpd in network namespaces) or a scripted IGD, on
// virtual time: a router behind another NAT gets no mapping, a lease without expiry is recorded
// until withdrawn, and one an earlier run left open is withdrawn only when it is still this host's.
#include "platform/router/natpmp_upnp_port_mapping.h"
#include "remote/nat_port_mapper.h"
#include "router/router_lab_support.h"
#include "router/scripted_igd_support.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <optional>
#include <string>
#include <vector>

namespace kestrio::platform {
namespace {

using namespace std::chrono_literals;
using remote::NATPortMapper;
using remote::NATPortMappingUpdate;
using remote::PermanentMappingRecord;
using testing::NetworkNamespaceScope;
using testing::RouterLab;
using testing::ScriptedIgd;
using Unavailable = NATPortMappingUpdate::Unavailable;

class MapperOnARouterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = testing::routerLabUnavailable())
            GTEST_SKIP() << *reason;
    }

    // A mapper on the router of the namespace the calling thread is in; its queue runs on this thread.
    void makeMapper(std::optional<PermanentMappingRecord> left = std::nullopt)
    {
        remote::PermanentMappingMemory memory{left, [this](const PermanentMappingRecord& record) { stored = record; },
                                              [this] { stored.reset(); }};
        stored = left;
        router = std::make_shared<NatPmpUpnpPortMapping>(NatPmpUpnpPortMapping::Options{.natPmpDeadline = 500ms, .upnpDiscovery = 1s});
        mapper = NATPortMapper::create({queue, clock, router, std::move(memory)});
        mapper->setOnUpdate([this](const NATPortMappingUpdate& update) { updates.push_back(update); });
    }

    void advance(std::chrono::seconds by)
    {
        clock->advance(by);
        queue->runUntilIdle();
    }

    static bool forwards(const RouterLab& lab, std::uint16_t port)
    {
        return lab.redirectRules().find("dport " + std::to_string(port)) != std::string::npos;
    }

    std::shared_ptr<runtime::ManualExecutor> queue = std::make_shared<runtime::ManualExecutor>();
    std::shared_ptr<runtime::VirtualClock> clock = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<NatPmpUpnpPortMapping> router;
    std::shared_ptr<NATPortMapper> mapper;
    std::vector<NATPortMappingUpdate> updates;
    std::optional<PermanentMappingRecord> stored;
};

TEST_F(MapperOnARouterTest, BehindAnotherNatNothingIsMapped)
{
    // miniupnpd on a private WAN address, which STUN vouches for: it would forward.
    for (bool natPmp : {true, false}) {
        SCOPED_TRACE(natPmp ? "NAT-PMP" : "UPnP");
        RouterLab lab({.natPmp = natPmp, .wanPrefix = "192.168.200", .stun = true});
        ASSERT_EQ(lab.error(), "");
        NetworkNamespaceScope host(lab.hostNamespace());
        ASSERT_TRUE(host.entered());
        updates.clear();
        makeMapper();
        mapper->start(40600);
        queue->runUntilIdle();
        advance(NATPortMapper::retryInterval);
        ASSERT_EQ(updates.size(), 1u);
        EXPECT_EQ(updates[0], (NATPortMappingUpdate{Unavailable{"이중 NAT 또는 CGNAT 환경입니다"}}));
        EXPECT_FALSE(forwards(lab, 40600)) << lab.redirectRules();
        EXPECT_EQ(lab.leases(), "");
        EXPECT_EQ(lab.daemonLog().find("AddPortMapping"), std::string::npos) << lab.daemonLog();
        mapper->shutdown();
        queue->runUntilIdle();
    }
}

TEST_F(MapperOnARouterTest, APermanentOnlyRouterGetsARecordedLeaseWithdrawnAtTheEnd)
{
    RouterLab lab({.natPmp = false, .upnp = false});
    ASSERT_EQ(lab.error(), "");
    ScriptedIgd igd(lab.routerNamespace(), RouterLab::routerLanAddress, {.onlyPermanentLeases = true});
    ASSERT_TRUE(igd.serving());
    NetworkNamespaceScope host(lab.hostNamespace());
    ASSERT_TRUE(host.entered());
    makeMapper();

    mapper->start(40610);
    queue->runUntilIdle();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0], (NATPortMappingUpdate{NATPortMappingUpdate::Ready{"198.18.0.1", 40610}}));
    const PermanentMappingRecord record{RouterLab::routerLanAddress, "TCP", 40610, RouterLab::hostAddress, 40610};
    EXPECT_EQ(stored, record);
    auto actions = igd.actions();
    EXPECT_NE(std::find(actions.begin(), actions.end(), "AddPortMapping 40610 3600"), actions.end());
    EXPECT_EQ(actions.back(), "GetSpecificPortMappingEntry 40610");

    mapper->shutdown();
    queue->runUntilIdle();
    EXPECT_EQ(igd.actions().back(), "DeletePortMapping 40610");
    EXPECT_TRUE(igd.mappings().empty());
    EXPECT_EQ(stored, std::nullopt);
}

TEST_F(MapperOnARouterTest, AnExternalAddressThatIsNoAddressMapsNothing)
{
    RouterLab lab({.natPmp = false, .upnp = false});
    ASSERT_EQ(lab.error(), "");
    ScriptedIgd igd(lab.routerNamespace(), RouterLab::routerLanAddress, {.externalAddress = "gateway.example"});
    ASSERT_TRUE(igd.serving());
    NetworkNamespaceScope host(lab.hostNamespace());
    ASSERT_TRUE(host.entered());
    makeMapper();

    mapper->start(40620);
    queue->runUntilIdle();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0], (NATPortMappingUpdate{Unavailable{"공유기가 외부 포트를 열지 못했습니다"}}));
    for (const auto& action : igd.actions())
        EXPECT_EQ(action.find("AddPortMapping"), std::string::npos);
}

TEST_F(MapperOnARouterTest, ALeaseLeftOpenIsWithdrawnOnlyWhenItIsStillThisHosts)
{
    RouterLab lab({.natPmp = false});
    ASSERT_EQ(lab.error(), "");
    NetworkNamespaceScope host(lab.hostNamespace());
    ASSERT_TRUE(host.entered());
    struct Case {
        const char* name;
        bool leftOpen;                 // a permanent mapping of this host's is on the router
        PermanentMappingRecord record;  // what the settings say of it
        bool withdrawn;
        bool recordKept;
    };
    const std::string gateway = RouterLab::routerLanAddress, self = RouterLab::hostAddress;
    const Case cases[] = {
        {"still this host's", true, {gateway, "TCP", 40700, self, 40700}, true, false},
        {"forwarded to another port", true, {gateway, "TCP", 40701, self, 40711}, false, false},
        {"forwarded to another computer", true, {gateway, "TCP", 40702, "192.168.77.9", 40702}, false, false},
        {"gone already", false, {gateway, "TCP", 40703, self, 40703}, false, false},
        {"on another router", true, {"192.168.99.1", "TCP", 40704, self, 40704}, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto port = c.record.externalPort;
        if (c.leftOpen) {
            // A run that ended without withdrawing its mapping. (miniupnpd grants a week for "until
            // removed", which is as good as permanent here.)
            auto made = NatPmpUpnpPortMapping({.natPmpDeadline = 500ms, .upnpDiscovery = 1s}).map(port, 0s);
            ASSERT_EQ(made.outcome, remote::RouterMappingResult::Outcome::mapped) << made.detail << lab.daemonLog();
            ASSERT_TRUE(forwards(lab, port));
        }
        makeMapper(c.record);
        mapper->start(40799);
        queue->runUntilIdle();
        EXPECT_EQ(forwards(lab, port), c.leftOpen && !c.withdrawn) << lab.redirectRules();
        EXPECT_EQ(stored, c.recordKept ? std::optional(c.record) : std::nullopt);
        EXPECT_TRUE(forwards(lab, 40799)) << "this run's own mapping";
        mapper->shutdown();
        queue->runUntilIdle();
    }
}

}  // namespace
}  // namespace kestrio::platform
