#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/test_services.h"

#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

namespace kestrio::platform {
namespace {

using namespace std::chrono_literals;
using link::ServiceRegistration;
using State = ServiceRegistration::State;
using AvahiServiceAdvertiserTest = testing::MdnsTest;
using testing::instanceName;

TEST_F(AvahiServiceAdvertiserTest, PublishesOnTheWireTakesAnAlternativeNameAndWithdrawsEachAlone)
{
    AvahiServiceAdvertiser advertiser;
    const std::string name = instanceName("studio");
    auto first = advertiser.advertise({name, serviceType, 48211});
    EXPECT_EQ(first->publishedName(), name);
    ASSERT_TRUE(reaches(*first, State::established));
    EXPECT_TRUE(advertiser.daemonAvailable());
    // The same name again on this host.
    auto second = advertiser.advertise({name, serviceType, 48212});
    ASSERT_TRUE(reaches(*second, State::established));
    EXPECT_EQ(first->publishedName(), name);
    EXPECT_EQ(second->publishedName(), name + " #2");
    EXPECT_TRUE(visible(name, 48211));
    EXPECT_TRUE(visible(name + " #2", 48212));

    first.reset();
    EXPECT_TRUE(gone(name));
    EXPECT_EQ(second->state(), State::established);
    EXPECT_TRUE(visible(name + " #2", 48212));
    second.reset();
    EXPECT_TRUE(gone(name + " #2"));
}

TEST_F(AvahiServiceAdvertiserTest, TakesAnAlternativeNameWhenAnotherResponderOnTheNetworkHoldsIt)
{
    const std::string name = instanceName("rival");
    // Another mDNS responder in the namespace: python-zeroconf answering for the name until it is
    // asked to end. It says it is ready on the descriptor it is given.
    static constexpr const char* rival = R"(
import os, signal, socket, sys
from zeroconf import IPVersion, ServiceInfo, Zeroconf
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
name, kind, port, ready = sys.argv[1], sys.argv[2] + ".local.", int(sys.argv[3]), int(sys.argv[4])
zc = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
info = ServiceInfo(kind, name + "." + kind, port=port, addresses=[socket.inet_aton("127.0.0.1")],
                   server="kestrio-rival.local.")
zc.register_service(info)
os.write(ready, b"ready\n")
os.close(ready)
signal.sigwait({signal.SIGTERM})
zc.unregister_service(info)
zc.close()
)";
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    const pid_t responder =
        startChildProcess("env", {"-u", "DBUS_SYSTEM_BUS_ADDRESS", "bash", script_.string(), "mdns-exec", "/usr/bin/python3",
                                  "-c", rival, name, serviceType, "48241", std::to_string(ends[1])},
                          ends[1]);
    close(ends[1]);
    char said[8] = {};
    const bool ready = responder > 0 && read(ends[0], said, sizeof said) == 6;
    close(ends[0]);
    ASSERT_TRUE(ready) << "the rival responder did not start";

    AvahiServiceAdvertiser advertiser;
    auto registration = advertiser.advertise({name, serviceType, 48242});
    EXPECT_TRUE(reaches(*registration, State::established));
    EXPECT_EQ(registration->publishedName(), name + " #2");
    EXPECT_TRUE(visible(name + " #2", 48242));
    stopChildProcess(responder, 10s);
}

TEST_F(AvahiServiceAdvertiserTest, ARegistrationTheDaemonRefusesFailsAloneAndRegistrationsOutliveTheAdvertiser)
{
    auto advertiser = std::make_unique<AvahiServiceAdvertiser>();
    const std::string name = instanceName("fine");
    // DNS labels hold at most 63 bytes.
    auto tooLong = advertiser->advertise({std::string(64, 'x') + " · KS1", serviceType, 48281});
    auto badType = advertiser->advertise({instanceName("typo"), "kestrio-tcp", 48282});
    auto fine = advertiser->advertise({name, serviceType, 48283});
    advertiser.reset();

    EXPECT_TRUE(reaches(*tooLong, State::failed));
    EXPECT_TRUE(reaches(*badType, State::failed));
    ASSERT_TRUE(reaches(*fine, State::established));
    EXPECT_TRUE(visible(name, 48283));
    fine.reset();
    EXPECT_TRUE(gone(name));
}

}  // namespace
}  // namespace kestrio::platform
