#pragma once

// Helpers for tests that need the local services of scripts/services.sh: locating the script,
// running it, and browsing DNS-SD from inside the daemon's mDNS network namespace.
//
// Every program that includes this talks to the tests' own bus and avahi-daemon as its system
// bus, never to the machine's (a desktop's daemon would announce the tests' services on the real
// network): DBUS_SYSTEM_BUS_ADDRESS is set before main(), and so before libdbus reads it.

#include <avahi-client/client.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace kestrio::platform::testing {

// The script: $KESTRIO_SOURCE/scripts/services.sh, else the one next to these test sources.
inline std::optional<std::filesystem::path> servicesScript()
{
    std::vector<std::filesystem::path> roots;
    if (const char* source = std::getenv("KESTRIO_SOURCE"); source && *source)
        roots.emplace_back(source);
    else
        roots.push_back(std::filesystem::path(__FILE__).parent_path().parent_path().parent_path());
    for (const auto& root : roots) {
        auto script = root / "scripts" / "services.sh";
        std::error_code error;
        if (std::filesystem::is_regular_file(script, error))
            return script;
    }
    return std::nullopt;
}

// Where scripts/services.sh keeps the tests' bus: its state folder, as the script chooses it.
inline std::filesystem::path servicesBusSocket()
{
    const char* folder = std::getenv("KESTRIO_SERVICES_STATE_DIR");
    return std::filesystem::path(folder && *folder ? folder : "/run/kestrio-test-services") / "system_bus_socket";
}

inline bool useServicesBus()
{
    return ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + servicesBusSocket().string()).c_str(), 1) == 0;
}

// Initialised before any test, and before the other static objects of the files that include
// this (they are defined after it).
inline const bool servicesBusInUse = useServicesBus();

// CI sets KESTRIO_REQUIRE_MDNS=1: a missing daemon is then a failure, not a reason to skip.
inline bool mdnsRequired()
{
    const char* required = std::getenv("KESTRIO_REQUIRE_MDNS");
    return required && std::string_view(required) == "1";
}

inline std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

struct CommandResult {
    int exitCode = -1;
    std::string output;  // standard output; standard error goes to the test's own
};

// Runs a command and collects its standard output. The child never sees a D-Bus address a test
// may have set for itself: the script finds the tests' bus on its own, and so do the programs it
// runs.
inline CommandResult runCommand(const std::vector<std::string>& arguments)
{
    std::string line = "env -u DBUS_SYSTEM_BUS_ADDRESS";
    for (const auto& argument : arguments)
        line += " " + shellQuote(argument);
    CommandResult result;
    FILE* pipe = popen(line.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, count);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

inline CommandResult runServices(const std::filesystem::path& script, const std::vector<std::string>& arguments)
{
    std::vector<std::string> line{"bash", script.string()};
    line.insert(line.end(), arguments.begin(), arguments.end());
    return runCommand(line);
}

// Why DNS-SD cannot be tested here, or nothing when the tests' daemon answers on their bus.
inline std::optional<std::string> mdnsUnavailableReason()
{
    if (!servicesScript())
        return "scripts/services.sh not found: set KESTRIO_SOURCE to the repository root";
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    if (!poll)
        return "cannot create an avahi poll";
    int error = 0;
    AvahiClient* client = avahi_client_new(avahi_simple_poll_get(poll), AvahiClientFlags(0), nullptr, nullptr, &error);
    std::optional<std::string> reason;
    if (client)
        avahi_client_free(client);
    else
        reason = std::string("no avahi-daemon on the tests' bus at ") + servicesBusSocket().string() + " (" +
                 avahi_strerror(error) + "): run scripts/services.sh start first";
    avahi_simple_poll_free(poll);
    return reason;
}

// Polls `condition` until it holds or `limit` has passed. The daemon and the browsers are real
// programs, so the network needs real time; nothing is asserted about how long it took.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

struct BrowsedService {
    std::string name;
    std::string type;
    std::uint16_t port = 0;
};

// Undoes the escaping of avahi-browse --parsable: "\DDD" is a byte in decimal, "\X" is X.
inline std::string unescapeAvahiLabel(std::string_view text)
{
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            result += text[i];
            continue;
        }
        auto isDigit = [&](std::size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
        if (isDigit(i + 1) && isDigit(i + 2) && isDigit(i + 3)) {
            result += static_cast<char>((text[i + 1] - '0') * 100 + (text[i + 2] - '0') * 10 + (text[i + 3] - '0'));
            i += 3;
        } else {
            result += text[++i];
        }
    }
    return result;
}

inline std::vector<std::string> splitParsableLine(const std::string& line)
{
    // Fields are separated by ';'; a ';' inside a name is escaped as "\059", so a plain split
    // is safe.
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        auto end = line.find(';', start);
        fields.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return fields;
        start = end + 1;
    }
}

