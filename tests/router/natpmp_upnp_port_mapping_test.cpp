#include "platform/router/natpmp_upnp_port_mapping.h"
#include "router/router_lab_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <regex>
#include <thread>

namespace kestrio::platform::router {
namespace {

using namespace std::chrono_literals;
using namespace testing;
using Outcome = remote::RouterMappingResult::Outcome;
using Lookup = remote::RouterMappingLookup::Outcome;
using Clock = std::chrono::steady_clock;

// Answers what arrives on its sockets on a thread of its own, keeping what it was asked. Its owner
// declares it last, to stop it before the rest of the owner goes.
struct Server {
    std::vector<int> sockets;
    std::mutex mutex;
    std::vector<std::string> asked;
    std::jthread thread;

    void start(std::function<void(int)> answer)
    {
        if (std::ranges::count(sockets, -1) == 0)
            thread = std::jthread([this, answer](std::stop_token stop) {
                std::vector<pollfd> descriptors;
                for (int fd : sockets)
                    descriptors.push_back({fd, POLLIN, 0});
                while (!stop.stop_requested())
                    if (poll(descriptors.data(), descriptors.size(), 20) > 0)
                        for (const auto& descriptor : descriptors)
                            if (descriptor.revents != 0)
                                answer(descriptor.fd);
            });
    }
    void record(std::string line) { std::lock_guard lock(mutex); asked.push_back(std::move(line)); }
    std::vector<std::string> log() { std::lock_guard lock(mutex); return asked; }
    ~Server()
    {
        thread = {};
        for (int fd : sockets)
            close(fd);
    }
};

struct NatPmpScript {
    bool absent = false;  // nothing listens: refused with ICMP
    bool silent = false;
    std::uint16_t addressResult = 0;
    std::string publicAddress = "198.18.0.1";
    std::uint16_t mappingResult = 0;
    int grantedPort = -1;           // -1: the one asked for
    bool silentToMappings = false;  // the public address is still given
    // Before a mapping answer, a late answer to a public-address request (result 3), as from a
    // gateway answering every copy libnatpmp sent of a slowly answered request.
    bool lateAddressAnswerFirst = false;
};

// A NAT-PMP gateway on UDP 127.0.0.1:5351. Logs requests as "opcode internal-port external-port lifetime".
struct NatPmpGateway {
    explicit NatPmpGateway(NatPmpScript script) : script(std::move(script))
    {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in local = socketAddress("127.0.0.1", script.absent ? 5352 : 5351);
        server.sockets = {bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? fd : (close(fd), -1)};
        server.start([this](int socket) { answer(socket); });
    }

