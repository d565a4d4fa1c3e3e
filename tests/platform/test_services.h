#pragma once

// Helpers for tests that need the local services of scripts/services.sh: locating the script,
// running it, and browsing DNS-SD from inside the daemon's mDNS network namespace.
//
// Every program that includes this talks to the tests' own bus and avahi-daemon as its system
// bus, never to the machine's (a desktop's daemon would announce the tests' services on the real
// network): DBUS_SYSTEM_BUS_ADDRESS is set before main(), and so before libdbus reads it.

#include "link/service_advertiser.h"
#include "platform/linux/child_process_run.h"

#include <avahi-client/client.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrio::platform::testing {

// The script: $KESTRIO_SOURCE/scripts/services.sh, else the one next to these test sources.
inline std::optional<std::filesystem::path> servicesScript()
{
    const char* source = std::getenv("KESTRIO_SOURCE");
    const std::filesystem::path root = source && *source
                                           ? std::filesystem::path(source)
                                           : std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
    std::error_code error;
    if (std::filesystem::is_regular_file(root / "scripts" / "services.sh", error))
        return root / "scripts" / "services.sh";
    return std::nullopt;
}

// Where scripts/services.sh keeps the tests' bus: its state folder, as the script chooses it.
inline std::filesystem::path servicesBusSocket()
{
    const char* folder = std::getenv("KESTRIO_SERVICES_STATE_DIR");
    return std::filesystem::path(folder && *folder ? folder : "/run/kestrio-test-services") / "system_bus_socket";
}

// Initialised before any test, and before the other static objects of the files that include
// this (they are defined after it).
inline const bool servicesBusInUse =
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + servicesBusSocket().string()).c_str(), 1) == 0;

// The script with `arguments`, its standard output collected. The child never sees a D-Bus
// address a test may have set for itself: the script finds the tests' bus on its own, and so do
// the programs it runs.
inline ChildProcessResult runServices(const std::filesystem::path& script, const std::vector<std::string>& arguments)
{
    std::vector<std::string> line{"-u", "DBUS_SYSTEM_BUS_ADDRESS", "bash", script.string()};
    line.insert(line.end(), arguments.begin(), arguments.end());
    ChildProcessOptions options;
    options.capture = ChildProcessOptions::Capture::output;
    options.timeout = std::chrono::seconds(60);
    return runChildProcess("env", line, options);
}

// Why DNS-SD cannot be tested here, or nothing when the tests' daemon answers on their bus.
// CI sets KESTRIO_REQUIRE_MDNS=1: a missing daemon is then a failure, not a reason to skip.
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

inline bool mdnsRequired()
{
    const char* required = std::getenv("KESTRIO_REQUIRE_MDNS");
    return required && std::string_view(required) == "1";
}

// Polls `condition` until it holds or `limit` has passed. The daemon and the browsers are real
// programs, so the network needs real time; nothing is asserted about how long it took.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// "<instance name>\t<port>" for every service of `type` that python-zeroconf resolves on the wire
// inside the mDNS namespace: a browser that shares nothing with the daemon but the network. A
// browse that hangs counts as one that saw nothing.
inline std::vector<std::string> browse(const std::filesystem::path& script, const std::string& type)
{
    static constexpr const char* program = R"(
import sys, time
from zeroconf import IPVersion, ServiceBrowser, ServiceStateChange, Zeroconf
sys.stdout.reconfigure(encoding="utf-8")
kind, names = sys.argv[1] + ".local.", set()
def changed(zeroconf, service_type, name, state_change):
    (names.add if state_change is ServiceStateChange.Added else names.discard)(name)
zc = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
browser = ServiceBrowser(zc, kind, handlers=[changed])
time.sleep(1.5)
for name in sorted(names):
    info = zc.get_service_info(kind, name, timeout=2000)
    if info and name.endswith("." + kind):
        print(name[: -len(kind) - 1] + "\t" + str(info.port))
zc.close()
)";
    const std::string output =
        runServices(script, {"mdns-exec", "timeout", "10", "/usr/bin/python3", "-c", program, type}).output;
    std::vector<std::string> services;
    for (std::size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos; start = end + 1)
        services.push_back(output.substr(start, end - start));
    return services;
}

// Whether `services` hold `name` (at `port`, unless it is 0).
inline bool browsed(const std::vector<std::string>& services, const std::string& name, std::uint16_t port = 0)
{
    for (const auto& service : services) {
        if (port ? service == name + "\t" + std::to_string(port) : service.starts_with(name + "\t"))
            return true;
    }
    return false;
}

// Tests of several programs share one daemon: every instance name carries the process id.
inline std::string instanceName(const std::string& label)
{
    return label + " " + std::to_string(getpid()) + " · KS1";
}

// Skips (or, with KESTRIO_REQUIRE_MDNS=1, fails) without the tests' daemon; waits on what the
// network and the registrations show.
class MdnsTest : public ::testing::Test {
protected:
    static constexpr const char* serviceType = "_kestrio._tcp";

    void SetUp() override
    {
        if (auto reason = mdnsUnavailableReason()) {
            if (mdnsRequired())
                FAIL() << *reason << " (KESTRIO_REQUIRE_MDNS=1)";
            GTEST_SKIP() << *reason;
        }
        script_ = *servicesScript();
    }

    bool visible(const std::string& name, std::uint16_t port)
    {
        return eventually([&] { return browsed(browse(script_, serviceType), name, port); });
    }

    bool gone(const std::string& name)
    {
        return eventually([&] { return !browsed(browse(script_, serviceType), name); });
    }

    static bool reaches(const link::ServiceRegistration& registration, link::ServiceRegistration::State state)
    {
        return eventually([&] { return registration.state() == state; });
    }

    std::filesystem::path script_;
};

}  // namespace kestrio::platform::testing
