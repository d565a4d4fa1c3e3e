#include "router/router_lab_support.h"
#include "support/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

extern char** environ;

namespace kestrio::platform::testing {

using kestrio::test::readFile;

namespace {

std::filesystem::path labScript()
{
    if (const char* source = std::getenv("KESTRIO_SOURCE"); source && *source)
        return std::filesystem::path(source) / "tests" / "router" / "router_lab.sh";
    return std::filesystem::path(__FILE__).parent_path() / "router_lab.sh";
}

std::vector<char*> argumentVector(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

void bringLoopbackUp()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        ioctl(fd, SIOCSIFFLAGS, &request);
    }
    close(fd);
}

// Lab names carry the test process's id. What a process left when it died without cleaning up
// (killed, or stopped by a sanitizer) is removed: its namespaces and its folder. Its miniupnpd
// died with it.
void removeAbandonedLabs()
{
    static const std::regex labName("(kestrio-router-)?kr([0-9]+)n[0-9]+-.+");
    auto abandoned = [](const char* name) {
        std::cmatch match;
        if (!std::regex_match(name, match, labName))
            return false;
        pid_t owner = static_cast<pid_t>(std::stol(match[2].str()));
        return owner != getpid() && kill(owner, 0) != 0 && errno == ESRCH;
    };
    std::vector<std::string> namespaces;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ignored)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("kr", 0) == 0 && abandoned(name.c_str()))
            namespaces.push_back(name);
    }
    for (const auto& name : namespaces)
        runProgram({"ip", "netns", "delete", name});
    std::vector<std::filesystem::path> folders;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp", ignored)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("kestrio-router-kr", 0) == 0 && abandoned(name.c_str()))
            folders.push_back(entry.path());
    }
    for (const auto& folder : folders)
        std::filesystem::remove_all(folder, ignored);
}

// Whether an IGD answers SSDP discovery from the calling thread's namespace within `wait`.
bool igdAnswersDiscovery(std::chrono::milliseconds wait)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const std::string search = "M-SEARCH * HTTP/1.1\r\n"
                               "HOST: 239.255.255.250:1900\r\n"
                               "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
                               "MAN: \"ssdp:discover\"\r\n"
                               "MX: 1\r\n\r\n";
    sockaddr_in group = socketAddress("239.255.255.250", 1900);
    bool answered = false;
    if (sendto(fd, search.data(), search.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group) > 0) {
        pollfd descriptor{fd, POLLIN, 0};
        answered = poll(&descriptor, 1, static_cast<int>(wait.count())) == 1;
    }
    close(fd);
    return answered;
}

}  // namespace

