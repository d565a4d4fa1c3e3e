#pragma once

// The bus and avahi-daemon of scripts/services.sh, and DNS-SD browsed inside its mDNS namespace.
// A program that includes this never talks to the machine's daemon, which would announce the
// tests' services on the real network: DBUS_SYSTEM_BUS_ADDRESS is set before libdbus reads it.

#include "link/service_advertiser.h"
#include "platform/linux/child_process_run.h"
#include "platform/platform_test.h"

#include <avahi-client/client.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <gtest/gtest.h>

#include <unistd.h>

namespace kestrio::platform::testing {

inline std::filesystem::path servicesScript()
{
    const char* source = std::getenv("KESTRIO_SOURCE");
    return (source && *source ? std::filesystem::path(source)
                              : std::filesystem::path(__FILE__).parent_path().parent_path().parent_path()) /
           "scripts" / "services.sh";
}

inline std::filesystem::path servicesBusSocket()
{
    const char* folder = std::getenv("KESTRIO_SERVICES_STATE_DIR");
    return std::filesystem::path(folder && *folder ? folder : "/run/kestrio-test-services") / "system_bus_socket";
}

inline const bool servicesBusInUse =
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + servicesBusSocket().string()).c_str(), 1) == 0;

// The script and what it runs find the tests' bus on their own.
inline ChildProcessResult runServices(const std::vector<std::string>& arguments)
{
    std::vector<std::string> line{"-u", "DBUS_SYSTEM_BUS_ADDRESS", "bash", servicesScript().string()};
    line.insert(line.end(), arguments.begin(), arguments.end());
    return runChildProcess("env", line, {.timeout = std::chrono::seconds(60), .capture = ChildProcessOptions::Capture::output});
}

// "\n<instance name>\t<port>" for every service of `type` that python-zeroconf resolves on the
// wire inside the mDNS namespace: a browser that shares nothing with the daemon but the network.
// A browse that hangs counts as one that saw nothing.
inline std::string browse(const std::string& type)
{
    static constexpr const char* program = R"(
import sys, time
from zeroconf import IPVersion, ServiceBrowser, ServiceStateChange, Zeroconf
sys.stdout.reconfigure(encoding="utf-8")
kind, names = sys.argv[1] + ".local.", set()
zc = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
ServiceBrowser(zc, kind, handlers=[lambda zeroconf, service_type, name, state_change:
                                   (names.add if state_change is ServiceStateChange.Added else names.discard)(name)])
time.sleep(1.5)
for name in sorted(names):
    info = zc.get_service_info(kind, name, timeout=2000)
    if info and name.endswith("." + kind):
        print("\n" + name[: -len(kind) - 1] + "\t" + str(info.port), end="")
zc.close()
)";
    return runServices({"mdns-exec", "timeout", "10", "/usr/bin/python3", "-c", program, type}).output + "\n";
}

// Programs share one daemon: every instance name carries the process id.
inline std::string instanceName(const std::string& label)
{
    return label + " " + std::to_string(getpid()) + " · KS1";
}

// Skips without the tests' daemon, or fails when CI sets KESTRIO_REQUIRE_MDNS=1.
class MdnsTest : public ::testing::Test {
protected:
    static constexpr const char* serviceType = "_kestrio._tcp";

    void SetUp() override
    {
        AvahiSimplePoll* poll = avahi_simple_poll_new();
        int error = 0;
        AvahiClient* client = avahi_client_new(avahi_simple_poll_get(poll), AvahiClientFlags(0), nullptr, nullptr, &error);
        if (client)
            avahi_client_free(client);
        avahi_simple_poll_free(poll);
        if (client && std::filesystem::is_regular_file(servicesScript()))
            return;
        const std::string reason = "no avahi-daemon on the tests' bus at " + servicesBusSocket().string() + " (" +
                                   avahi_strerror(error) + "), or no scripts/services.sh (KESTRIO_SOURCE): run it with start";
        if (const char* required = std::getenv("KESTRIO_REQUIRE_MDNS"); required && std::string_view(required) == "1")
            FAIL() << reason << " (KESTRIO_REQUIRE_MDNS=1)";
        GTEST_SKIP() << reason;
    }

    // Whether a browse shows `name` (at `port`, unless it is 0), or stops showing it, within a generous bound.
    static bool visible(const std::string& name, std::uint16_t port = 0, bool shown = true)
    {
        const std::string line = "\n" + name + "\t" + (port ? std::to_string(port) + "\n" : "");
        return eventually([&] { return (browse(serviceType).find(line) != std::string::npos) == shown; });
    }

    static bool reaches(const link::ServiceRegistration& registration, link::ServiceRegistration::State state)
    {
        return eventually([&] { return registration.state() == state; });
    }
};

}  // namespace kestrio::platform::testing
