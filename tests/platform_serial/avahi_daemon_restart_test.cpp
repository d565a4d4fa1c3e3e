// These tests end and start the tests' avahi-daemon (through scripts/services.sh), so they run
// alone.

#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/test_services.h"
#include "runtime/virtual_clock.h"
#include "support/test_support.h"

#include <filesystem>
#include <memory>

namespace kestrio::platform {
namespace {

using State = link::ServiceRegistration::State;
using testing::instanceName;
using testing::runServices;

// This program reaches the tests' bus through a link of its own, so that a test can take the bus
// away from it (and only from it) by removing the link. libdbus reads the address once per
// process, so the link is made before anything in the process talks D-Bus.
const test::TemporaryDirectory busFolder;
const std::filesystem::path busLink = busFolder.path() / "system_bus_socket";
void connectBus()
{
    std::error_code error;
    std::filesystem::create_symlink(testing::servicesBusSocket(), busLink, error);
}
[[maybe_unused]] const bool busLinked =
    (connectBus(), setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + busLink.string()).c_str(), 1) == 0);

class AvahiDaemonRestartTest : public testing::MdnsTest {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(busFolder.path().empty());
        MdnsTest::SetUp();
    }
};

TEST_F(AvahiDaemonRestartTest, PublishesOnceTheDaemonAppearsAndAgainAfterItRestarts)
{
    // Starts the daemon again when the test ends, however it ends.
    struct Restorer {
        std::filesystem::path script;
        ~Restorer() { EXPECT_EQ(runServices(script, {"avahi-start"}).exitStatus, 0) << "avahi-daemon is not back"; }
    } restorer{script_};
    ASSERT_EQ(runServices(script_, {"avahi-stop"}).exitStatus, 0);

    AvahiServiceAdvertiser advertiser;
    const std::string name = instanceName("late");
    auto registration = advertiser.advertise({name, serviceType, 48311});
    EXPECT_EQ(registration->state(), State::waiting);
    EXPECT_FALSE(advertiser.daemonAvailable());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(runServices(script_, {"avahi-start"}).exitStatus, 0);
        ASSERT_TRUE(reaches(*registration, State::established));
        EXPECT_TRUE(advertiser.daemonAvailable());
        EXPECT_EQ(registration->publishedName(), name);
        EXPECT_TRUE(visible(name, 48311));
        if (round == 0) {
            ASSERT_EQ(runServices(script_, {"avahi-stop"}).exitStatus, 0);
            EXPECT_TRUE(reaches(*registration, State::waiting));
            EXPECT_TRUE(testing::eventually([&] { return !advertiser.daemonAvailable(); }));
        }
    }
    registration.reset();
    EXPECT_TRUE(gone(name));
}

TEST_F(AvahiDaemonRestartTest, WaitsForTheSystemBusOnTheClockAndConnectsOnceItIsThere)
{
    struct BusRestorer {
        ~BusRestorer() { connectBus(); }
    } busRestorer;
    std::filesystem::remove(busLink);

    auto clock = std::make_shared<runtime::VirtualClock>();
    AvahiServiceAdvertiser advertiser(clock);
    const std::string name = instanceName("bus");
    auto registration = advertiser.advertise({name, serviceType, 48321});
    // Each attempt without a bus fails and leaves one retry on the clock.
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_TRUE(testing::eventually([&] { return clock->pendingTimers() == 1; })) << attempt;
        EXPECT_EQ(clock->nextTimerIn(), AvahiServiceAdvertiser::reconnectDelay);
        EXPECT_EQ(registration->state(), State::waiting);
        EXPECT_FALSE(advertiser.daemonAvailable());
        if (attempt == 0)
            clock->advance(AvahiServiceAdvertiser::reconnectDelay);
    }

    connectBus();
    clock->advance(AvahiServiceAdvertiser::reconnectDelay);
    ASSERT_TRUE(reaches(*registration, State::established));
    EXPECT_TRUE(advertiser.daemonAvailable());
    EXPECT_EQ(clock->pendingTimers(), 0u);
    EXPECT_TRUE(visible(name, 48321));
}

}  // namespace
}  // namespace kestrio::platform