// Resolved services as avahi-browse sees them from inside the mDNS namespace.
inline std::vector<BrowsedService> browseWithAvahi(const std::filesystem::path& script, const std::string& type)
{
    // avahi-browse can wait for ever on a resolve the daemon never finishes (a service that goes
    // while it is being resolved): a browse that hangs counts as one that saw nothing.
    auto result = runServices(script, {"mdns-exec", "timeout", "10", "avahi-browse", "--resolve", "--parsable", "--terminate", type});
    std::vector<BrowsedService> services;
    std::size_t start = 0;
    while (start < result.output.size()) {
        auto end = result.output.find('\n', start);
        std::string line = result.output.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? result.output.size() : end + 1;
        // =;interface;protocol;name;type;domain;host;address;port;txt
        auto fields = splitParsableLine(line);
        if (fields.size() < 9 || fields[0] != "=")
            continue;
        BrowsedService service;
        service.name = unescapeAvahiLabel(fields[3]);
        service.type = fields[4];
        service.port = static_cast<std::uint16_t>(std::stoul(fields[8]));
        services.push_back(std::move(service));
    }
    return services;
}

// Resolved services as python-zeroconf sees them on the wire inside the mDNS namespace: a browser
// that shares nothing with the daemon but the network.
inline std::vector<BrowsedService> browseWithZeroconf(const std::filesystem::path& script, const std::string& type)
{
    static constexpr const char* program = R"(
import sys, time
from zeroconf import IPVersion, ServiceBrowser, ServiceListener, Zeroconf
sys.stdout.reconfigure(encoding="utf-8")
kind = sys.argv[1] + ".local."
class Names(ServiceListener):
    def __init__(self): self.names = set()
    def add_service(self, zc, type_, name): self.names.add(name)
    def remove_service(self, zc, type_, name): self.names.discard(name)
    def update_service(self, zc, type_, name): pass
zc = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
names = Names()
browser = ServiceBrowser(zc, kind, names)
time.sleep(1.5)
for name in sorted(names.names):
    info = zc.get_service_info(kind, name, timeout=2000)
    if info and name.endswith("." + kind):
        print(name[: -len(kind) - 1] + "\t" + str(info.port))
browser.cancel()
zc.close()
)";
    auto result = runServices(script, {"mdns-exec", "/usr/bin/python3", "-c", program, type});
    std::vector<BrowsedService> services;
    std::size_t start = 0;
    while (start < result.output.size()) {
        auto end = result.output.find('\n', start);
        std::string line = result.output.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? result.output.size() : end + 1;
        auto tab = line.rfind('\t');
        if (tab == std::string::npos)
            continue;
        services.push_back({line.substr(0, tab), type, static_cast<std::uint16_t>(std::stoul(line.substr(tab + 1)))});
    }
    return services;
}

inline bool contains(const std::vector<BrowsedService>& services, const std::string& name, const std::string& type,
                     std::uint16_t port)
{
    for (const auto& service : services) {
        if (service.name == name && service.type == type && service.port == port)
            return true;
    }
    return false;
}

inline bool containsName(const std::vector<BrowsedService>& services, const std::string& name)
{
    for (const auto& service : services) {
        if (service.name == name)
            return true;
    }
    return false;
}

// A program left running in the background, with a pipe to its standard input; closing it (or
// destroying this object) tells the program to finish, and the destructor waits for it.
class BackgroundCommand {
public:
    explicit BackgroundCommand(const std::vector<std::string>& arguments)
    {
        int input[2];
        int output[2];
        if (pipe2(input, O_CLOEXEC) != 0)
            return;
        if (pipe2(output, O_CLOEXEC) != 0) {
            close(input[0]);
            close(input[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        std::vector<std::string> line{"env", "-u", "DBUS_SYSTEM_BUS_ADDRESS"};
        line.insert(line.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& argument : line)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "env", &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        close(output[1]);
        input_ = input[1];
        output_ = output[0];
    }

    ~BackgroundCommand()
    {
        finish();
        if (output_ >= 0)
            close(output_);
    }

    BackgroundCommand(const BackgroundCommand&) = delete;
    BackgroundCommand& operator=(const BackgroundCommand&) = delete;

    // The next line the program writes, without its newline; nothing once it has ended.
    std::optional<std::string> readLine()
    {
        std::string line;
        char c = 0;
        while (output_ >= 0) {
            ssize_t count = read(output_, &c, 1);
            if (count <= 0)
                return std::nullopt;
            if (c == '\n')
                return line;
            line += c;
        }
        return std::nullopt;
    }

    // Closes the program's standard input and waits for it to end.
    void finish()
    {
        if (input_ >= 0) {
            close(input_);
            input_ = -1;
        }
        if (pid_ > 0) {
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
};

}  // namespace kestrio::platform::testing
