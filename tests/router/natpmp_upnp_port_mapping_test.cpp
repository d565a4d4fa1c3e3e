#include "platform/router/natpmp_upnp_port_mapping.h"
#include "router/router_lab_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <stop_token>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrio::platform {
namespace {

using namespace std::chrono_literals;
using remote::PermanentMappingRecord;
using remote::RouterMappingLookup;
using Outcome = remote::RouterMappingResult::Outcome;
using testing::NetworkNamespaceScope;
using testing::RouterLab;
using testing::socketAddress;
using Clock = std::chrono::steady_clock;

// Calls `ready(socket)` on a thread of its own whenever one of `sockets` has something to read;
// stops and closes them when destroyed.
class SocketServer {
public:
    SocketServer(std::vector<int> sockets, std::function<void(int)> ready) : sockets_(std::move(sockets))
    {
        if (std::count(sockets_.begin(), sockets_.end(), -1) == 0)
            thread_ = std::jthread([this, ready = std::move(ready)](std::stop_token stop) {
                std::vector<pollfd> descriptors;
                for (int fd : sockets_)
                    descriptors.push_back({fd, POLLIN, 0});
                while (!stop.stop_requested())
                    if (poll(descriptors.data(), descriptors.size(), 20) > 0)
                        for (const auto& descriptor : descriptors)
                            if (descriptor.revents != 0)
                                ready(descriptor.fd);
            });
    }
    ~SocketServer()
    {
        thread_ = {};  // joined
        for (int fd : sockets_)
            close(fd);
    }
    bool running() const { return thread_.joinable(); }

private:
    std::vector<int> sockets_;
    std::jthread thread_;
};

std::uint32_t bigEndian(const std::uint8_t* at, int size)
{
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i)
        value = value << 8 | at[i];
    return value;
}

void putBigEndian(std::uint8_t* at, std::uint32_t value, int size)
{
    for (int i = size; i-- > 0; value >>= 8)
        at[i] = static_cast<std::uint8_t>(value);
}

// A NAT-PMP gateway on UDP `address`:5351 of the calling thread's namespace, answering with
// result codes, granted ports and addresses no real router gives on request, or not at all.
class ScriptedNatPmpGateway {
public:
    struct Script {
        bool silent = false;
        std::uint16_t publicAddressResult = 0;
        std::string publicAddress = "198.18.0.1";
        std::uint16_t mappingResult = 0;
        int grantedPort = -1;           // -1: the one asked for
        bool silentToMappings = false;  // the public address is still given
        // Before a mapping answer, a late answer to a public-address request (result 3), as from
        // a gateway answering every copy libnatpmp sent of a slowly answered request.
        bool lateAddressAnswerFirst = false;
    };
    struct Request {
        std::uint8_t opcode = 0;  // 0 public address, 1 UDP, 2 TCP
        std::uint16_t internalPort = 0, externalPort = 0;
        std::uint32_t lifetime = 0;
    };

