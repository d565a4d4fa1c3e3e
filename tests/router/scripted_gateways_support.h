#pragma once

// Gateways that answer as a test tells it to, with answers no real router gives on request:
// NAT-PMP result codes, granted ports and addresses, or silence; a UPnP IGD (SSDP, description,
// WANIPConnection) with leases only without expiry, faults, or an external address that is none.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrio::platform::testing {

// Calls `ready(socket)` on a thread of its own whenever one of `sockets` has something to read;
// stops and closes them when destroyed.
class SocketServer {
public:
    SocketServer(std::vector<int> sockets, std::function<void(int)> ready);
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;
    bool running() const { return thread_.joinable(); }

private:
    std::vector<int> sockets_;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};

class ScriptedNatPmpGateway {
public:
    struct Script {
        bool silent = false;
        std::uint16_t publicAddressResult = 0;
        std::string publicAddress = "198.18.0.1";
        std::uint16_t mappingResult = 0;
        int grantedPort = -1;  // the external port granted; -1: the one asked for
        bool silentToMappings = false;  // the public address is still given
        // Before a mapping answer, a late answer to a public-address request (result 3), as from
        // a gateway answering every copy libnatpmp sent of a slowly answered request.
        bool lateAddressAnswerFirst = false;
    };
    struct Request {
        std::uint8_t opcode = 0;  // 0 public address, 1 UDP, 2 TCP
        std::uint16_t internalPort = 0;
        std::uint16_t externalPort = 0;
        std::uint32_t lifetime = 0;
    };

    // Listens on UDP `address`:5351 of the calling thread's namespace.
    ScriptedNatPmpGateway(std::string address, Script script);
    bool listening() const { return server_ && server_->running(); }
    const std::string& address() const { return address_; }
    std::vector<Request> requests() const;

private:
    void answer(int socket);

    std::string address_;
    Script script_;
    std::uint32_t epoch_ = 1000;
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::unique_ptr<SocketServer> server_;
};

class ScriptedIgd {
public:
    struct Script {
        std::string externalAddress = "198.18.0.1";
        bool onlyPermanentLeases = false;  // AddPortMapping with a lease other than 0: fault 725
        int addFault = 0;                  // AddPortMapping answered with this fault
    };

    // Serves in the network namespace at `namespacePath`, on `address` (an interface address
    // there, which also joins the SSDP group).
    ScriptedIgd(const std::string& namespacePath, std::string address, Script script);
    bool serving() const { return server_ && server_->running(); }
    // The actions asked for, in order: "GetExternalIPAddress", "AddPortMapping 59590 3600", ...
    std::vector<std::string> actions() const;
    // The mappings held: external port → internal client.
    std::map<std::uint16_t, std::string> mappings() const;

private:
    void answerDiscovery(int socket);
    void answerHttp(int connection);
    std::string control(const std::string& action, const std::string& body);

    std::string address_;
    Script script_;
    int ssdp_ = -1;
    std::uint16_t httpPort_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> actions_;
    std::map<std::uint16_t, std::string> mappings_;
    std::unique_ptr<SocketServer> server_;
};

}  // namespace kestrio::platform::testing