std::string findProgram(const std::string& name)
{
    for (const char* folder : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        std::string path = std::string(folder) + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

int runProgram(std::vector<std::string> arguments, const std::string& outputFile)
{
    if (arguments[0].find('/') == std::string::npos)
        arguments[0] = findProgram(arguments[0]);
    if (arguments[0].empty())
        return -1;
    auto argv = argumentVector(arguments);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t child = -1;
    int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string freshLabName()
{
    removeAbandonedLabs();
    static std::atomic<int> counter{0};
    return "kr" + std::to_string(getpid()) + "n" + std::to_string(counter++);
}

NetworkNamespaceScope::NetworkNamespaceScope(const std::string& path)
{
    original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0)
        return;
    if (path.empty()) {
        entered_ = unshare(CLONE_NEWNET) == 0;
        if (entered_)
            bringLoopbackUp();
        return;
    }
    int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (target < 0)
        return;
    entered_ = setns(target, CLONE_NEWNET) == 0;
    close(target);
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
    for (const char* tool : {"ip", "nft", "miniupnpd", "mount", "sh"}) {
        if (findProgram(tool).empty())
            return std::string(tool) + " is not installed";
    }
    if (runProgram({"ip", "netns", "list"}) != 0)
        return "`ip netns` does not work here";
    return std::nullopt;
}

RouterLab::RouterLab(Options options) : options_(std::move(options))
{
    name_ = freshLabName();
    std::string folder = "/tmp/kestrio-router-" + name_ + "-XXXXXX";
    if (!mkdtemp(folder.data())) {
        error_ = "cannot make a folder";
        return;
    }
    folder_ = folder;

    std::string log = folder_ + "/lab.log";
    networkUp_ = true;  // `down` cleans up after a half-done `up` too
    if (runProgram({"sh", labScript().string(), "up", name_, "11.22.33"}, log) != 0) {
        error_ = "router_lab.sh up failed: " + readFile(log);
        return;
    }
    if (options_.silentNatPmp) {
        auto nft = [&](const char* command) {
            return runProgram({"ip", "netns", "exec", name_ + "-rtr", findProgram("nft"), command}, log) == 0;
        };
        if (!nft("add chain inet filter input { type filter hook input priority 0; }")
            || !nft("add rule inet filter input udp dport 5351 drop")) {
            error_ = "nft failed: " + readFile(log);
            return;
        }
    }
    if (options_.natPmp || options_.upnp)
        startDaemon();
}

RouterLab::~RouterLab()
{
    stopDaemon();
    if (networkUp_)
        runProgram({"sh", labScript().string(), "down", name_});
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

bool RouterLab::startDaemon()
{
    std::string log = folder_ + "/miniupnpd.log";
    std::vector<std::string> arguments = {findProgram("sh"), labScript().string(), "miniupnpd", name_, folder_,
                                          options_.natPmp ? "yes" : "no", options_.upnp ? "yes" : "no",
                                          options_.permissions};
    auto argv = argumentVector(arguments);
    int output = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) {
        error_ = "cannot write " + log;
        return false;
    }
    pid_t parent = getpid();
    daemon_ = fork();
    if (daemon_ == 0) {
        // The daemon goes when the test process goes, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        // The script, `ip netns exec` and sh replace themselves: this process becomes the daemon.
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    close(output);
    if (daemon_ < 0) {
        error_ = "cannot start miniupnpd";
        return false;
    }
    // Ready once it says it listens for everything it was asked to serve.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = readFile(log);
        bool natPmpReady = !options_.natPmp || text.find("Listening for NAT-PMP") != std::string::npos;
        bool upnpReady = !options_.upnp || text.find("HTTP listening on port") != std::string::npos;
        if (natPmpReady && upnpReady) {
            // It logs nothing once its SSDP socket is ready: ask it.
            NetworkNamespaceScope host(hostNamespace());
            if (!options_.upnp || igdAnswersDiscovery(std::chrono::milliseconds(100)))
                return true;
        }
        int status = 0;
        if (waitpid(daemon_, &status, WNOHANG) == daemon_) {
            daemon_ = -1;
            error_ = "miniupnpd exited: " + text;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error_ = "miniupnpd did not get ready: " + readFile(log);
    return false;
}

void RouterLab::stopDaemon()
{
    if (daemon_ < 0)
        return;
    // A daemon still busy refusing queued NAT-PMP requests reads its signals only between them.
    kill(daemon_, SIGTERM);
    kill(daemon_, SIGCONT);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int status = 0;
    while (waitpid(daemon_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(daemon_, SIGKILL);
            waitpid(daemon_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    daemon_ = -1;
}

std::string RouterLab::redirectRules() const
{
    std::string output = folder_ + "/rules.txt";
    runProgram({"ip", "netns", "exec", name_ + "-rtr", findProgram("nft"), "list", "chain", "inet", "filter",
                "prerouting_miniupnpd"},
               output);
    return readFile(output);
}

void RouterLab::freezeDaemon()
{
    if (daemon_ > 0)
        kill(daemon_, SIGSTOP);
}

std::string RouterLab::daemonLog() const
{
    std::string log = readFile(folder_ + "/miniupnpd.log");
    return log.substr(log.size() - std::min<std::size_t>(log.size(), 4000));
}

sockaddr_in socketAddress(const std::string& address, std::uint16_t port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &result.sin_addr);
    return result;
}

int listenTcp(const std::string& address, std::uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in local = socketAddress(address, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool connectTcp(const std::string& address, std::uint16_t port, std::chrono::milliseconds timeout)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    sockaddr_in remote = socketAddress(address, port);
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd descriptor{fd, POLLOUT, 0};
        if (poll(&descriptor, 1, static_cast<int>(timeout.count())) == 1) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            connected = error == 0;
        }
    }
    close(fd);
    return connected;
}

bool acceptsConnection(int listener, std::chrono::milliseconds timeout)
{
    pollfd descriptor{listener, POLLIN, 0};
    if (poll(&descriptor, 1, static_cast<int>(timeout.count())) != 1)
        return false;
    int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0)
        return false;
    close(connection);
    return true;
}

}  // namespace kestrio::platform::testing
