#include "platform/router/natpmp_upnp_port_mapping.h"
#include "router/router_lab_support.h"
#include "router/scripted_gateways_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace kestrio::platform {
namespace {

using namespace std::chrono_literals;
using remote::PermanentMappingRecord;
using remote::RouterMappingLookup;
using Outcome = remote::RouterMappingResult::Outcome;
using testing::NetworkNamespaceScope;
using testing::RouterLab;
using testing::ScriptedIgd;
using testing::ScriptedNatPmpGateway;
using Clock = std::chrono::steady_clock;

// --- Scripted gateways: answers no real router gives on request -------------------------------

class ScriptedNatPmpTest : public ::testing::Test {
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

    static NatPmpUpnpPortMapping::Options optionsFor(const ScriptedNatPmpGateway& gateway)
    {
        return {.gateway = gateway.address(), .natPmpDeadline = 600ms, .upnpDiscovery = 300ms};
    }

    std::unique_ptr<NetworkNamespaceScope> isolation_;
};

TEST_F(ScriptedNatPmpTest, AnswersBecomeOutcomesWithinTheDeadline)
{
    using Script = ScriptedNatPmpGateway::Script;
    struct Case {
        const char* name;
        Script script;
        Outcome addressOutcome;
        std::string externalAddress;
        Outcome outcome;
        std::uint16_t externalPort;
    };
    const std::uint16_t port = 40100;
    const std::string given = "198.18.0.1";
    const Case cases[] = {
        {"granted as asked", {}, Outcome::mapped, given, Outcome::mapped, port},
        {"another external port", {.grantedPort = 50123}, Outcome::mapped, given, Outcome::mapped, 50123},
        {"port 0", {.grantedPort = 0}, Outcome::mapped, given, Outcome::mapped, 0},
        {"no public address", {.publicAddress = "0.0.0.0"}, Outcome::mapped, "", Outcome::mapped, port},
        {"public address refused", {.publicAddressResult = 3}, Outcome::mapped, "", Outcome::mapped, port},
        {"public address not authorised", {.publicAddressResult = 2}, Outcome::disabled, "", Outcome::mapped, port},
        {"private public address", {.publicAddress = "192.168.1.1"}, Outcome::mapped, "192.168.1.1", Outcome::mapped, port},
        {"2 not authorised", {.mappingResult = 2}, Outcome::mapped, given, Outcome::disabled, 0},
        {"3 network failure", {.mappingResult = 3}, Outcome::mapped, given, Outcome::failed, 0},
        {"4 out of resources", {.mappingResult = 4}, Outcome::mapped, given, Outcome::failed, 0},
        {"5 unsupported opcode", {.mappingResult = 5}, Outcome::mapped, given, Outcome::failed, 0},
        {"a late public-address answer first", {.lateAddressAnswerFirst = true}, Outcome::mapped, given, Outcome::mapped, port},
        // It answered, so it speaks NAT-PMP: no UPnP after it, one deadline for the whole attempt.
        {"silent to mappings", {.silentToMappings = true}, Outcome::mapped, given, Outcome::failed, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedNatPmpGateway gateway("127.0.0.1", c.script);
        ASSERT_TRUE(gateway.listening());
        NatPmpUpnpPortMapping mapping(optionsFor(gateway));
        auto address = mapping.externalAddress();
        EXPECT_EQ(address.outcome, c.addressOutcome) << address.detail;
        EXPECT_EQ(address.address, c.externalAddress);
        const auto started = Clock::now();
        auto result = mapping.map(port, 3600s);
        EXPECT_LT(Clock::now() - started, 600ms + 300ms);
        EXPECT_EQ(result.outcome, c.outcome) << result.detail;
        if (c.outcome == Outcome::mapped) {
            EXPECT_EQ(result.externalPort, c.externalPort);
            EXPECT_EQ(result.lifetime, 3600s);
        } else {
            EXPECT_FALSE(result.detail.empty());
        }
    }
}

TEST_F(ScriptedNatPmpTest, RenewalAndUnmapStayWithNatPmp)
{
    ScriptedNatPmpGateway gateway("127.0.0.1", {.grantedPort = 50123});
    ASSERT_TRUE(gateway.listening());
    NatPmpUpnpPortMapping mapping(optionsFor(gateway));
    mapping.unmap(40101);  // never mapped: nothing to withdraw
    EXPECT_TRUE(gateway.requests().empty());

    EXPECT_EQ(mapping.map(40101, 0s).outcome, Outcome::mapped);
    auto renewed = mapping.map(40101, 600s);
    EXPECT_EQ(renewed.outcome, Outcome::mapped);
    EXPECT_EQ(renewed.externalPort, 50123);
    mapping.unmap(40101);

    std::vector<ScriptedNatPmpGateway::Request> mappings;
    for (const auto& request : gateway.requests()) {
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
    // at once): a week.
    EXPECT_EQ(mappings[0].lifetime, 7u * 24 * 3600);
    EXPECT_EQ(mappings[0].externalPort, 40101);
    EXPECT_EQ(mappings[1].lifetime, 600u);
    EXPECT_EQ(mappings[2].lifetime, 0u);
    EXPECT_EQ(mappings[2].externalPort, 0);
}

TEST_F(ScriptedNatPmpTest, SilentGatewayIsGivenUpOnAtTheDeadline)
{
    ScriptedNatPmpGateway gateway("127.0.0.1", {.silent = true});
    ASSERT_TRUE(gateway.listening());
    const auto started = Clock::now();
    auto result = NatPmpUpnpPortMapping(optionsFor(gateway)).map(40102, 3600s);
    EXPECT_EQ(result.outcome, Outcome::unsupported) << result.detail;
    // libnatpmp did retry within the deadline (its first retry comes after 250 ms), and was not
    // left to its own two-minute schedule. Discovery waits at least 1 s.
    EXPECT_GE(gateway.requests().size(), 2u);
    EXPECT_LT(Clock::now() - started, 600ms + 1s + 1s);
}

// --- A real router, miniupnpd in network namespaces, or a scripted IGD on its LAN -------------

class RouterLabTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = testing::routerLabUnavailable())
            GTEST_SKIP() << *reason;
    }

