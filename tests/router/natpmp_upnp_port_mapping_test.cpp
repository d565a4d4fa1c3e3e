#include "platform/router/natpmp_upnp_port_mapping.h"
#include "router/router_lab_support.h"
#include "router/scripted_nat_pmp_gateway_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace kestrio::platform {
namespace {

using namespace std::chrono_literals;
using remote::RouterMappingResult;
using Outcome = RouterMappingResult::Outcome;
using testing::NetworkNamespaceScope;
using testing::RouterLab;
using testing::ScriptedNatPmpGateway;

constexpr std::uint32_t oneWeek = 7 * 24 * 3600;

// --- A scripted NAT-PMP gateway: answers no real router gives on request -----------------------

class ScriptedGatewayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // An empty namespace of our own keeps the machine's network out of the test both ways:
        // no real router answers, and a fallback to UPnP sends no discovery onto the LAN.
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a network namespace of its own";
        isolation_ = std::make_unique<NetworkNamespaceScope>("");
        if (!isolation_->entered())
            GTEST_SKIP() << "cannot make a network namespace here";
    }

    static std::unique_ptr<ScriptedNatPmpGateway> startGateway(ScriptedNatPmpGateway::Script script)
    {
        auto gateway = std::make_unique<ScriptedNatPmpGateway>("127.0.0.1", std::move(script));
        return gateway->listening() ? std::move(gateway) : nullptr;
    }

    static NatPmpUpnpPortMapping::Options optionsFor(const ScriptedNatPmpGateway& gateway)
    {
        NatPmpUpnpPortMapping::Options options;
        options.gateway = gateway.address();
        options.natPmpDeadline = 1s;
        options.upnpDiscovery = 300ms;
        return options;
    }

    std::unique_ptr<NetworkNamespaceScope> isolation_;
};

TEST_F(ScriptedGatewayTest, AnswersBecomeOutcomes)
{
    struct Case {
        const char* name;
        ScriptedNatPmpGateway::Script script;
        Outcome addressOutcome;
        std::string externalAddress;
        Outcome outcome;
        std::uint16_t externalPort;
    };
    const std::uint16_t port = 40100;
    auto script = [](auto change) {
        ScriptedNatPmpGateway::Script script;
        change(script);
        return script;
    };
    const Case cases[] = {
        {"granted as asked", script([](auto&) {}), Outcome::mapped, "198.18.0.1", Outcome::mapped, port},
        {"another external port", script([](auto& s) { s.grantedPort = 50123; }), Outcome::mapped, "198.18.0.1",
         Outcome::mapped, 50123},
        {"port 0", script([](auto& s) { s.grantedPort = 0; }), Outcome::mapped, "198.18.0.1", Outcome::mapped, 0},
        {"no public address", script([](auto& s) { s.publicAddress = "0.0.0.0"; }), Outcome::mapped, "", Outcome::mapped,
         port},
        {"public address refused", script([](auto& s) { s.publicAddressResult = 3; }), Outcome::mapped, "",
         Outcome::mapped, port},
        {"public address not authorised", script([](auto& s) { s.publicAddressResult = 2; }), Outcome::disabled, "",
         Outcome::mapped, port},
        {"private public address", script([](auto& s) { s.publicAddress = "192.168.1.1"; }), Outcome::mapped,
         "192.168.1.1", Outcome::mapped, port},
        {"2 not authorised", script([](auto& s) { s.mappingResult = 2; }), Outcome::mapped, "198.18.0.1",
         Outcome::disabled, 0},
        {"3 network failure", script([](auto& s) { s.mappingResult = 3; }), Outcome::mapped, "198.18.0.1",
         Outcome::failed, 0},
        {"4 out of resources", script([](auto& s) { s.mappingResult = 4; }), Outcome::mapped, "198.18.0.1",
         Outcome::failed, 0},
        {"5 unsupported opcode", script([](auto& s) { s.mappingResult = 5; }), Outcome::mapped, "198.18.0.1",
         Outcome::failed, 0},
        {"a late public-address answer first", script([](auto& s) { s.lateAddressAnswerFirst = true; }),
         Outcome::mapped, "198.18.0.1", Outcome::mapped, port},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto gateway = startGateway(c.script);
        ASSERT_TRUE(gateway);
        NatPmpUpnpPortMapping mapping(optionsFor(*gateway));
        auto address = mapping.externalAddress();
        EXPECT_EQ(address.outcome, c.addressOutcome) << address.detail;
        EXPECT_EQ(address.address, c.externalAddress);
        auto result = mapping.map(port, 3600s);
        EXPECT_EQ(result.outcome, c.outcome) << result.detail;
        if (c.outcome == Outcome::mapped) {
            EXPECT_EQ(result.externalPort, c.externalPort);
            EXPECT_EQ(result.lifetime, 3600s);
        } else {
            EXPECT_FALSE(result.detail.empty());
        }
    }
}

