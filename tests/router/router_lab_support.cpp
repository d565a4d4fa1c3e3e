#include "router/router_lab_support.h"
#include "support/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

extern char** environ;

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

std::vector<char*> argumentVector(std::vector<std::string>& arguments)
{
    if (arguments[0].find('/') == std::string::npos)
        arguments[0] = findProgram(arguments[0]);
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return argv;
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

std::string findProgram(const std::string& name)
{
    for (const char* folder : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"})
        if (const auto path = std::string(folder) + "/" + name; access(path.c_str(), X_OK) == 0)
            return path;
    return {};
}

int runProgram(std::vector<std::string> arguments, const std::string& outputFile)
{
    auto argv = argumentVector(arguments);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t child = -1;
    const int spawned = arguments[0].empty() ? -1 : posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    while (spawned == 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return spawned == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Names carry the owner's process id: a lab whose owner is gone was abandoned (killed, or stopped
// by a sanitizer); its miniupnpd died with it.
std::string freshLabName()
{
    static const std::regex labName("(kestrio-router-)?kr([0-9]+)n[0-9]+-.+");
    std::error_code ignored;
    for (const char* folder : {"/run/netns", "/tmp"}) {
        std::vector<std::filesystem::path> abandoned;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
            const std::string name = entry.path().filename().string();
            std::smatch match;
            if (std::regex_match(name, match, labName) && match[1].matched == (folder[1] == 't') && kill(std::stoi(match.str(2)), 0) != 0 && errno == ESRCH)
                abandoned.push_back(entry.path());
        }
        for (const auto& path : abandoned)
            folder[1] == 't' ? static_cast<void>(std::filesystem::remove_all(path, ignored))
                             : static_cast<void>(runProgram({"ip", "netns", "delete", path.filename().string()}));
    }
    static std::atomic<int> counter{0};
    return "kr" + std::to_string(getpid()) + "n" + std::to_string(counter++);
}

NetworkNamespaceScope::NetworkNamespaceScope(const std::string& path) : original_(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC))
{
    if (original_ >= 0 && path.empty()) {
        // The child `ip` starts in this thread's new namespace.
        if ((entered_ = unshare(CLONE_NEWNET) == 0))
            runProgram({"ip", "link", "set", "lo", "up"});
    } else if (const int target = original_ < 0 ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC); target >= 0) {
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
    for (const char* tool : {"ip", "nft", "miniupnpd", "mount", "sh"})
        if (findProgram(tool).empty())
            return std::string(tool) + " is not installed";
    return runProgram({"ip", "netns", "list"}) == 0 ? std::nullopt : std::optional<std::string>("`ip netns` does not work here");
}

sockaddr_in socketAddress(const std::string& address, std::uint16_t port)
{
    sockaddr_in result{AF_INET, htons(port), {}, {}};
    inet_pton(AF_INET, address.c_str(), &result.sin_addr);
    return result;
}

RouterLab::RouterLab(Options options) : options_(std::move(options)), name_(freshLabName())
{
    std::string folder = "/tmp/kestrio-router-" + name_ + "-XXXXXX";
    if (!mkdtemp(folder.data())) {
        error_ = "cannot make a folder";
        return;
    }
    folder_ = folder;
    const std::string log = folder_ + "/miniupnpd.log";
    if (runProgram({"sh", labScript(), "up", name_, "11.22.33"}, log) != 0) {
        error_ = "router_lab.sh up failed: " + readFile(log);
        return;
    }
    for (const char* rule : {"add chain inet filter input { type filter hook input priority 0; }", "add rule inet filter input udp dport 5351 drop"})
        if (options_.silentNatPmp && runProgram({"ip", "netns", "exec", name_ + "-rtr", findProgram("nft"), rule}, log) != 0) {
            error_ = "nft failed: " + readFile(log);
            return;
        }
    if (!options_.natPmp && !options_.upnp)
        return;
    std::vector<std::string> arguments = {"sh", labScript(), "miniupnpd", name_, folder_, options_.natPmp ? "yes" : "no",
                                          options_.upnp ? "yes" : "no", options_.permissions};
    auto argv = argumentVector(arguments);
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
            execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    close(output);
    // Ready once it says it listens for everything asked, and (it logs nothing then) answers SSDP.
    for (const auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
        const std::string text = readFile(log);
        if ((!options_.natPmp || text.find("Listening for NAT-PMP") != std::string::npos)
            && (!options_.upnp || (text.find("HTTP listening on port") != std::string::npos && NetworkNamespaceScope(hostNamespace()).entered()
                                   && igdAnswersDiscovery())))
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
        runProgram({"sh", labScript(), "down", name_});  // also after a half-done `up`
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::string RouterLab::redirectRules() const
{
    const std::string output = folder_ + "/rules.txt";
    runProgram({"ip", "netns", "exec", name_ + "-rtr", findProgram("nft"), "list", "chain", "inet", "filter", "prerouting_miniupnpd"}, output);
    return readFile(output);
}

void RouterLab::freezeDaemon()
{
    if (daemon_ > 0)
        kill(daemon_, SIGSTOP);
}

std::string RouterLab::daemonLog() const
{
    const std::string log = readFile(folder_ + "/miniupnpd.log");
    return log.substr(log.size() - std::min<std::size_t>(log.size(), 4000));
}

}  // namespace kestrio::platform::testing
