#pragma once

// The bus and avahi-daemon of scripts/services.sh, and DNS-SD browsed inside its mDNS namespace.
// A program that includes this never talks to the machine's daemon, which would announce the
// tests' services on the real network: DBUS_SYSTEM_BUS_ADDRESS is set before libdbus reads it.

#include "link/service_advertiser.h"
#include "platform/os/child_process_run.h"
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
inline os::ChildProcessResult runServices(const std::vector<std::string>& arguments)
{
    std::vector<std::string> line{"-u", "DBUS_SYSTEM_BUS_ADDRESS", "bash", servicesScript().string()};
    line.insert(line.end(), arguments.begin(), arguments.end());
    return os::runChildProcess("env", line, {.timeout = std::chrono::seconds(60), .capture = os::ChildProcessOptions::Capture::output});
}

// The port python-zeroconf resolves for the instance `name` of `type` inside the mDNS namespace, or
// "" when nothing answers in time. Asked for by name: a fresh browser may miss a service the daemon
// has just announced, which a phone browsing on would hear. By multicast: every mDNS socket here
// shares 127.0.0.1:5353, so an answer sent to one alone may reach another.
inline std::string resolvedPort(const std::string& type, const std::string& name)
{
    static constexpr const char* program = R"(
import sys
from zeroconf import DNSQuestionType, IPVersion, Zeroconf
kind = sys.argv[1] + ".local."
zc = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
info = zc.get_service_info(kind, sys.argv[2] + "." + kind, timeout=3000, question_type=DNSQuestionType.QM)
print(info.port if info else "", end="")
zc.close()
)";
    return runServices({"mdns-exec", "timeout", "10", "/usr/bin/python3", "-c", program, type, name}).output;
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

    // Whether `name` resolves (at `port`, unless it is 0), or stops resolving, within a generous bound.
    static ::testing::AssertionResult visible(const std::string& name, std::uint16_t port = 0, bool shown = true)
    {
        std::string found;
        if (eventually([&] { return ((found = resolvedPort(serviceType, name)) == std::to_string(port) || (!port && !found.empty())) == shown; }))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << name << (found.empty() ? " does not resolve" : " resolves at port " + found);
    }

    static bool reaches(const link::ServiceRegistration& registration, link::ServiceRegistration::State state)
    {
        return eventually([&] { return registration.state() == state; });
    }
};

}  // namespace kestrio::platform::testing
