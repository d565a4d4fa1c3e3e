#include "link_realtime/phone_network_support.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <regex>
#include <vector>

extern char** environ;

namespace kestrio::test {
namespace {

// Namespace names carry the test process's id, so that what a killed run left can be told apart
// from what a parallel run is using.
const std::regex namespaceName("kv([0-9]+)n[0-9]+-(host|phone)");

std::string findProgram(const std::string& name)
{
    for (const char* folder : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        std::string path = std::string(folder) + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

// Runs a system program to the end with its output dropped; its exit status, or -1.
int run(std::vector<std::string> arguments)
{
    arguments[0] = findProgram(arguments[0]);
    if (arguments[0].empty())
        return -1;
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void removeAbandonedNamespaces()
{
    std::vector<std::string> abandoned;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ignored)) {
        const std::string name = entry.path().filename().string();
        std::smatch match;
        if (!std::regex_match(name, match, namespaceName))
            continue;
        const auto owner = static_cast<pid_t>(std::stol(match[1].str()));
        if (owner != getpid() && kill(owner, 0) != 0 && errno == ESRCH)
            abandoned.push_back(name);
    }
    for (const auto& name : abandoned)
        run({"ip", "netns", "delete", name});
}

}  // namespace

NamespaceScope::NamespaceScope(const std::string& name)
{
    original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (original_ >= 0 && target >= 0)
        entered_ = setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        close(target);
}

NamespaceScope::~NamespaceScope()
{
    if (entered_)
        setns(original_, CLONE_NEWNET);
    if (original_ >= 0)
        close(original_);
}

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
    removeAbandonedNamespaces();
    static std::atomic<int> counter{0};
    const std::string stem = "kv" + std::to_string(getpid()) + "n" + std::to_string(counter++);
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
        if (run(step) != 0) {
            error_ = "failed:";
            for (const auto& word : step)
                error_ += " " + word;
            return;
        }
    }
}

PhoneNetwork::~PhoneNetwork()
{
    run({"ip", "netns", "delete", phone_});
    run({"ip", "netns", "delete", host_});
}

bool PhoneNetwork::vanish()
{
    return run({"ip", "netns", "exec", phone_, "nft",
                "add table inet vanish; "
                "add chain inet vanish in { type filter hook input priority -500; policy drop; }; "
                "add chain inet vanish out { type filter hook output priority -500; policy drop; }"}) == 0;
}

}  // namespace kestrio::test
