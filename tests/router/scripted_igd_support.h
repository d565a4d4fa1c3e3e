#pragma once

// A UPnP Internet gateway device that answers as a test tells it to: SSDP discovery, its
// description and the WANIPConnection actions a port mapper uses, with answers no real router
// gives on request (leases only without expiry, an external address that is no address).

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrio::platform::testing {

class ScriptedIgd {
public:
    struct Script {
        std::string externalAddress = "198.18.0.1";
        // Every AddPortMapping with a lease other than 0 is refused with 725.
        bool onlyPermanentLeases = false;
    };

    // Serves in the network namespace at `namespacePath`, on `address` (an interface address
    // there, which also joins the SSDP group).
    ScriptedIgd(const std::string& namespacePath, std::string address, Script script);
    ~ScriptedIgd();
    ScriptedIgd(const ScriptedIgd&) = delete;
    ScriptedIgd& operator=(const ScriptedIgd&) = delete;

    bool serving() const { return thread_.joinable(); }
    // The actions asked for, in order: "GetExternalIPAddress", "AddPortMapping 59590 3600", ...
    std::vector<std::string> actions() const;
    // The mappings held: external port → internal client.
    std::map<std::uint16_t, std::string> mappings() const;

private:
    void serve();
    void answerDiscovery();
    void answerHttp(int connection);
    std::string control(const std::string& action, const std::string& body);

    std::string address_;
    Script script_;
    int ssdp_ = -1;
    int http_ = -1;
    std::uint16_t httpPort_ = 0;
    int stopPipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<std::string> actions_;
    std::map<std::uint16_t, std::string> mappings_;
    std::thread thread_;
};

}  // namespace kestrio::platform::testing