    ScriptedNatPmpGateway(Script script) : script_(std::move(script))
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in local = socketAddress("127.0.0.1", 5351);
        if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            close(fd);
            fd = -1;
        }
        server_ = std::make_unique<SocketServer>(std::vector{fd}, [this](int socket) { answer(socket); });
    }
    bool listening() const { return server_->running(); }
    std::vector<Request> requests() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void answer(int socket)
    {
        std::uint8_t packet[64] = {};
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        const auto length = recvfrom(socket, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (length < 2 || packet[0] != 0)
            return;
        Request request{packet[1]};
        if (request.opcode != 0 && length >= 12)
            request = {packet[1], static_cast<std::uint16_t>(bigEndian(packet + 4, 2)), static_cast<std::uint16_t>(bigEndian(packet + 6, 2)),
                       bigEndian(packet + 8, 4)};
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        if (script_.silent || (request.opcode != 0 && script_.silentToMappings))
            return;
        const auto send = [&](const std::uint8_t* bytes, std::size_t size) {
            sendto(socket, bytes, size, 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
        };
        std::uint8_t answer[16] = {0, static_cast<std::uint8_t>(128 + request.opcode)};
        putBigEndian(answer + 4, ++epoch_, 4);
        if (request.opcode == 0) {
            putBigEndian(answer + 2, script_.publicAddressResult, 2);
            inet_pton(AF_INET, script_.publicAddress.c_str(), answer + 8);
            return send(answer, 12);
        }
        if (script_.lateAddressAnswerFirst) {
            std::uint8_t late[12] = {0, 128, 0, 3};
            putBigEndian(late + 4, epoch_, 4);
            send(late, sizeof late);
        }
        putBigEndian(answer + 2, script_.mappingResult, 2);
        putBigEndian(answer + 8, request.internalPort, 2);
        const auto granted = script_.grantedPort < 0 ? request.externalPort : static_cast<std::uint16_t>(script_.grantedPort);
        putBigEndian(answer + 10, request.lifetime == 0 ? 0 : granted, 2);
        putBigEndian(answer + 12, request.lifetime, 4);
        send(answer, 16);
    }

    Script script_;
    std::uint32_t epoch_ = 1000;
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::unique_ptr<SocketServer> server_;
};

std::string element(const std::string& body, const std::string& name)
{
    const auto start = body.find("<" + name + ">"), end = body.find("</" + name + ">");
    return start == std::string::npos || end == std::string::npos ? "" : body.substr(start + name.size() + 2, end - start - name.size() - 2);
}

std::string httpAnswer(const char* status, const std::string& body)
{
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nConnection: close\r\nContent-Length: "
           + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string soap(const char* status, const std::string& content)
{
    return httpAnswer(status, "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                              "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>" + content + "</s:Body></s:Envelope>\r\n");
}

std::string fault(int code)
{
    return soap("500 Internal Server Error", "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
                                             "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" + std::to_string(code)
                                             + "</errorCode></UPnPError></detail></s:Fault>");
}

std::string success(const std::string& action, const std::string& arguments = {})
{
    return soap("200 OK", "<u:" + action + "Response xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">" + arguments + "</u:"
                          + action + "Response>");
}

// A UPnP IGD (SSDP, description, WANIPConnection) serving in the namespace at `namespacePath` on
// `address`, with leases only without expiry, faults, or an external address that is none.
class ScriptedIgd {
public:
    struct Script {
        std::string externalAddress = "198.18.0.1";
        bool onlyPermanentLeases = false;  // AddPortMapping with a lease other than 0: fault 725
        int addFault = 0;                  // AddPortMapping answered with this fault
    };

    ScriptedIgd(const std::string& namespacePath, std::string address, Script script) : address_(std::move(address)), script_(std::move(script))
    {
        int http = -1;
        {
            NetworkNamespaceScope scope(namespacePath);
            if (!scope.entered())
                return;
            ssdp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            http = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        }
        int yes = 1;
        setsockopt(ssdp_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in any = socketAddress("0.0.0.0", 1900), local = socketAddress(address_, 0);
        ip_mreq group{};
        inet_pton(AF_INET, "239.255.255.250", &group.imr_multiaddr);
        group.imr_interface = local.sin_addr;
        socklen_t length = sizeof local;
        if (bind(ssdp_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 || setsockopt(ssdp_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0
            || bind(http, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(http, 8) != 0
            || getsockname(http, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
            close(http);
            http = -1;
        }
        httpPort_ = ntohs(local.sin_port);
        server_ = std::make_unique<SocketServer>(std::vector{ssdp_, http}, [this, http](int socket) {
            if (socket == ssdp_)
                return answerDiscovery();
            if (const int connection = accept4(http, nullptr, nullptr, SOCK_CLOEXEC); connection >= 0) {
                answerHttp(connection);
                close(connection);
            }
        });
    }
    bool serving() const { return server_ && server_->running(); }
    // The actions asked for, in order: "GetExternalIPAddress", "AddPortMapping 59590 3600", ...
    std::vector<std::string> actions() const
    {
        std::lock_guard lock(mutex_);
        return actions_;
    }
    std::map<std::uint16_t, std::string> mappings() const  // external port → internal client
    {
        std::lock_guard lock(mutex_);
        return mappings_;
    }

private:
    void answerDiscovery()
    {
        char request[1500] = {};
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        const auto length = recvfrom(ssdp_, request, sizeof request - 1, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        const std::string text(request, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
        auto st = text.find("\r\nST:");
        if (text.rfind("M-SEARCH", 0) != 0 || (st == std::string::npos && (st = text.find("\r\nst:")) == std::string::npos))
            return;
        std::string searched = text.substr(st + 5, text.find("\r\n", st + 2) - st - 5);
        searched.erase(0, searched.find_first_not_of(' '));
        const std::string answer = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: " + searched
                                   + "\r\nUSN: uuid:5c1e2b7a-1d2e-4f3a-9b8c-7d6e5f4a3b2c::" + searched
                                   + "\r\nEXT:\r\nSERVER: Linux UPnP/1.1 scripted/1\r\nLOCATION: http://" + address_ + ":"
                                   + std::to_string(httpPort_) + "/rootDesc.xml\r\n\r\n";
        sendto(ssdp_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
    }

    void answerHttp(int connection)
    {
        std::string request;
        std::size_t headerEnd = std::string::npos, wanted = 0;
        while (headerEnd == std::string::npos || request.size() < headerEnd + 4 + wanted) {
            pollfd descriptor{connection, POLLIN, 0};
            char buffer[4096];
            const auto got = poll(&descriptor, 1, 2000) == 1 ? recv(connection, buffer, sizeof buffer, 0) : -1;
            if (got <= 0)
                return;
            request.append(buffer, static_cast<std::size_t>(got));
            if (headerEnd == std::string::npos && (headerEnd = request.find("\r\n\r\n")) != std::string::npos) {
                auto field = request.find("ontent-Length:");
                if (field == std::string::npos)
                    field = request.find("ONTENT-LENGTH:");
                wanted = field < headerEnd ? std::stoul(request.substr(field + 14)) : 0;
            }
        }
        const auto hash = request.find('#');
        const std::string action = hash < headerEnd ? request.substr(hash + 1, request.find_first_of("\"\r", hash) - hash - 1) : "";
        const std::string answer = request.rfind("GET ", 0) == 0 ? httpAnswer("200 OK", description) : control(action, request.substr(headerEnd + 4));
        for (std::size_t sent = 0; sent < answer.size();) {
            const auto written = send(connection, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
            if (written <= 0)
                return;
            sent += static_cast<std::size_t>(written);
        }
    }

    std::string control(const std::string& action, const std::string& body)
    {
        std::lock_guard lock(mutex_);
        const std::string lease = element(body, "NewLeaseDuration"), externalPort = element(body, "NewExternalPort");
        const auto port = static_cast<std::uint16_t>(std::atoi(externalPort.c_str()));
        actions_.push_back(action + (externalPort.empty() ? "" : " " + externalPort) + (lease.empty() ? "" : " " + lease));
        if (action == "GetStatusInfo")
            return success(action, "<NewConnectionStatus>Connected</NewConnectionStatus>"
                                   "<NewLastConnectionError>ERROR_NONE</NewLastConnectionError><NewUptime>1</NewUptime>");
        if (action == "GetExternalIPAddress")
            return success(action, "<NewExternalIPAddress>" + script_.externalAddress + "</NewExternalIPAddress>");
        if (action == "AddPortMapping") {
            if (script_.addFault != 0 || (script_.onlyPermanentLeases && lease != "0"))
                return fault(script_.addFault != 0 ? script_.addFault : 725);
            mappings_[port] = element(body, "NewInternalClient");
            return success(action);
        }
        const auto found = mappings_.find(port);
        if ((action == "GetSpecificPortMappingEntry" || action == "DeletePortMapping") && found == mappings_.end())
            return fault(714);
        if (action == "GetSpecificPortMappingEntry")
            return success(action, "<NewInternalPort>" + externalPort + "</NewInternalPort><NewInternalClient>" + found->second
                                       + "</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>Kestrio"
                                         "</NewPortMappingDescription><NewLeaseDuration>0</NewLeaseDuration>");
        if (action == "DeletePortMapping") {
            mappings_.erase(found);
            return success(action);
        }
        return fault(401);
    }

    static constexpr const char* description =
        "<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion><major>1</major><minor>0</minor></specVersion>"
        "<device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType><friendlyName>Scripted IGD</friendlyName>"
        "<UDN>uuid:5c1e2b7a-1d2e-4f3a-9b8c-7d6e5f4a3b2c</UDN><deviceList><device><deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>"
        "<serviceList><service><serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
        "<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId><controlURL>/ctl/CmnIfCfg</controlURL>"
        "<eventSubURL>/evt/CmnIfCfg</eventSubURL><SCPDURL>/WANCfg.xml</SCPDURL></service></serviceList>"
        "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
        "<serviceList><service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
        "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId><controlURL>/ctl/IPConn</controlURL>"
        "<eventSubURL>/evt/IPConn</eventSubURL><SCPDURL>/WANIPCn.xml</SCPDURL></service></serviceList>"
        "</device></deviceList></device></deviceList></device></root>\r\n";
    std::string address_;
    Script script_;
    int ssdp_ = -1;
    std::uint16_t httpPort_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> actions_;
    std::map<std::uint16_t, std::string> mappings_;
    std::unique_ptr<SocketServer> server_;
};

// An empty namespace of its own keeps the machine's network out both ways: no real router
// answers, and a fallback to UPnP sends no discovery onto the LAN.
class ScriptedNatPmpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a network namespace of its own";
        isolation_ = std::make_unique<NetworkNamespaceScope>("");
        if (!isolation_->entered())
            GTEST_SKIP() << "cannot make a network namespace here";
    }
    static inline const NatPmpUpnpPortMapping::Options options{.gateway = "127.0.0.1", .natPmpDeadline = 600ms, .upnpDiscovery = 300ms};
    std::unique_ptr<NetworkNamespaceScope> isolation_;
};

TEST_F(ScriptedNatPmpTest, AnswersBecomeOutcomesWithinTheDeadline)
{
    struct Case {
        ScriptedNatPmpGateway::Script script;
        Outcome addressOutcome;
        std::string externalAddress;
        Outcome outcome;
        std::uint16_t externalPort;
    };
    const std::uint16_t port = 40100;
    const std::string given = "198.18.0.1";
    const Case cases[] = {
        {{}, Outcome::mapped, given, Outcome::mapped, port},
        {{.grantedPort = 50123}, Outcome::mapped, given, Outcome::mapped, 50123},
        {{.grantedPort = 0}, Outcome::mapped, given, Outcome::mapped, 0},
        {{.publicAddress = "0.0.0.0"}, Outcome::mapped, "", Outcome::mapped, port},
        {{.publicAddressResult = 3}, Outcome::mapped, "", Outcome::mapped, port},
        {{.publicAddressResult = 2}, Outcome::disabled, "", Outcome::mapped, port},
        {{.publicAddress = "192.168.1.1"}, Outcome::mapped, "192.168.1.1", Outcome::mapped, port},
        {{.mappingResult = 2}, Outcome::mapped, given, Outcome::disabled, 0},
        {{.mappingResult = 3}, Outcome::mapped, given, Outcome::failed, 0},
        {{.mappingResult = 4}, Outcome::mapped, given, Outcome::failed, 0},
        {{.mappingResult = 5}, Outcome::mapped, given, Outcome::failed, 0},
        {{.lateAddressAnswerFirst = true}, Outcome::mapped, given, Outcome::mapped, port},
        // It answered, so it speaks NAT-PMP: no UPnP after it, one deadline for the whole attempt.
        {{.silentToMappings = true}, Outcome::mapped, given, Outcome::failed, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        ScriptedNatPmpGateway gateway(c.script);
        ASSERT_TRUE(gateway.listening());
        NatPmpUpnpPortMapping mapping(options);
        const auto address = mapping.externalAddress();
        EXPECT_EQ(address.outcome, c.addressOutcome) << address.detail;
        EXPECT_EQ(address.address, c.externalAddress);
        const auto started = Clock::now();
        const auto result = mapping.map(port, 3600s);
        EXPECT_LT(Clock::now() - started, 600ms + 300ms);
        EXPECT_EQ(result.outcome, c.outcome) << result.detail;
        if (c.outcome != Outcome::mapped) {
            EXPECT_FALSE(result.detail.empty());
            continue;
        }
        EXPECT_EQ(result.externalPort, c.externalPort);
        EXPECT_EQ(result.lifetime, 3600s);
    }
}

TEST_F(ScriptedNatPmpTest, RenewalAndUnmapStayWithNatPmp)
{
    ScriptedNatPmpGateway gateway({.grantedPort = 50123});
    ASSERT_TRUE(gateway.listening());
    NatPmpUpnpPortMapping mapping(options);
    mapping.unmap(40101);  // never mapped: nothing to withdraw
    EXPECT_TRUE(gateway.requests().empty());
    EXPECT_EQ(mapping.map(40101, 0s).outcome, Outcome::mapped);
    const auto renewed = mapping.map(40101, 600s);
    EXPECT_EQ(renewed.outcome, Outcome::mapped);
    EXPECT_EQ(renewed.externalPort, 50123);
    mapping.unmap(40101);

    // (opcode, internal port, external port, lifetime). "Until removed" must not become lifetime
    // 0, which would delete the mapping, nor one so long that it wraps around the gateway's clock
    // (miniupnpd keeps the expiry as its clock plus the lifetime in 32 bits): a week.
    std::vector<std::array<std::uint32_t, 4>> mappings;
    for (const auto& r : gateway.requests())
        if (r.opcode != 0)
            mappings.push_back({r.opcode, r.internalPort, r.externalPort, r.lifetime});
    EXPECT_EQ(mappings, (std::vector<std::array<std::uint32_t, 4>>{{2, 40101, 40101, 7 * 24 * 3600}, {2, 40101, 40101, 600}, {2, 40101, 0, 0}}));
}

TEST_F(ScriptedNatPmpTest, SilentGatewayIsGivenUpOnAtTheDeadline)
{
    ScriptedNatPmpGateway gateway({.silent = true});
    ASSERT_TRUE(gateway.listening());
    const auto started = Clock::now();
    const auto result = NatPmpUpnpPortMapping(options).map(40102, 3600s);
    EXPECT_EQ(result.outcome, Outcome::unsupported) << result.detail;
    // libnatpmp retried within the deadline (its first retry comes after 250 ms) instead of on
    // its own two-minute schedule. Discovery waits at least 1 s.
    EXPECT_GE(gateway.requests().size(), 2u);
    EXPECT_LT(Clock::now() - started, 600ms + 1s + 1s);
}

class RouterLabTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = testing::routerLabUnavailable())
            GTEST_SKIP() << *reason;
    }

    // The lab, with the main thread on the host: libnatpmp reads the default gateway from
    // /proc/net, which follows the main thread's namespace.
    void enter(RouterLab::Options options)
    {
        host.reset();
        lab = std::make_unique<RouterLab>(std::move(options));
        ASSERT_EQ(lab->error(), "");
        host = std::make_unique<NetworkNamespaceScope>(lab->hostNamespace());
        ASSERT_TRUE(host->entered());
    }
    bool forwards(std::uint16_t port) const { return lab->redirectRules().find("dport " + std::to_string(port)) != std::string::npos; }
    // Whether a connection from the ISP to the router's `port` comes through (to `listener`).
    bool reachableFromIsp(std::uint16_t port, int listener) const
    {
        int fd = -1;
        {
            NetworkNamespaceScope isp(lab->ispNamespace());
            fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        }
        const timeval timeout{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        const auto remote = socketAddress(RouterLab::routerExternalAddress, port);
        bool reached = connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
        close(fd);
        pollfd descriptor{listener, POLLIN, 0};
        if (reached && listener >= 0 && (reached = poll(&descriptor, 1, 2000) == 1))
            close(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        return reached;
    }

    // Maps, checks forwarding end to end, renews, unmaps and checks the forwarding is gone.
    void checkRoundTrip(NatPmpUpnpPortMapping::Options options)
    {
        const std::uint16_t port = 40200;
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto local = socketAddress(RouterLab::hostAddress, port);
        int yes = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof local) | listen(listener, 8), 0);
        NatPmpUpnpPortMapping mapping(options);
        const auto address = mapping.externalAddress();
        EXPECT_EQ(address.outcome, Outcome::mapped) << address.detail;
        EXPECT_EQ(address.address, RouterLab::routerExternalAddress);
        for (int renewal = 0; renewal < 2; ++renewal) {
            const auto result = mapping.map(port, 3600s);
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

    static inline const NatPmpUpnpPortMapping::Options upnpOptions{.natPmpDeadline = 500ms, .upnpDiscovery = 1s};
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
    checkRoundTrip(upnpOptions);

    // A permanent mapping an earlier run left open ("until removed": miniupnpd grants a week).
    ASSERT_EQ(NatPmpUpnpPortMapping(upnpOptions).map(40210, 0s).outcome, Outcome::mapped);
    const PermanentMappingRecord record{RouterLab::routerLanAddress, "TCP", 40210, RouterLab::hostAddress, 40210};
    NatPmpUpnpPortMapping mapping(upnpOptions);
    const auto found = mapping.lookup(record);
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
    NatPmpUpnpPortMapping mapping(upnpOptions);
    const auto first = mapping.map(40220, 3600s);
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
    // miniupnpd tries every external port against its rules before it refuses a NAT-PMP request,
    // logging each: that takes it one to two seconds, several on a busy machine.
    const std::pair<RouterLab::Options, Outcome> cases[] = {
        {{.natPmp = false, .upnp = false, .silentNatPmp = true}, Outcome::unsupported},
        {{.natPmp = false, .upnp = false}, Outcome::unsupported},
        {{.permissions = ""}, Outcome::disabled},
        {{.natPmp = false, .permissions = ""}, Outcome::disabled},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const auto& [labOptions, outcome] = c;
        ASSERT_NO_FATAL_FAILURE(enter(labOptions));
        auto options = upnpOptions;
        if (outcome == Outcome::disabled)
            options.natPmpDeadline = 15s;
        const auto started = Clock::now();
        const auto result = NatPmpUpnpPortMapping(options).map(40300, 3600s);
        EXPECT_EQ(result.outcome, outcome) << result.detail << "\n" << lab->daemonLog();
        EXPECT_FALSE(result.detail.empty());
        EXPECT_LT(Clock::now() - started, options.natPmpDeadline + options.upnpDiscovery + 500ms);
        EXPECT_FALSE(forwards(40300));
    }
}

TEST_F(RouterLabTest, ScriptedIgdAnswersBecomeOutcomes)
{
    struct Case {
        ScriptedIgd::Script script;
        std::string externalAddress;  // as given, but for "none"
        Outcome outcome;
        std::vector<std::string> adds;
    };
    const Case cases[] = {
        {{.externalAddress = "192.168.200.1"}, "192.168.200.1", Outcome::mapped, {"40620 3600"}},
        {{.externalAddress = "0.0.0.0"}, "", Outcome::mapped, {"40620 3600"}},
        {{.externalAddress = "gateway.example"}, "gateway.example", Outcome::mapped, {"40620 3600"}},
        {{.onlyPermanentLeases = true}, "198.18.0.1", Outcome::mapped, {"40620 3600", "40620 0"}},
        {{.addFault = 501}, "198.18.0.1", Outcome::failed, {"40620 3600"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        ASSERT_NO_FATAL_FAILURE(enter({.natPmp = false, .upnp = false}));
        ScriptedIgd igd(lab->routerNamespace(), RouterLab::routerLanAddress, c.script);
        ASSERT_TRUE(igd.serving());
        NatPmpUpnpPortMapping mapping(upnpOptions);
        EXPECT_EQ(mapping.externalAddress().address, c.externalAddress);
        const auto result = mapping.map(40620, 3600s);
        EXPECT_EQ(result.outcome, c.outcome) << result.detail;
        std::vector<std::string> adds;
        for (const auto& action : igd.actions())
            if (action.rfind("AddPortMapping ", 0) == 0)
                adds.push_back(action.substr(15));
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