TEST_F(ScriptedGatewayTest, RenewalAndUnmapStayWithNatPmp)
{
    auto gateway = startGateway({.grantedPort = 50123});
    ASSERT_TRUE(gateway);
    NatPmpUpnpPortMapping mapping(optionsFor(*gateway));

    mapping.unmap(40101);  // never mapped: nothing to withdraw
    EXPECT_TRUE(gateway->requests().empty());

    EXPECT_EQ(mapping.map(40101, 0s).outcome, Outcome::mapped);
    auto renewed = mapping.map(40101, 600s);
    EXPECT_EQ(renewed.outcome, Outcome::mapped);
    EXPECT_EQ(renewed.externalPort, 50123);
    mapping.unmap(40101);

    auto requests = gateway->requests();
    std::vector<ScriptedNatPmpGateway::Request> mappings;
    for (const auto& request : requests) {
        if (request.opcode != 0)
            mappings.push_back(request);
    }
    ASSERT_EQ(mappings.size(), 3u);
    for (const auto& request : mappings) {
        EXPECT_EQ(request.opcode, 2);  // TCP
        EXPECT_EQ(request.internalPort, 40101);
    }
    // "Until removed" must not become lifetime 0, which would delete the mapping, nor a lifetime
    // so long that it wraps around the gateway's clock (miniupnpd keeps the expiry as its clock
    // plus the lifetime in 32 bits: the longest lifetimes wrap into the past and the mapping goes
    // at once).
    EXPECT_EQ(mappings[0].lifetime, oneWeek);
    EXPECT_EQ(mappings[0].externalPort, 40101);
    EXPECT_EQ(mappings[1].lifetime, 600u);
    EXPECT_EQ(mappings[2].lifetime, 0u);
    EXPECT_EQ(mappings[2].externalPort, 0);
}

TEST_F(ScriptedGatewayTest, SilentGatewayIsGivenUpOnAtTheDeadline)
{
    auto gateway = startGateway({.silent = true});
    ASSERT_TRUE(gateway);
    auto options = optionsFor(*gateway);
    options.natPmpDeadline = 600ms;

    auto started = std::chrono::steady_clock::now();
    auto result = NatPmpUpnpPortMapping(options).map(40102, 3600s);
    auto took = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(result.outcome, Outcome::unsupported) << result.detail;
    // libnatpmp did retry within the deadline (its first retry comes after 250 ms)...
    EXPECT_GE(gateway->requests().size(), 2u);
    // ...and was not left to its own two-minute schedule. Discovery waits at least 1 s.
    EXPECT_LT(took, options.natPmpDeadline + 1s + 1s);
}

TEST_F(ScriptedGatewayTest, GatewaySilentToMappingsFailsWithinTheDeadline)
{
    auto gateway = startGateway({.silentToMappings = true});
    ASSERT_TRUE(gateway);
    auto options = optionsFor(*gateway);
    options.natPmpDeadline = 600ms;

    auto started = std::chrono::steady_clock::now();
    auto result = NatPmpUpnpPortMapping(options).map(40103, 3600s);
    auto took = std::chrono::steady_clock::now() - started;

    // It answered, so it speaks NAT-PMP: no UPnP after it, and one deadline for the whole attempt.
    EXPECT_EQ(result.outcome, Outcome::failed) << result.detail;
    EXPECT_LT(took, options.natPmpDeadline + 300ms);
}

// --- A real router: miniupnpd in network namespaces --------------------------------------------

class RouterLabTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = testing::routerLabUnavailable())
            GTEST_SKIP() << *reason;
    }

    static bool reachableFromIsp(const RouterLab& lab, std::uint16_t port, int listener)
    {
        NetworkNamespaceScope isp(lab.ispNamespace());
        if (!isp.entered())
            return false;
        return testing::connectTcp(lab.routerExternalAddress(), port, 2s) && testing::acceptsConnection(listener, 2s);
    }

    static bool refusedFromIsp(const RouterLab& lab, std::uint16_t port)
    {
        NetworkNamespaceScope isp(lab.ispNamespace());
        return isp.entered() && !testing::connectTcp(lab.routerExternalAddress(), port, 2s);
    }

    // Maps, checks forwarding end to end, renews, unmaps and checks the forwarding is gone.
    static void checkRoundTrip(const RouterLab& lab, NatPmpUpnpPortMapping::Options options)
    {
        const std::uint16_t port = 40200;
        // The main thread moves: libnatpmp reads the default gateway from /proc/net, which
        // follows the main thread's namespace.
        NetworkNamespaceScope host(lab.hostNamespace());
        ASSERT_TRUE(host.entered());
        int listener = testing::listenTcp(RouterLab::hostAddress, port);
        ASSERT_GE(listener, 0);
        NatPmpUpnpPortMapping mapping(options);

        auto address = mapping.externalAddress();
        EXPECT_EQ(address.outcome, Outcome::mapped) << address.detail;
        EXPECT_EQ(address.address, lab.routerExternalAddress());
        auto result = mapping.map(port, 3600s);
        ASSERT_EQ(result.outcome, Outcome::mapped) << result.detail << "\n" << lab.daemonLog();
        EXPECT_EQ(result.externalPort, port);
        EXPECT_GT(result.lifetime, 3500s);
        EXPECT_LE(result.lifetime, 3600s);
        EXPECT_NE(lab.redirectRules().find("dport " + std::to_string(port)), std::string::npos) << lab.redirectRules();
        EXPECT_TRUE(reachableFromIsp(lab, port, listener));

        auto renewed = mapping.map(port, 3600s);
        EXPECT_EQ(renewed.outcome, Outcome::mapped) << renewed.detail;
        EXPECT_EQ(renewed.externalPort, port);
        EXPECT_TRUE(reachableFromIsp(lab, port, listener));

        mapping.unmap(port);
        EXPECT_EQ(lab.redirectRules().find("dport " + std::to_string(port)), std::string::npos) << lab.redirectRules();
        EXPECT_TRUE(refusedFromIsp(lab, port));
        close(listener);
    }
};

TEST_F(RouterLabTest, NatPmpMapsForwardsRenewsAndUnmaps)
{
    RouterLab lab({});
    ASSERT_EQ(lab.error(), "");
    checkRoundTrip(lab, {});  // the gateway found from the default route
    EXPECT_EQ(lab.daemonLog().find("AddPortMapping"), std::string::npos) << "went through UPnP";
}

TEST_F(RouterLabTest, UpnpTakesOverAfterTheNatPmpDeadline)
{
    RouterLab lab({.natPmp = false, .silentNatPmp = true});
    ASSERT_EQ(lab.error(), "");
    checkRoundTrip(lab, {.natPmpDeadline = 500ms, .upnpDiscovery = 1s});
}

TEST_F(RouterLabTest, IgdThatStopsAnsweringIsGivenUpOn)
{
    RouterLab lab({.natPmp = false});
    ASSERT_EQ(lab.error(), "");
    NetworkNamespaceScope host(lab.hostNamespace());
    ASSERT_TRUE(host.entered());
    NatPmpUpnpPortMapping mapping({.natPmpDeadline = 500ms, .upnpDiscovery = 1s});
    auto first = mapping.map(40220, 3600s);
    ASSERT_EQ(first.outcome, Outcome::mapped) << first.detail << "\n" << lab.daemonLog();

    // The renewal goes to the IGD it knows, whose connection is accepted and never answered;
    // miniupnpc gives up after 5 s, a new discovery finds nothing, NAT-PMP is refused.
    lab.freezeDaemon();
    auto started = std::chrono::steady_clock::now();
    auto result = mapping.map(40220, 3600s);
    auto took = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(result.outcome, Outcome::unsupported) << result.detail;
    EXPECT_LT(took, 5s + 1s + 1s);
}

TEST_F(RouterLabTest, RouterWithoutPortMappingIsUnsupportedWithinTheDeadlines)
{
    // NAT-PMP requests dropped, or refused with ICMP port unreachable.
    for (bool silent : {true, false}) {
        SCOPED_TRACE(silent ? "dropped" : "refused");
        RouterLab lab({.natPmp = false, .upnp = false, .silentNatPmp = silent});
        ASSERT_EQ(lab.error(), "");
        NetworkNamespaceScope host(lab.hostNamespace());
        ASSERT_TRUE(host.entered());
        NatPmpUpnpPortMapping::Options options{.natPmpDeadline = 500ms, .upnpDiscovery = 1s};

        auto started = std::chrono::steady_clock::now();
        auto result = NatPmpUpnpPortMapping(options).map(40300, 3600s);
        auto took = std::chrono::steady_clock::now() - started;

        EXPECT_EQ(result.outcome, Outcome::unsupported) << result.detail;
        EXPECT_LT(took, options.natPmpDeadline + options.upnpDiscovery + 500ms);
    }
}

