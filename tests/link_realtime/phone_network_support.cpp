#include "link_realtime/phone_network_support.h"

#include <unistd.h>

#include <vector>

namespace kestrio::test {

using platform::testing::findProgram;
using platform::testing::runProgram;

std::optional<std::string> PhoneNetwork::unavailable()
{
    if (geteuid() != 0)
        return "needs root for network namespaces";
    for (const char* tool : {"ip", "nft"}) {
        if (findProgram(tool).empty())
            return std::string(tool) + " is not installed";
    }
    return std::nullopt;
}

PhoneNetwork::PhoneNetwork()
{
    const std::string stem = platform::testing::freshLabName();
    host_ = stem + "-host";
    phone_ = stem + "-phone";
    // The veth pair is made inside the namespaces, so its names never meet another run's.
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "netns", "add", host_},
        {"ip", "netns", "add", phone_},
        {"ip", "-n", host_, "link", "set", "lo", "up"},
        {"ip", "-n", phone_, "link", "set", "lo", "up"},
        {"ip", "-n", host_, "link", "add", "wlan", "type", "veth", "peer", "name", "wlan", "netns", phone_},
        {"ip", "-n", host_, "addr", "add", std::string(hostAddress) + "/24", "dev", "wlan"},
        {"ip", "-n", phone_, "addr", "add", std::string(phoneAddress) + "/24", "dev", "wlan"},
        {"ip", "-n", host_, "link", "set", "wlan", "up"},
        {"ip", "-n", phone_, "link", "set", "wlan", "up"},
    };
    for (const auto& step : steps) {
        if (runProgram(step) != 0) {
            error_ = "failed:";
            for (const auto& word : step)
                error_ += " " + word;
            return;
        }
    }
}

PhoneNetwork::~PhoneNetwork()
{
    runProgram({"ip", "netns", "delete", phone_});
    runProgram({"ip", "netns", "delete", host_});
}

bool PhoneNetwork::vanish()
{
    return runProgram({"ip", "netns", "exec", phone_, "nft",
                       "add table inet vanish; "
                       "add chain inet vanish in { type filter hook input priority -500; policy drop; }; "
                       "add chain inet vanish out { type filter hook output priority -500; policy drop; }"})
        == 0;
}

}  // namespace kestrio::test
