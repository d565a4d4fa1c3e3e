#pragma once

// A home network for tests: ISP, router and host in network namespaces of their own, with a real
// miniupnpd on the router. Needs root, iproute2, nft and miniupnpd.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <netinet/in.h>
#include <sys/types.h>
#include <vector>

namespace kestrio::platform::testing {

// Moves the calling thread into another network namespace until destroyed. Sockets opened
// meanwhile stay in that namespace. On the main thread, /proc/net follows too (libnatpmp reads
// the default gateway from there).
class NetworkNamespaceScope {
public:
    // Enters the namespace of `path` (/run/netns/NAME); empty: a new, empty namespace with only
    // loopback up.
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
// Runs a program (by full path or name) to the end; its output goes to `outputFile` (or is
// dropped). Its exit status, or -1.
int runProgram(std::vector<std::string> arguments, const std::string& outputFile = "/dev/null");
// A name for the network namespaces of a new lab, unique to this process: krPIDnN. What a process
// that died without cleaning up left under such names (namespaces, folders) is removed first.
std::string freshLabName();

// Why the lab cannot run here, or nothing when it can.
std::optional<std::string> routerLabUnavailable();

class RouterLab {
public:
    struct Options {
        bool natPmp = true;
        bool upnp = true;
        // The router drops NAT-PMP requests instead of answering with ICMP port unreachable.
        bool silentNatPmp = false;
        // miniupnpd's permission rules, one a line; whatever they leave out is denied.
        std::string permissions = "allow 1024-65535 192.168.77.0/24 1024-65535";
    };

    static constexpr const char* hostAddress = "192.168.77.2";
    static constexpr const char* routerLanAddress = "192.168.77.1";

    explicit RouterLab(Options options);
    ~RouterLab();
    RouterLab(const RouterLab&) = delete;
    RouterLab& operator=(const RouterLab&) = delete;

    // Empty when the network and (if any protocol is on) miniupnpd are up; else what went wrong.
    const std::string& error() const { return error_; }

    // The WAN is 11.22.33.0/24: router .1, ISP .2.
    static constexpr const char* routerExternalAddress = "11.22.33.1";
    std::string hostNamespace() const { return "/run/netns/" + name_ + "-host"; }
    std::string ispNamespace() const { return "/run/netns/" + name_ + "-isp"; }
    std::string routerNamespace() const { return "/run/netns/" + name_ + "-rtr"; }

    // The router's DNAT rules that miniupnpd manages, as nft lists them.
    std::string redirectRules() const;
    // Stops miniupnpd where it is (SIGSTOP): the kernel still accepts connections for it.
    void freezeDaemon();
    // The end of what miniupnpd has logged so far (refusing a NAT-PMP request, it logs each of
    // the 65535 ports it checked).
    std::string daemonLog() const;

private:
    bool startDaemon();
    void stopDaemon();

    Options options_;
    std::string name_;
    std::string folder_;
    pid_t daemon_ = -1;
    bool networkUp_ = false;
    std::string error_;
};

// `address`:`port` as a socket address.
sockaddr_in socketAddress(const std::string& address, std::uint16_t port);
// A TCP listener on `address`:`port` in the calling thread's namespace; -1 on failure.
int listenTcp(const std::string& address, std::uint16_t port);
// Connects to `address`:`port` from the calling thread's namespace; true when connected.
bool connectTcp(const std::string& address, std::uint16_t port, std::chrono::milliseconds timeout);
// Whether `listener` has a connection to accept within `timeout` (accepts and closes it).
bool acceptsConnection(int listener, std::chrono::milliseconds timeout);

}  // namespace kestrio::platform::testing