    // The network (and miniupnpd when a protocol is on), with the calling thread on the host.
    // The main thread moves: libnatpmp reads the default gateway from /proc/net, which follows
    // the main thread's namespace.
    void enter(RouterLab::Options options)
    {
        host.reset();
        lab = std::make_unique<RouterLab>(std::move(options));
        ASSERT_EQ(lab->error(), "");
        host = std::make_unique<NetworkNamespaceScope>(lab->hostNamespace());
        ASSERT_TRUE(host->entered());
    }

    bool forwards(std::uint16_t port) const
    {
        return lab->redirectRules().find("dport " + std::to_string(port)) != std::string::npos;
    }

    bool reachableFromIsp(std::uint16_t port, int listener) const
    {
        NetworkNamespaceScope isp(lab->ispNamespace());
        return isp.entered() && testing::connectTcp(RouterLab::routerExternalAddress, port, 2s)
               && (listener < 0 || testing::acceptsConnection(listener, 2s));
    }

    // Maps, checks forwarding end to end, renews, unmaps and checks the forwarding is gone.
    void checkRoundTrip(NatPmpUpnpPortMapping::Options options)
    {
        const std::uint16_t port = 40200;
        int listener = testing::listenTcp(RouterLab::hostAddress, port);
        ASSERT_GE(listener, 0);
        NatPmpUpnpPortMapping mapping(options);
        auto address = mapping.externalAddress();
        EXPECT_EQ(address.outcome, Outcome::mapped) << address.detail;
        EXPECT_EQ(address.address, RouterLab::routerExternalAddress);
        for (int renewal = 0; renewal < 2; ++renewal) {
            auto result = mapping.map(port, 3600s);
            ASSERT_EQ(result.outcome, Outcome::mapped) << result.detail << "\n" << lab->daemonLog();
            EXPECT_EQ(result.externalPort, port);
            EXPECT_GT(result.lifetime, 3500s);
            EXPECT_LE(result.lifetime, 3600s);
            EXPECT_TRUE(forwards(port)) << lab->redirectRules();
            EXPECT_TRUE(reachableFromIsp(port, listener));
        }
        mapping.unmap(port);
        EXPECT_FALSE(forwards(port)) << lab->redirectRules();
        EXPECT_FALSE(reachableFromIsp(port, -1));
        close(listener);
    }