    void answer(int socket)
    {
        std::uint8_t in[64] = {}, out[16] = {};
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        const auto length = recvfrom(socket, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        const auto get = [&](int at, int size) { std::uint32_t value = 0; while (size-- > 0) value = value << 8 | in[at++]; return value; };
        const auto put = [&](int at, std::uint32_t value, int size) { for (; size-- > 0; value >>= 8) out[at + size] = static_cast<std::uint8_t>(value); };
        const auto send = [&](const std::uint8_t* bytes, std::size_t size) { sendto(socket, bytes, size, 0, reinterpret_cast<sockaddr*>(&peer), peerLength); };
        const std::uint8_t opcode = in[1];
        if (length < (opcode == 0 ? 2 : 12))
            return;
        const auto internal = get(4, 2), external = get(6, 2), lifetime = get(8, 4);
        server.record(opcode == 0 ? "0" : std::to_string(opcode) + " " + std::to_string(internal) + " " + std::to_string(external) + " " + std::to_string(lifetime));
        if (script.silent || (opcode != 0 && script.silentToMappings))
            return;
        out[1] = static_cast<std::uint8_t>(128 + opcode);
        put(4, ++epoch, 4);
        if (opcode == 0) {
            put(2, script.addressResult, 2);
            inet_pton(AF_INET, script.publicAddress.c_str(), out + 8);
            return send(out, 12);
        }
        if (script.lateAddressAnswerFirst) {
            const std::uint8_t late[12] = {0, 128, 0, 3, out[4], out[5], out[6], out[7]};
            send(late, sizeof late);
        }
        put(2, script.mappingResult, 2);
        put(8, internal, 2);
        put(10, lifetime == 0 ? 0 : script.grantedPort < 0 ? external : static_cast<std::uint32_t>(script.grantedPort), 2);
        put(12, lifetime, 4);
        send(out, 16);
    }

    NatPmpScript script;
    std::uint32_t epoch = 1000;
    Server server;
};

std::string http(const std::string& status, const std::string& body)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/xml\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A SOAP answer: the action's response with `arguments`, or (a `fault` code) a UPnP error.
std::string soap(const std::string& action, const std::string& arguments, int fault = 0)
{
    const std::string content = fault == 0 ? "<u:" + action + "Response xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">" + arguments + "</u:" + action + "Response>"
                                           : "<s:Fault><detail><UPnPError><errorCode>" + std::to_string(fault) + "</errorCode></UPnPError></detail></s:Fault>";
    return http(fault == 0 ? "200 OK" : "500 Internal Server Error",
                "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>" + content + "</s:Body></s:Envelope>");
}

// The first group of `pattern` in `text`, or nothing.
std::string find(const std::string& text, const std::string& pattern)
{
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? match.str(1) : "";
}

struct IgdScript {
    std::string externalAddress = "198.18.0.1";
    bool onlyPermanentLeases = false;  // AddPortMapping with a lease other than 0: fault 725
    int addFault = 0;                  // AddPortMapping answered with this fault
};

// A UPnP IGD (SSDP, description, WANIPConnection) on the router's LAN address in the router's
// namespace. Logs each action as "AddPortMapping 59590 3600".
struct Igd {
    Igd(const std::string& namespacePath, IgdScript script) : script(std::move(script))
    {
        int ssdp = -1, web = -1, yes = 1;
        if (NetworkNamespaceScope scope(namespacePath); scope.entered())
            ssdp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), web = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in any = socketAddress("0.0.0.0", 1900), local = socketAddress(RouterLab::routerLanAddress, 0);
        ip_mreq group{{inet_addr("239.255.255.250")}, local.sin_addr};
        socklen_t length = sizeof local;
        if (setsockopt(ssdp, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 || bind(ssdp, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0
            || setsockopt(ssdp, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0 || bind(web, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0
            || listen(web, 8) != 0 || getsockname(web, reinterpret_cast<sockaddr*>(&local), &length) != 0)
            close(std::exchange(web, -1));
        const std::string discovered = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\nUSN: uuid:5c1e2b7a::igd\r\n"
                                       "EXT:\r\nSERVER: Linux UPnP/1.1 scripted/1\r\nLOCATION: http://" + std::string(RouterLab::routerLanAddress) + ":"
                                       + std::to_string(ntohs(local.sin_port)) + "/rootDesc.xml\r\n\r\n";
        server.sockets = {ssdp, web};
        server.start([this, ssdp, discovered](int socket) {
            char buffer[4096];
            sockaddr_in peer{};
            socklen_t peerLength = sizeof peer;
            if (socket == ssdp && recvfrom(ssdp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength) > 0)
                sendto(ssdp, discovered.data(), discovered.size(), 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
            if (const int connection = socket == ssdp ? -1 : accept4(socket, nullptr, nullptr, SOCK_CLOEXEC); connection >= 0) {
                std::string request;
                pollfd descriptor{connection, POLLIN, 0};
                for (ssize_t got = 0; request.find(request.starts_with("GET ") ? "\r\n\r\n" : "Envelope>") == std::string::npos; request.append(buffer, got))
                    if (poll(&descriptor, 1, 2000) != 1 || (got = recv(connection, buffer, sizeof buffer, 0)) <= 0)
                        break;
                const std::string answer = request.starts_with("GET ") ? http("200 OK", description) : control(find(request, "#(\\w+)\""), request);
                send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
                close(connection);
            }
        });
    }

    std::string control(const std::string& action, const std::string& body)
    {
        const std::string lease = find(body, "<NewLeaseDuration>([^<]*)"), externalPort = find(body, "<NewExternalPort>([^<]*)");
        server.record(action + (externalPort.empty() ? "" : " " + externalPort) + (lease.empty() ? "" : " " + lease));
        if (action == "GetStatusInfo")
            return soap(action, "<NewConnectionStatus>Connected</NewConnectionStatus><NewLastConnectionError>ERROR_NONE</NewLastConnectionError><NewUptime>1</NewUptime>");
        if (action == "GetExternalIPAddress")
            return soap(action, "<NewExternalIPAddress>" + script.externalAddress + "</NewExternalIPAddress>");
        if (action == "AddPortMapping" && (script.addFault != 0 || (script.onlyPermanentLeases && lease != "0")))
            return soap(action, {}, script.addFault != 0 ? script.addFault : 725);
        if (action == "AddPortMapping")
            return soap(action, {});
        return soap(action, "<NewInternalPort>" + externalPort + "</NewInternalPort><NewInternalClient>" + RouterLab::hostAddress
                                + "</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>Kestrio</NewPortMappingDescription>"
                                + "<NewLeaseDuration>0</NewLeaseDuration>");  // GetSpecificPortMappingEntry
    }

    static constexpr const char* description =
        "<root><device><serviceList><service><serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType><controlURL>/ctl/CmnIfCfg</controlURL>"
        "</service><service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType><controlURL>/ctl/IPConn</controlURL></service></serviceList></device></root>";
    IgdScript script;
    Server server;
};

class RouterLabTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = routerLabUnavailable())
            GTEST_SKIP() << *reason;
    }
    // The lab, with the calling thread on the host.
    void enter(bool withDaemon)
    {
        lab = std::make_unique<RouterLab>(withDaemon);
        ASSERT_EQ(lab->error(), "");
        host = std::make_unique<NetworkNamespaceScope>(lab->path("host"));
        ASSERT_TRUE(host->entered());
    }
    // Whether the router sends what comes to its external `port` on to the host.
    bool forwards(std::uint16_t port) const
    {
        return lab->redirectRules().find("dport " + std::to_string(port) + " dnat ip to " + RouterLab::hostAddress + ":" + std::to_string(port)) != std::string::npos;
    }

    // Nothing answers NAT-PMP on the host's own 127.0.0.1 but the scripted gateway.
    static inline const NatPmpUpnpPortMapping::Options options{.gateway = "127.0.0.1", .natPmpDeadline = 1s, .upnpDiscovery = 1s};
    std::unique_ptr<RouterLab> lab;
    std::unique_ptr<NetworkNamespaceScope> host;
};

TEST_F(RouterLabTest, NatPmpAnswersBecomeOutcomesWithinTheDeadlineAndRenewalAndUnmapStayWithNatPmp)
{
    struct Case {
        NatPmpScript script;
        Outcome addressOutcome;
        std::string externalAddress;
        Outcome outcome;
        std::uint16_t externalPort;
        std::chrono::milliseconds within = 500ms;  // the deadline is 1 s, discovery 1 s
    };
    const std::string given = "198.18.0.1";
    const Case cases[] = {
        {{.grantedPort = 50123}, Outcome::mapped, given, Outcome::mapped, 50123},
        {{.publicAddress = "0.0.0.0"}, Outcome::mapped, "", Outcome::mapped, 40100},
        {{.addressResult = 3}, Outcome::mapped, "", Outcome::mapped, 40100},
        {{.addressResult = 2}, Outcome::disabled, "", Outcome::mapped, 40100},
        {{.mappingResult = 2}, Outcome::mapped, given, Outcome::disabled, 0},
        {{.mappingResult = 3}, Outcome::mapped, given, Outcome::failed, 0},
        {{.lateAddressAnswerFirst = true}, Outcome::mapped, given, Outcome::mapped, 40100},
        // It answered, so it speaks NAT-PMP: no UPnP after it, one deadline for the whole attempt.
        {{.silentToMappings = true}, Outcome::mapped, given, Outcome::failed, 0, 1500ms},
        // libnatpmp retries within the deadline (its first retry after 250 ms), not on its own
        // two-minute schedule; a refusal ends the attempt at once.
        {{.silent = true}, Outcome::unsupported, "", Outcome::unsupported, 0, 2500ms},
        {{.absent = true}, Outcome::unsupported, "", Outcome::unsupported, 0, 1500ms},
    };
    ASSERT_NO_FATAL_FAILURE(enter(false));
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        NatPmpGateway gateway(c.script);
        ASSERT_TRUE(gateway.server.thread.joinable());
        NatPmpUpnpPortMapping mapping(options);
        const auto address = mapping.externalAddress();
        EXPECT_EQ(address.outcome, c.addressOutcome) << address.detail;
        EXPECT_EQ(address.address, c.externalAddress);
        const auto asked = gateway.server.log().size();
        const auto started = Clock::now();
        const auto result = mapping.map(40100, 3600s);
        EXPECT_LT(Clock::now() - started, c.within);
        EXPECT_GE(gateway.server.log().size(), asked + (c.script.absent ? 0 : 2));
        EXPECT_EQ(result.outcome, c.outcome) << result.detail;
        EXPECT_EQ(result.externalPort, c.externalPort);
        EXPECT_EQ(result.lifetime, c.outcome == Outcome::mapped ? 3600s : 0s);
    }

