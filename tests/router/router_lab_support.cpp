#include "router/router_lab_support.h"
#include "support/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace kestrio::platform::testing {

using kestrio::test::readFile;
using namespace std::chrono_literals;

namespace {

std::string labScript()
{
    const char* source = std::getenv("KESTRIO_SOURCE");
    return source && *source ? std::string(source) + "/tests/router/router_lab.sh"
                             : (std::filesystem::path(__FILE__).parent_path() / "router_lab.sh").string();
}

// A name unique to this process, krPIDnN. What a process that died without cleaning up left
// under such names (its miniupnpd died with it) is removed first.
std::string freshLabName()
{
    std::error_code ignored;
    for (const std::string folder : {"/run/netns", "/tmp"})
        for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
            const std::string name = entry.path().filename(), prefix = folder == "/tmp" ? "kestrio-router-" : "";
            int owner = 0, end = 0;
            if (name.starts_with(prefix) && (std::sscanf(name.c_str() + prefix.size(), "kr%dn%*d-%n", &owner, &end), end > 0) && kill(owner, 0) != 0 && errno == ESRCH)
                prefix.empty() ? shell("ip netns delete " + name) : static_cast<int>(std::filesystem::remove_all(entry.path(), ignored));
        }
    static std::atomic<int> counter{0};
    return "kr" + std::to_string(getpid()) + "n" + std::to_string(counter++);
}

// Whether an IGD answers SSDP discovery from the calling thread's namespace within 100 ms.
bool igdAnswersDiscovery()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const std::string search = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                               "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\n\r\n";
    const sockaddr_in group = socketAddress("239.255.255.250", 1900);
    pollfd descriptor{fd, POLLIN, 0};
    const bool answered = sendto(fd, search.data(), search.size(), 0, reinterpret_cast<const sockaddr*>(&group), sizeof group) > 0
                          && poll(&descriptor, 1, 100) == 1;
    close(fd);
    return answered;
}

}  // namespace

int shell(const std::string& command)
{
    const int status = std::system(("PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH; " + command).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

NetworkNamespaceScope::NetworkNamespaceScope(const std::string& path) : original_(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC))
{
    if (const int target = original_ < 0 ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC); target >= 0) {
        entered_ = setns(target, CLONE_NEWNET) == 0;
        close(target);
    }
}

NetworkNamespaceScope::~NetworkNamespaceScope()
{
    if (entered_)
        setns(original_, CLONE_NEWNET);
    if (original_ >= 0)
        close(original_);
}

std::optional<std::string> routerLabUnavailable()
{
    if (geteuid() != 0)
        return "needs root for network namespaces";
    if (shell("for tool in ip nft miniupnpd mount; do command -v $tool || exit 1; done >/dev/null && ip netns list >/dev/null") != 0)
        return "needs iproute2 (with a working `ip netns`), nft and miniupnpd";
    return std::nullopt;
}

sockaddr_in socketAddress(const std::string& address, std::uint16_t port)
{
    sockaddr_in result{AF_INET, htons(port), {}, {}};
    inet_pton(AF_INET, address.c_str(), &result.sin_addr);
    return result;
}

RouterLab::RouterLab(bool withDaemon) : name_(freshLabName()), folder_("/tmp/kestrio-router-" + name_ + "-XXXXXX")
{
    if (!mkdtemp(folder_.data())) {
        folder_.clear();
        error_ = "cannot make a folder";
        return;
    }
    const std::string log = folder_ + "/miniupnpd.log";
    if (shell("sh " + labScript() + " up " + name_ + " 11.22.33 >" + log + " 2>&1") != 0) {
        error_ = "router_lab.sh up failed: " + readFile(log);
        return;
    }
    if (!withDaemon)
        return;
    const std::string script = labScript();
    const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t parent = getpid();
    if (output < 0 || (daemon_ = fork()) < 0) {
        error_ = "cannot start miniupnpd";
        return;
    }
    if (daemon_ == 0) {
        // The daemon goes when the test process goes, however that ends. The script, `ip netns
        // exec` and sh replace themselves: this process becomes the daemon.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() == parent && dup2(output, STDOUT_FILENO) >= 0 && dup2(output, STDERR_FILENO) >= 0)
            execl("/bin/sh", "sh", script.c_str(), "miniupnpd", name_.c_str(), folder_.c_str(), "no", "yes",
                  "allow 1024-65535 192.168.77.0/24 1024-65535", nullptr);
        _exit(127);
    }
    close(output);
    // Ready once it says it listens for HTTP, and (it logs nothing then) answers SSDP.
    for (const auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
        const std::string text = readFile(log);
        if (text.find("HTTP listening on port") != std::string::npos && NetworkNamespaceScope(path("host")).entered() && igdAnswersDiscovery())
            return;
        if (waitpid(daemon_, nullptr, WNOHANG) == daemon_) {
            daemon_ = -1;
            error_ = "miniupnpd exited: " + text;
            return;
        }
    }
    error_ = "miniupnpd did not get ready: " + readFile(log);
}

RouterLab::~RouterLab()
{
    if (daemon_ > 0 && kill(daemon_, SIGKILL) == 0)
        waitpid(daemon_, nullptr, 0);
    if (!folder_.empty()) {
        shell("sh " + labScript() + " down " + name_);  // also after a half-done `up`
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::string RouterLab::inRouter(const std::string& command) const
{
    shell("ip netns exec " + name_ + "-rtr " + command + " >" + folder_ + "/output.txt 2>&1");
    return readFile(folder_ + "/output.txt");
}

void RouterLab::freezeDaemon()
{
    if (daemon_ > 0)
        kill(daemon_, SIGSTOP);
}

std::string RouterLab::daemonLog() const
{
    return readFile(folder_ + "/miniupnpd.log");
}

}  // namespace kestrio::platform::testing
