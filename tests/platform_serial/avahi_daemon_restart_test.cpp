// These tests end and start the tests' avahi-daemon (through scripts/services.sh), so they run
// alone.

#include "platform/avahi/avahi_service_advertiser.h"
#include "support/test_support.h"
#include "platform/test_services.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace kestrio::platform {
namespace {

using link::ServiceRegistration;
using test::TemporaryDirectory;
using testing::browseWithAvahi;
using testing::contains;
using testing::containsName;
using testing::eventually;
using testing::runServices;

constexpr const char* serviceType = "_kestrio._tcp";

// This program reaches the tests' bus through a link of its own, so that a test can take the bus
// away from it (and only from it) by removing the link. libdbus reads the address once per
// process, so the link is set up before anything in the process talks D-Bus.
class SystemBusLink {
public:
    SystemBusLink() : real_(testing::servicesBusSocket())
    {
        if (folder_.path().empty())
            return;
        link_ = folder_.path() / "system_bus_socket";
        connect();
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + link_.string()).c_str(), 1);
    }

    SystemBusLink(const SystemBusLink&) = delete;
    SystemBusLink& operator=(const SystemBusLink&) = delete;

    bool ready() const { return !link_.empty(); }

    void connect()
    {
        std::error_code error;
        std::filesystem::create_symlink(real_, link_, error);
    }

    void disconnect()
    {
        std::error_code error;
        std::filesystem::remove(link_, error);
    }

private:
    std::filesystem::path real_;
    TemporaryDirectory folder_;
    std::filesystem::path link_;
};

SystemBusLink& systemBusLink()
{
    static SystemBusLink link;
    return link;
}

[[maybe_unused]] const bool systemBusLinkInstalled = systemBusLink().ready();

std::string instanceName(const std::string& label)
{
    return label + " " + std::to_string(getpid()) + " · KS1";
}

class AvahiDaemonRestartTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::optional<std::string> reason = testing::mdnsUnavailableReason();
        if (!reason && !systemBusLink().ready())
            reason = "cannot make a link to the tests' bus in the temporary folder";
        if (reason) {
            if (testing::mdnsRequired())
                FAIL() << *reason << " (KESTRIO_REQUIRE_MDNS=1)";
            GTEST_SKIP() << *reason;
        }
        script_ = *testing::servicesScript();
    }

    bool visible(const std::string& name, std::uint16_t port)
    {
        return eventually([&] { return contains(browseWithAvahi(script_, serviceType), name, serviceType, port); });
    }

    bool gone(const std::string& name)
    {
        return eventually([&] { return !containsName(browseWithAvahi(script_, serviceType), name); });
    }

    static bool reaches(const ServiceRegistration& registration, ServiceRegistration::State state)
    {
        return eventually([&] { return registration.state() == state; });
    }

    std::filesystem::path script_;
};

// Starts the daemon again when the test ends, however it ends.
class DaemonRestorer {
public:
    explicit DaemonRestorer(std::filesystem::path script) : script_(std::move(script)) {}
    ~DaemonRestorer()
    {
        auto result = runServices(script_, {"avahi-start"});
        EXPECT_EQ(result.exitCode, 0) << "could not start avahi-daemon again";
    }

    DaemonRestorer(const DaemonRestorer&) = delete;
    DaemonRestorer& operator=(const DaemonRestorer&) = delete;

private:
    std::filesystem::path script_;
};

TEST_F(AvahiDaemonRestartTest, PublishesOnceTheDaemonAppearsAndAgainAfterItRestarts)
{
    DaemonRestorer restorer(script_);
    ASSERT_EQ(runServices(script_, {"avahi-stop"}).exitCode, 0);

    AvahiServiceAdvertiser advertiser;
    const std::string name = instanceName("late");
    auto registration = advertiser.advertise({name, serviceType, 48311});
    EXPECT_EQ(registration->state(), ServiceRegistration::State::waiting);
    EXPECT_FALSE(advertiser.daemonAvailable());
    EXPECT_EQ(registration->publishedName(), name);

    ASSERT_EQ(runServices(script_, {"avahi-start"}).exitCode, 0);
    ASSERT_TRUE(reaches(*registration, ServiceRegistration::State::established));
    EXPECT_TRUE(advertiser.daemonAvailable());
    EXPECT_TRUE(visible(name, 48311));

    ASSERT_EQ(runServices(script_, {"avahi-stop"}).exitCode, 0);
    EXPECT_TRUE(reaches(*registration, ServiceRegistration::State::waiting));
    EXPECT_TRUE(eventually([&] { return !advertiser.daemonAvailable(); }));

    ASSERT_EQ(runServices(script_, {"avahi-start"}).exitCode, 0);
    ASSERT_TRUE(reaches(*registration, ServiceRegistration::State::established));
    EXPECT_EQ(registration->publishedName(), name);
    EXPECT_TRUE(visible(name, 48311));

    registration.reset();
    EXPECT_TRUE(gone(name));
}

TEST_F(AvahiDaemonRestartTest, WaitsForTheSystemBusAndConnectsOnceItIsThere)
{
    struct BusRestorer {
        ~BusRestorer() { systemBusLink().connect(); }
    } busRestorer;
    systemBusLink().disconnect();

    auto clock = std::make_shared<runtime::VirtualClock>();
    AvahiServiceAdvertiser advertiser(clock);
    const std::string name = instanceName("bus");
    auto registration = advertiser.advertise({name, serviceType, 48321});

    // The first attempt fails and leaves a retry on the clock.
    ASSERT_TRUE(eventually([&] { return clock->pendingTimers() == 1; }));
    EXPECT_EQ(clock->nextTimerIn(), AvahiServiceAdvertiser::reconnectDelay);
    EXPECT_EQ(registration->state(), ServiceRegistration::State::waiting);
    EXPECT_FALSE(advertiser.daemonAvailable());

    // Still no bus: the retry fails too and schedules the next one.
    clock->advance(AvahiServiceAdvertiser::reconnectDelay);
    ASSERT_TRUE(eventually([&] { return clock->pendingTimers() == 1; }));
    EXPECT_EQ(registration->state(), ServiceRegistration::State::waiting);

    systemBusLink().connect();
    clock->advance(AvahiServiceAdvertiser::reconnectDelay);
    ASSERT_TRUE(reaches(*registration, ServiceRegistration::State::established));
    EXPECT_TRUE(advertiser.daemonAvailable());
    EXPECT_EQ(clock->pendingTimers(), 0u);
    EXPECT_TRUE(visible(name, 48321));
}

}  // namespace
}  // namespace kestrio::platform
