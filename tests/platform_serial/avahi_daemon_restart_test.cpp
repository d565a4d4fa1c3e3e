#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/test_services.h"
#include "runtime/virtual_clock.h"

namespace kestrio::platform::avahi {
namespace {

using State = link::ServiceRegistration::State;
using namespace testing;

// The tests' bus through a link of this program's own, which a test removes to take the bus away
// from it alone; set before main(), as libdbus reads the address once.
const test::TemporaryDirectory busFolder;
const std::filesystem::path busLink = busFolder.path() / "system_bus_socket";
void connectBus()
{
    std::error_code error;
    std::filesystem::create_symlink(servicesBusSocket(), busLink, error);
}
[[maybe_unused]] const bool busLinked =
    (connectBus(), setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + busLink.string()).c_str(), 1) == 0);

// These tests end and start the tests' avahi-daemon, so they run alone.
using AvahiDaemonRestartTest = MdnsTest;

TEST_F(AvahiDaemonRestartTest, PublishesOnceTheDaemonAppearsAndAgainAfterItRestarts)
{
    EXPECT_EQ(runServices({"avahi-stop"}).exitStatus, 0);
    AvahiServiceAdvertiser advertiser;
    auto registration = advertiser.advertise({instanceName("late"), serviceType, 48311});
    // Every step expects rather than asserts, so that the daemon is always started again.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(runServices({"avahi-start"}).exitStatus, 0);
        EXPECT_TRUE(reaches(*registration, State::established)) << round;
        EXPECT_TRUE(advertiser.daemonAvailable());
        EXPECT_TRUE(visible(instanceName("late"), 48311));
        EXPECT_EQ(runServices({"avahi-stop"}).exitStatus, 0);
        EXPECT_TRUE(reaches(*registration, State::waiting));
        EXPECT_TRUE(eventually([&] { return !advertiser.daemonAvailable(); }));
    }
    EXPECT_EQ(runServices({"avahi-start"}).exitStatus, 0) << "avahi-daemon is not back";
}

TEST_F(AvahiDaemonRestartTest, WaitsForTheSystemBusOnTheClockAndConnectsOnceItIsThere)
{
    std::filesystem::remove(busLink);
    auto clock = std::make_shared<runtime::VirtualClock>();
    AvahiServiceAdvertiser advertiser(clock);
    auto registration = advertiser.advertise({instanceName("bus"), serviceType, 48321});
    // Each attempt without a bus fails and leaves one retry on the clock.
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_TRUE(eventually([&] { return clock->pendingTimers() == 1; })) << attempt;
        EXPECT_EQ(clock->nextTimerIn(), AvahiServiceAdvertiser::reconnectDelay);
        EXPECT_EQ(registration->state(), State::waiting);
        if (attempt == 1)
            connectBus();
        clock->advance(AvahiServiceAdvertiser::reconnectDelay);
    }
    ASSERT_TRUE(reaches(*registration, State::established));
    EXPECT_EQ(clock->pendingTimers(), 0u);
    EXPECT_TRUE(visible(instanceName("bus"), 48321));
}

}  // namespace
}  // namespace kestrio::platform::avahi
