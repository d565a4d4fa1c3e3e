#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/test_services.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrio::platform {
namespace {

using link::ServiceAdvertisement;
using link::ServiceRegistration;
using testing::browseWithAvahi;
using testing::browseWithZeroconf;
using testing::contains;
using testing::containsName;
using testing::eventually;

constexpr const char* serviceType = "_kestrio._tcp";

// Tests of several programs share one daemon: every instance name carries the process id.
std::string instanceName(const std::string& label)
{
    return label + " " + std::to_string(getpid()) + " · KS1";
}

class AvahiServiceAdvertiserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = testing::mdnsUnavailableReason()) {
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

    static bool established(const ServiceRegistration& registration)
    {
        return eventually([&] { return registration.state() == ServiceRegistration::State::established; });
    }

    std::filesystem::path script_;
};

TEST_F(AvahiServiceAdvertiserTest, PublishesTheServiceOnTheNetworkUntilTheRegistrationIsDestroyed)
{
    AvahiServiceAdvertiser advertiser;
    const std::string name = instanceName("studio");
    auto registration = advertiser.advertise({name, serviceType, 48211});
    EXPECT_EQ(registration->publishedName(), name);

    ASSERT_TRUE(established(*registration));
    EXPECT_TRUE(advertiser.daemonAvailable());
    EXPECT_EQ(registration->publishedName(), name);
    // A browser that shares nothing with the daemon but the multicast: what went on the wire.
    EXPECT_TRUE(eventually([&] { return contains(browseWithZeroconf(script_, serviceType), name, serviceType, 48211); }))
        << "python-zeroconf does not see \"" << name << "\"";
    EXPECT_TRUE(visible(name, 48211)) << "avahi-browse does not see \"" << name << "\"";

    registration.reset();
    EXPECT_TRUE(gone(name));
    EXPECT_TRUE(eventually([&] { return !containsName(browseWithZeroconf(script_, serviceType), name); }))
        << "the withdrawal did not reach python-zeroconf";
}

TEST_F(AvahiServiceAdvertiserTest, KeepsTwoRegistrationsApart)
{
    AvahiServiceAdvertiser advertiser;
    const std::string first = instanceName("first");
    const std::string second = instanceName("second");
    auto one = advertiser.advertise({first, serviceType, 48221});
    auto two = advertiser.advertise({second, serviceType, 48222});

    ASSERT_TRUE(established(*one));
    ASSERT_TRUE(established(*two));
    EXPECT_TRUE(visible(first, 48221));
    EXPECT_TRUE(visible(second, 48222));

    one.reset();
    EXPECT_TRUE(gone(first));
    EXPECT_EQ(two->state(), ServiceRegistration::State::established);
    EXPECT_TRUE(visible(second, 48222));
}

TEST_F(AvahiServiceAdvertiserTest, TakesAnAlternativeNameWhenTheNameIsTakenOnThisHost)
{
    AvahiServiceAdvertiser advertiser;
    const std::string name = instanceName("twin");
    auto first = advertiser.advertise({name, serviceType, 48231});
    ASSERT_TRUE(established(*first));
    auto second = advertiser.advertise({name, serviceType, 48232});

    ASSERT_TRUE(established(*second));
    EXPECT_EQ(first->publishedName(), name);
    EXPECT_EQ(second->publishedName(), name + " #2");
    EXPECT_TRUE(visible(name, 48231));
    EXPECT_TRUE(visible(name + " #2", 48232));
}

TEST_F(AvahiServiceAdvertiserTest, TakesAnAlternativeNameWhenAnotherResponderOnTheNetworkHoldsIt)
{
    const std::string name = instanceName("rival");
    // Another mDNS responder in the namespace: python-zeroconf answering for the name.
    static constexpr const char* rival = R"(
import socket, sys
from zeroconf import IPVersion, ServiceInfo, Zeroconf
name, kind, port = sys.argv[1], sys.argv[2] + ".local.", int(sys.argv[3])
zc = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
info = ServiceInfo(kind, name + "." + kind, port=port, addresses=[socket.inet_aton("127.0.0.1")],
                   server="kestrio-rival.local.")
zc.register_service(info)
print("ready", flush=True)
sys.stdin.read()
zc.unregister_service(info)
zc.close()
)";
    testing::BackgroundCommand responder(
        {"bash", script_.string(), "mdns-exec", "/usr/bin/python3", "-c", rival, name, serviceType, "48241"});
    ASSERT_EQ(responder.readLine(), std::optional<std::string>("ready"));

    AvahiServiceAdvertiser advertiser;
    auto registration = advertiser.advertise({name, serviceType, 48242});
    ASSERT_TRUE(established(*registration));
    EXPECT_EQ(registration->publishedName(), name + " #2");
    EXPECT_TRUE(visible(name + " #2", 48242));
    responder.finish();
}

TEST_F(AvahiServiceAdvertiserTest, ARegistrationTheDaemonRefusesFailsAlone)
{
    AvahiServiceAdvertiser advertiser;
    const std::string name = instanceName("fine");
    // DNS labels hold at most 63 bytes.
    auto tooLong = advertiser.advertise({std::string(64, 'x') + " · KS1", serviceType, 48281});
    auto badType = advertiser.advertise({instanceName("typo"), "kestrio-tcp", 48282});
    auto fine = advertiser.advertise({name, serviceType, 48283});

    EXPECT_TRUE(eventually([&] { return tooLong->state() == ServiceRegistration::State::failed; }));
    EXPECT_TRUE(eventually([&] { return badType->state() == ServiceRegistration::State::failed; }));
    ASSERT_TRUE(established(*fine));
    EXPECT_TRUE(visible(name, 48283));
}

TEST_F(AvahiServiceAdvertiserTest, RegistrationOutlivesTheAdvertiser)
{
    const std::string name = instanceName("orphan");
    auto advertiser = std::make_unique<AvahiServiceAdvertiser>();
    auto registration = advertiser->advertise({name, serviceType, 48251});
    advertiser.reset();

    ASSERT_TRUE(established(*registration));
    EXPECT_TRUE(visible(name, 48251));
    registration.reset();
    EXPECT_TRUE(gone(name));
}

TEST_F(AvahiServiceAdvertiserTest, AdvertiserOutlivesItsRegistrations)
{
    AvahiServiceAdvertiser advertiser;
    const std::string name = instanceName("again");
    for (int round = 0; round < 2; ++round) {
        auto registration = advertiser.advertise({name, serviceType, 48261});
        ASSERT_TRUE(established(*registration));
        EXPECT_EQ(registration->publishedName(), name);
        EXPECT_TRUE(visible(name, 48261));
    }
    EXPECT_TRUE(gone(name));
}

TEST_F(AvahiServiceAdvertiserTest, RegistrationsComeAndGoFromSeveralThreads)
{
    AvahiServiceAdvertiser advertiser;
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread) {
        threads.emplace_back([&, thread] {
            for (int round = 0; round < 3; ++round) {
                auto name = instanceName("busy " + std::to_string(thread) + "." + std::to_string(round));
                auto registration = advertiser.advertise({name, serviceType, static_cast<std::uint16_t>(48270 + thread)});
                if (AvahiServiceAdvertiserTest::established(*registration) && registration->publishedName() == name)
                    ++succeeded;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(succeeded.load(), 12);
}

}  // namespace
}  // namespace kestrio::platform