    NatPmpGateway gateway({.grantedPort = 50123});
    NatPmpUpnpPortMapping mapping(options);
    mapping.unmap(40101);  // never mapped: nothing to withdraw
    EXPECT_EQ(mapping.map(40101, 0s).outcome, Outcome::mapped);
    EXPECT_EQ(mapping.map(40101, 600s).externalPort, 50123);
    mapping.unmap(40101);
    // "Until removed" must not become lifetime 0, which would delete the mapping, nor one so long
    // that it wraps around the gateway's clock (miniupnpd keeps the expiry as its clock plus the
    // lifetime in 32 bits): a week.
    EXPECT_EQ(gateway.server.log(), (std::vector<std::string>{"0", "2 40101 40101 604800", "0", "2 40101 40101 600", "2 40101 0 0"}));
}

// NAT-PMP against the same router is the remote-access end-to-end test's.
TEST_F(RouterLabTest, UpnpMapsRenewsLooksUpRemovesAndGivesUpOnAStalledIgd)
{
    ASSERT_NO_FATAL_FAILURE(enter(true));
    NatPmpUpnpPortMapping mapping(options);
    EXPECT_EQ(mapping.externalAddress().address, RouterLab::routerExternalAddress);
    for (int renewal = 0; renewal < 2; ++renewal) {
        const auto result = mapping.map(40200, 3600s);
        ASSERT_EQ(result.outcome, Outcome::mapped) << result.detail << "\n" << lab->daemonLog();
        EXPECT_EQ(result.externalPort, 40200);
        EXPECT_GT(result.lifetime, 3500s);
        EXPECT_LE(result.lifetime, 3600s);
        EXPECT_TRUE(forwards(40200)) << lab->redirectRules();
    }
    mapping.unmap(40200);
    EXPECT_FALSE(forwards(40200)) << lab->redirectRules();

    // A permanent mapping an earlier run left open ("until removed": miniupnpd grants a week).
    ASSERT_EQ(mapping.map(40210, 0s).outcome, Outcome::mapped);
    const remote::PermanentMappingRecord record{RouterLab::routerLanAddress, "TCP", 40210, RouterLab::hostAddress, 40210};
    NatPmpUpnpPortMapping later(options);
    const auto found = later.lookup(record);
    EXPECT_EQ(found.outcome, Lookup::found);
    EXPECT_EQ(std::tie(found.internalAddress, found.internalPort, found.description, found.hostAddress),
              std::tie(RouterLab::hostAddress, record.internalPort, "Kestrio", RouterLab::hostAddress));
    auto elsewhere = record;
    elsewhere.gateway = "192.168.99.1";
    EXPECT_EQ(later.lookup(elsewhere).outcome, Lookup::otherGateway);
    EXPECT_TRUE(later.remove(record));
    EXPECT_FALSE(forwards(40210)) << lab->redirectRules();
    EXPECT_EQ(later.lookup(record).outcome, Lookup::absent);

    // The renewal goes to the IGD it knows, whose connection is accepted and never answered;
    // miniupnpc gives up after 5 s, a new discovery finds nothing, NAT-PMP is refused.
    ASSERT_EQ(later.map(40220, 3600s).outcome, Outcome::mapped);
    lab->freezeDaemon();
    const auto started = Clock::now();
    EXPECT_EQ(later.map(40220, 3600s).outcome, Outcome::unsupported);
    EXPECT_LT(Clock::now() - started, 5s + 1s + 1s);
}

TEST_F(RouterLabTest, ScriptedIgdAnswersBecomeOutcomes)
{
    struct Case {
        IgdScript script;
        std::string externalAddress;  // as given, but for "none"
        Outcome outcome;
        std::vector<std::string> adds;
    };
    const Case cases[] = {
        {{.externalAddress = "192.168.200.1"}, "192.168.200.1", Outcome::mapped, {"AddPortMapping 40620 3600"}},
        {{.externalAddress = "0.0.0.0"}, "", Outcome::mapped, {"AddPortMapping 40620 3600"}},
        {{.externalAddress = "gateway.example"}, "gateway.example", Outcome::mapped, {"AddPortMapping 40620 3600"}},
        {{.onlyPermanentLeases = true}, "198.18.0.1", Outcome::mapped, {"AddPortMapping 40620 3600", "AddPortMapping 40620 0"}},
        {{.addFault = 501}, "198.18.0.1", Outcome::failed, {"AddPortMapping 40620 3600"}},
        {{.addFault = 606}, "198.18.0.1", Outcome::disabled, {"AddPortMapping 40620 3600"}},  // what miniupnpd's rules answer
    };
    ASSERT_NO_FATAL_FAILURE(enter(false));
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        Igd igd(lab->path("rtr"), c.script);
        ASSERT_TRUE(igd.server.thread.joinable());
        NatPmpUpnpPortMapping mapping(options);
        EXPECT_EQ(mapping.externalAddress().address, c.externalAddress);
        const auto result = mapping.map(40620, 3600s);
        EXPECT_EQ(result.outcome, c.outcome) << result.detail;
        std::vector<std::string> adds;
        std::ranges::copy_if(igd.server.log(), std::back_inserter(adds), [](const std::string& action) { return action.starts_with("AddPortMapping"); });
        EXPECT_EQ(adds, c.adds);
        if (c.outcome != Outcome::mapped)
            continue;
        EXPECT_EQ(std::tie(result.gateway, result.internalAddress), std::tie(RouterLab::routerLanAddress, RouterLab::hostAddress));
        EXPECT_EQ(igd.server.log().back(), "GetSpecificPortMappingEntry 40620");
    }
}

}  // namespace
}  // namespace kestrio::platform::router
