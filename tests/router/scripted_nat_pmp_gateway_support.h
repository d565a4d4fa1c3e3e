#pragma once

// A NAT-PMP gateway that answers as a test tells it to: result codes, granted ports and
// addresses no real router hands out on request, or silence.

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrio::platform::testing {

class ScriptedNatPmpGateway {
public:
    struct Script {
        bool silent = false;
        std::uint16_t publicAddressResult = 0;
        std::string publicAddress = "198.18.0.1";
        std::uint16_t mappingResult = 0;
        // The external port granted; -1: the one asked for.
        int grantedPort = -1;
        // Mapping requests go unanswered (the public address is still given).
        bool silentToMappings = false;
        // Before answering a mapping request, a late answer to a public-address request
        // (result 3, network failure) arrives, as from a gateway answering every copy libnatpmp
        // sent of a slowly answered request.
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
    ~ScriptedNatPmpGateway();
    ScriptedNatPmpGateway(const ScriptedNatPmpGateway&) = delete;
    ScriptedNatPmpGateway& operator=(const ScriptedNatPmpGateway&) = delete;

    bool listening() const { return socket_ >= 0; }
    const std::string& address() const { return address_; }
    std::vector<Request> requests() const;

private:
    void serve();

    std::string address_;
    Script script_;
    int socket_ = -1;
    int stopPipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::thread thread_;
};

}  // namespace kestrio::platform::testing
