#pragma once

// A home network for tests (router_lab.sh): ISP, router and host in network namespaces of their
// own, with a real miniupnpd on the router. Needs root, iproute2, nft and miniupnpd.

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace kestrio::platform::testing {

// Moves the calling thread into the network namespace at `path` until destroyed. On the main
// thread /proc/net follows too.
class NetworkNamespaceScope {
public:
    explicit NetworkNamespaceScope(const std::string& path);
    ~NetworkNamespaceScope();
    NetworkNamespaceScope(const NetworkNamespaceScope&) = delete;
    bool entered() const { return entered_; }

private:
    int original_ = -1;
    bool entered_ = false;
};

// Runs a command line in sh, with the system's sbin and bin folders first in PATH (a root
// shell's PATH may lack them); its exit status, or -1.
int shell(const std::string& command);
std::optional<std::string> routerLabUnavailable();
sockaddr_in socketAddress(const std::string& address, std::uint16_t port);

class RouterLab {
public:
    static constexpr const char* hostAddress = "192.168.77.2";
    static constexpr const char* routerLanAddress = "192.168.77.1";
    static constexpr const char* routerExternalAddress = "11.22.33.1";  // the ISP is 11.22.33.2

    // With the daemon: miniupnpd on the router, UPnP only (NAT-PMP refused with ICMP).
    explicit RouterLab(bool withDaemon);
    ~RouterLab();

    // Empty when the network and the daemon are up; else what went wrong.
    const std::string& error() const { return error_; }
    std::string path(const char* side) const { return "/run/netns/" + name_ + "-" + side; }  // "isp", "rtr", "host"
    std::string inRouter(const std::string& command) const;  // its output
    // The router's DNAT rules that miniupnpd manages, as nft lists them.
    std::string redirectRules() const { return inRouter("nft list chain inet filter prerouting_miniupnpd"); }
    void freezeDaemon();  // SIGSTOP: the kernel still accepts connections for it
    std::string daemonLog() const;

private:
    std::string name_, folder_, error_;
    pid_t daemon_ = -1;
};

}  // namespace kestrio::platform::testing
