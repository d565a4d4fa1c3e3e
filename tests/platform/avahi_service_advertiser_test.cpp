#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/test_services.h"

#include <memory>
namespace kestrio::platform::avahi {
namespace {

using State = link::ServiceRegistration::State;
using AvahiServiceAdvertiserTest = testing::MdnsTest;
using testing::instanceName;

// Another responder on the network holds the name, so the first registration takes "#2" once
// the daemon's probe collides; the second, asking for the same name on this host, goes on to "#3".
TEST_F(AvahiServiceAdvertiserTest, TakesAlternativeNamesFromTheNetworkAndThisHostAndWithdrawsEachAlone)
{
    static constexpr const char* rival = R"(
import socket, sys, time
from zeroconf import IPVersion, ServiceInfo, Zeroconf
kind = sys.argv[2] + ".local."
zc = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
zc.register_service(ServiceInfo(kind, sys.argv[1] + "." + kind, port=48241, addresses=[socket.inet_aton("127.0.0.1")],
                                server="kestrio-rival.local."))
time.sleep(600)
)";
    const std::string name = instanceName("rival");
    const testing::ChildStopper stop{os::startChildProcess("env", {"-u", "DBUS_SYSTEM_BUS_ADDRESS", "bash", testing::servicesScript().string(),
                                                               "mdns-exec", "/usr/bin/python3", "-c", rival, name, serviceType})};
    ASSERT_TRUE(visible(name, 48241)) << "the rival responder did not start";

    AvahiServiceAdvertiser advertiser;
    auto first = advertiser.advertise({name, serviceType, 48211});
    ASSERT_TRUE(reaches(*first, State::established));
    EXPECT_TRUE(advertiser.daemonAvailable());
    auto second = advertiser.advertise({name, serviceType, 48212});
    ASSERT_TRUE(reaches(*second, State::established));
    EXPECT_EQ(first->publishedName(), name + " #2");
    EXPECT_EQ(second->publishedName(), name + " #3");
    EXPECT_TRUE(visible(name + " #2", 48211));
    EXPECT_TRUE(visible(name + " #3", 48212));

    // Withdrawing one leaves the other. (Whether "#2" is seen to go depends on the rival's cache.)
    first.reset();
    EXPECT_EQ(second->state(), State::established);
    EXPECT_TRUE(visible(name + " #3", 48212));
}

TEST_F(AvahiServiceAdvertiserTest, ARegistrationTheDaemonRefusesFailsAloneAndRegistrationsOutliveTheAdvertiser)
{
    auto advertiser = std::make_unique<AvahiServiceAdvertiser>();
    const std::string name = instanceName("fine");
    // A DNS label holds at most 63 bytes.
    auto tooLong = advertiser->advertise({std::string(64, 'x') + " · KS1", serviceType, 48281});
    auto badType = advertiser->advertise({instanceName("typo"), "kestrio-tcp", 48282});
    auto fine = advertiser->advertise({name, serviceType, 48283});
    advertiser.reset();
    EXPECT_TRUE(reaches(*tooLong, State::failed));
    EXPECT_TRUE(reaches(*badType, State::failed));
    ASSERT_TRUE(reaches(*fine, State::established));
    EXPECT_TRUE(visible(name, 48283));
    fine.reset();
    EXPECT_TRUE(visible(name, 0, false));
}

}  // namespace
}  // namespace kestrio::platform::avahi