    std::unique_ptr<RouterLab> lab;
    std::unique_ptr<NetworkNamespaceScope> host;
};

TEST_F(RouterLabTest, NatPmpMapsForwardsRenewsAndUnmaps)
{
    ASSERT_NO_FATAL_FAILURE(enter({}));
    checkRoundTrip({});  // the gateway found from the default route
    EXPECT_EQ(lab->daemonLog().find("AddPortMapping"), std::string::npos) << "went through UPnP";
}

TEST_F(RouterLabTest, UpnpTakesOverAfterTheNatPmpDeadlineAndLooksUpAndRemovesLeftMappings)
{
    ASSERT_NO_FATAL_FAILURE(enter({.natPmp = false, .silentNatPmp = true}));
    checkRoundTrip({.natPmpDeadline = 500ms, .upnpDiscovery = 1s});

    // A permanent mapping an earlier run left open ("until removed": miniupnpd grants a week).
    NatPmpUpnpPortMapping left({.natPmpDeadline = 500ms, .upnpDiscovery = 1s});
    ASSERT_EQ(left.map(40210, 0s).outcome, Outcome::mapped);
    const PermanentMappingRecord record{RouterLab::routerLanAddress, "TCP", 40210, RouterLab::hostAddress, 40210};
    NatPmpUpnpPortMapping mapping({.natPmpDeadline = 500ms, .upnpDiscovery = 1s});
    auto found = mapping.lookup(record);
    EXPECT_EQ(found.outcome, RouterMappingLookup::Outcome::found);
    EXPECT_EQ(found.internalAddress, RouterLab::hostAddress);
    EXPECT_EQ(found.internalPort, 40210);
    EXPECT_EQ(found.description, "Kestrio");
    EXPECT_EQ(found.hostAddress, RouterLab::hostAddress);
    auto elsewhere = record;
    elsewhere.gateway = "192.168.99.1";
    EXPECT_EQ(mapping.lookup(elsewhere).outcome, RouterMappingLookup::Outcome::otherGateway);
    EXPECT_TRUE(mapping.remove(record));
    EXPECT_FALSE(forwards(40210)) << lab->redirectRules();
    EXPECT_EQ(mapping.lookup(record).outcome, RouterMappingLookup::Outcome::absent);
}

TEST_F(RouterLabTest, IgdThatStopsAnsweringIsGivenUpOn)
{
    ASSERT_NO_FATAL_FAILURE(enter({.natPmp = false}));
    NatPmpUpnpPortMapping mapping({.natPmpDeadline = 500ms, .upnpDiscovery = 1s});
    auto first = mapping.map(40220, 3600s);
    ASSERT_EQ(first.outcome, Outcome::mapped) << first.detail << "\n" << lab->daemonLog();
    // The renewal goes to the IGD it knows, whose connection is accepted and never answered;
    // miniupnpc gives up after 5 s, a new discovery finds nothing, NAT-PMP is refused.
    lab->freezeDaemon();
    const auto started = Clock::now();
    EXPECT_EQ(mapping.map(40220, 3600s).outcome, Outcome::unsupported);
    EXPECT_LT(Clock::now() - started, 5s + 1s + 1s);
}