TEST_F(RouterLabTest, RouterDenyingThePortIsDisabled)
{
    for (bool natPmp : {true, false}) {
        SCOPED_TRACE(natPmp ? "NAT-PMP" : "UPnP");
        RouterLab lab({.natPmp = natPmp, .permissions = ""});
        ASSERT_EQ(lab.error(), "");
        NetworkNamespaceScope host(lab.hostNamespace());
        ASSERT_TRUE(host.entered());
        // miniupnpd tries every external port against its rules before it refuses a NAT-PMP
        // request, logging each: that takes it one to two seconds.
        auto result = NatPmpUpnpPortMapping({.natPmpDeadline = 5s, .upnpDiscovery = 1s}).map(40400, 3600s);
        EXPECT_EQ(result.outcome, Outcome::disabled) << result.detail << "\n" << lab.daemonLog();
        EXPECT_FALSE(result.detail.empty());
        EXPECT_EQ(lab.redirectRules().find("dport 40400"), std::string::npos);
    }
}

TEST_F(RouterLabTest, AnotherExternalPortIsReportedAndForwarded)
{
    // The port asked for is taken by the rules; NAT-PMP lets the router offer the next one.
    RouterLab lab({.upnp = false,
                   .permissions = "deny 40450 0.0.0.0/0 0-65535\nallow 1024-65535 192.168.77.0/24 1024-65535"});
    ASSERT_EQ(lab.error(), "");
    NetworkNamespaceScope host(lab.hostNamespace());
    ASSERT_TRUE(host.entered());
    int listener = testing::listenTcp(RouterLab::hostAddress, 40450);
    ASSERT_GE(listener, 0);
    NatPmpUpnpPortMapping mapping;

    auto result = mapping.map(40450, 3600s);
    ASSERT_EQ(result.outcome, Outcome::mapped) << result.detail << "\n" << lab.daemonLog();
    EXPECT_EQ(result.externalPort, 40451);
    EXPECT_TRUE(reachableFromIsp(lab, 40451, listener));

    mapping.unmap(40450);
    EXPECT_EQ(lab.redirectRules().find("dport 40451"), std::string::npos) << lab.redirectRules();
    EXPECT_TRUE(refusedFromIsp(lab, 40451));
    close(listener);
}

TEST_F(RouterLabTest, RouterWithPrivateWanAddressReportsIt)
{
    // miniupnpd refuses to forward when its WAN address is private, unless STUN shows that
    // outside traffic reaches it unfiltered; it then reports the address STUN saw.
    for (bool natPmp : {true, false}) {
        SCOPED_TRACE(natPmp ? "NAT-PMP" : "UPnP");
        RouterLab lab({.natPmp = natPmp, .wanPrefix = "192.168.200", .stun = true});
        ASSERT_EQ(lab.error(), "");
        NetworkNamespaceScope host(lab.hostNamespace());
        ASSERT_TRUE(host.entered());
        int listener = testing::listenTcp(RouterLab::hostAddress, 40500);
        ASSERT_GE(listener, 0);
        NatPmpUpnpPortMapping mapping({.natPmpDeadline = 500ms, .upnpDiscovery = 1s});

        EXPECT_EQ(mapping.externalAddress().address, "192.168.200.1");
        auto result = mapping.map(40500, 3600s);
        EXPECT_EQ(result.outcome, Outcome::mapped) << result.detail << "\n" << lab.daemonLog();
        EXPECT_EQ(result.externalPort, 40500);
        EXPECT_TRUE(reachableFromIsp(lab, 40500, listener));
        mapping.unmap(40500);
        close(listener);
    }
}

TEST_F(RouterLabTest, RouterWithPrivateWanAddressAndNoStunFails)
{
    // Without STUN miniupnpd will not forward from a private WAN address: NAT-PMP answers result 3
    // (network failure) for the address and the mapping, UPnP gives 0.0.0.0 as the address and
    // 501 (action failed) for the mapping. Both read as a router without an address. Neither is the user having turned forwarding off.
    for (bool natPmp : {true, false}) {
        SCOPED_TRACE(natPmp ? "NAT-PMP" : "UPnP");
        RouterLab lab({.natPmp = natPmp, .wanPrefix = "192.168.200"});
        ASSERT_EQ(lab.error(), "");
        NetworkNamespaceScope host(lab.hostNamespace());
        ASSERT_TRUE(host.entered());
        NatPmpUpnpPortMapping mapping({.natPmpDeadline = 500ms, .upnpDiscovery = 1s});
        auto address = mapping.externalAddress();
        EXPECT_EQ(address.outcome, Outcome::mapped) << address.detail;
        EXPECT_EQ(address.address, "");
        auto result = mapping.map(40510, 3600s);
        EXPECT_EQ(result.outcome, Outcome::failed) << result.detail << "\n" << lab.daemonLog();
        EXPECT_FALSE(result.detail.empty());
    }
}

}  // namespace
}  // namespace kestrio::platform
