#pragma once

// A home network for tests: ISP, router and host in network namespaces of their own, with a real
// miniupnpd on the router. Needs root, iproute2, nft and miniupnpd.

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrio::platform::testing {

// Moves the calling thread into the network namespace at `path` (/run/netns/NAME; empty: a new
// one with only loopback up) until destroyed. On the main thread /proc/net follows too.
class NetworkNamespaceScope {
public:
    explicit NetworkNamespaceScope(const std::string& path);
    ~NetworkNamespaceScope();
    NetworkNamespaceScope(const NetworkNamespaceScope&) = delete;
    NetworkNamespaceScope& operator=(const NetworkNamespaceScope&) = delete;
    bool entered() const { return entered_; }

private:
    int original_ = -1;
    bool entered_ = false;
};

// The full path of a system program, or empty. Not from PATH: a root shell's PATH may lack sbin.
std::string findProgram(const std::string& name);
// Runs a program to the end, its output into `outputFile`; its exit status, or -1.
int runProgram(std::vector<std::string> arguments, const std::string& outputFile = "/dev/null");
// A name for new network namespaces, unique to this process: krPIDnN. What a process that died
// without cleaning up left under such names is removed first.
std::string freshLabName();
std::optional<std::string> routerLabUnavailable();
sockaddr_in socketAddress(const std::string& address, std::uint16_t port);

class RouterLab {
public:
    struct Options {
        bool natPmp = true;
        bool upnp = true;
        bool silentNatPmp = false;  // NAT-PMP requests dropped instead of refused with ICMP
        // miniupnpd's permission rules, one a line; whatever they leave out is denied.
        std::string permissions = "allow 1024-65535 192.168.77.0/24 1024-65535";
    };
    static constexpr const char* hostAddress = "192.168.77.2";
    static constexpr const char* routerLanAddress = "192.168.77.1";
    static constexpr const char* routerExternalAddress = "11.22.33.1";  // the ISP is 11.22.33.2

    explicit RouterLab(Options options);
    ~RouterLab();
    RouterLab(const RouterLab&) = delete;
    RouterLab& operator=(const RouterLab&) = delete;

    // Empty when the network and (if any protocol is on) miniupnpd are up; else what went wrong.
    const std::string& error() const { return error_; }
    std::string hostNamespace() const { return "/run/netns/" + name_ + "-host"; }
    std::string ispNamespace() const { return "/run/netns/" + name_ + "-isp"; }
    std::string routerNamespace() const { return "/run/netns/" + name_ + "-rtr"; }
    // The router's DNAT rules that miniupnpd manages, as nft lists them.
    std::string redirectRules() const;
    // SIGSTOP: the kernel still accepts connections for it.
    void freezeDaemon();
    std::string daemonLog() const;

private:
    Options options_;
    std::string name_;
    std::string folder_;
    pid_t daemon_ = -1;
    std::string error_;
};

}  // namespace kestrio::platform::testing