TEST_F(RouterLabTest, RouterWithoutPortMappingOrDenyingThePortRefusesWithinTheDeadlines)
{
    struct Case {
        const char* name;
        RouterLab::Options lab;
        Outcome outcome;
    };
    // miniupnpd tries every external port against its rules before it refuses a NAT-PMP request,
    // logging each: that takes it one to two seconds, several on a busy machine.
    const Case cases[] = {
        {"NAT-PMP dropped, no UPnP", {.natPmp = false, .upnp = false, .silentNatPmp = true}, Outcome::unsupported},
        {"NAT-PMP refused with ICMP, no UPnP", {.natPmp = false, .upnp = false}, Outcome::unsupported},
        {"NAT-PMP denying the port", {.permissions = ""}, Outcome::disabled},
        {"UPnP denying the port", {.natPmp = false, .permissions = ""}, Outcome::disabled},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(enter(c.lab));
        NatPmpUpnpPortMapping::Options options{.natPmpDeadline = 500ms, .upnpDiscovery = 1s};
        if (c.outcome == Outcome::disabled)
            options.natPmpDeadline = 15s;
        const auto started = Clock::now();
        auto result = NatPmpUpnpPortMapping(options).map(40300, 3600s);
        EXPECT_EQ(result.outcome, c.outcome) << result.detail << "\n" << lab->daemonLog();
        EXPECT_FALSE(result.detail.empty());
        EXPECT_LT(Clock::now() - started, options.natPmpDeadline + options.upnpDiscovery + 500ms);
        EXPECT_FALSE(forwards(40300));
    }
}

TEST_F(RouterLabTest, ScriptedIgdAnswersBecomeOutcomes)
{
    struct Case {
        const char* name;
        ScriptedIgd::Script script;
        std::string externalAddress;  // as given, but for miniupnpd's "none"
        Outcome outcome;
        std::vector<std::string> adds;
    };
    const Case cases[] = {
        {"a private address", {.externalAddress = "192.168.200.1"}, "192.168.200.1", Outcome::mapped, {"40620 3600"}},
        {"no address", {.externalAddress = "0.0.0.0"}, "", Outcome::mapped, {"40620 3600"}},
        {"not an address", {.externalAddress = "gateway.example"}, "gateway.example", Outcome::mapped, {"40620 3600"}},
        {"only permanent leases", {.onlyPermanentLeases = true}, "198.18.0.1", Outcome::mapped, {"40620 3600", "40620 0"}},
        {"501 action failed", {.addFault = 501}, "198.18.0.1", Outcome::failed, {"40620 3600"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(enter({.natPmp = false, .upnp = false}));
        ScriptedIgd igd(lab->routerNamespace(), RouterLab::routerLanAddress, c.script);
        ASSERT_TRUE(igd.serving());
        NatPmpUpnpPortMapping mapping({.natPmpDeadline = 500ms, .upnpDiscovery = 1s});
        EXPECT_EQ(mapping.externalAddress().address, c.externalAddress);
        auto result = mapping.map(40620, 3600s);
        EXPECT_EQ(result.outcome, c.outcome) << result.detail;
        std::vector<std::string> adds;
        for (const auto& action : igd.actions()) {
            if (action.rfind("AddPortMapping ", 0) == 0)
                adds.push_back(action.substr(15));
        }
        EXPECT_EQ(adds, c.adds);
        if (c.outcome != Outcome::mapped)
            continue;
        EXPECT_EQ(result.gateway, RouterLab::routerLanAddress);
        EXPECT_EQ(result.internalAddress, RouterLab::hostAddress);
        EXPECT_EQ(igd.actions().back(), "GetSpecificPortMappingEntry 40620");
        EXPECT_TRUE(mapping.unmap(40620));
        EXPECT_TRUE(igd.mappings().empty());
    }
}

}  // namespace
}  // namespace kestrio::platform
