#include "platform/phones/usbmux_device_lister.h"

#include "locale_support.h"
#include "support/test_support.h"
#include "usbmuxd_stand_in_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>

namespace kestrio::phones {
namespace {

namespace fs = std::filesystem;
using test::TemporaryDirectory;
using namespace std::chrono_literals;
using Link = StandInDevice::Link;
using Lockdown = StandInDevice::Lockdown;

// Below libimobiledevice's own 30 seconds for a lockdown answer: a listing still running by
// then is not held to the bound.
constexpr auto watchdog = 20s;
// Short, so that the cases in which it passes end soon; long enough for a loaded machine
// (or a sanitizer build) to get through the cases in which it must not.
constexpr auto bound = 2s;

// Where libusbmuxd looks for usbmuxd, set before anything in this process uses the library,
// while no other thread runs. libusbmuxd 2.0.2 reads USBMUXD_SOCKET_ADDRESS ("UNIX:" and a
// path) at every connection, but threads a test leaves behind may still be connecting while
// the next one runs, and setenv would race with them.
class UsbmuxdSocketEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        directory_ = std::make_unique<TemporaryDirectory>();
        path = (directory_->path() / "usbmuxd").string();
        setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + path).c_str(), 1);
    }
    void TearDown() override { directory_.reset(); }

    static inline std::string path;

private:
    std::unique_ptr<TemporaryDirectory> directory_;
};

[[maybe_unused]] const auto* const socketEnvironment =
    ::testing::AddGlobalTestEnvironment(new UsbmuxdSocketEnvironment);

const std::string wifi(wifiTransport);

PairedIPhone phone(std::string id, std::string name, std::string model, std::string transport)
{
    return PairedIPhone{id, std::move(name), std::move(model), std::move(transport), id};
}

StandInDevice device(int deviceID, std::string udid, Link link, std::map<std::string, std::string> values,
                     Lockdown lockdown = Lockdown::answers)
{
    return StandInDevice{deviceID, std::move(udid), link, lockdown, std::move(values)};
}

std::map<std::string, std::string> iPhone(std::string name, std::string type)
{
    return {{"DeviceClass", "iPhone"}, {"ProductType", std::move(type)}, {"DeviceName", std::move(name)}};
}

class UsbmuxDeviceListerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(UsbmuxdSocketEnvironment::path.empty()); }

    // Lists in a thread of its own, so that a listing that hangs fails the test instead of
    // stalling it.
    static DeviceListResult list()
    {
        UsbmuxDeviceLister lister(bound);
        auto listing = std::async(std::launch::async, [&] { return lister.listPairedDevices(); });
        if (listing.wait_for(watchdog) != std::future_status::ready)
            ADD_FAILURE() << "the listing was not bounded";
        return listing.get();
    }

    ScopedDefaultLocale locale_{"en_US"};
};

TEST_F(UsbmuxDeviceListerTest, ListsThePhonesOnUsbAndNetworkByTheirLockdownNames)
{
    UsbmuxdStandIn usbmuxd(
        UsbmuxdSocketEnvironment::path,
        {
            device(1, "00008120-000A1B2C3D4E5F60", Link::usb, iPhone("Zoe’s iPhone", "iPhone15,2")),
            device(2, "00008101-0011223344556677", Link::network, iPhone("Ari’s iPhone", "iPhone14,5")),
            device(3, "00008103-0009988776655443", Link::usb,
                   {{"DeviceClass", "iPad"}, {"ProductType", "iPad13,4"}, {"DeviceName", "Studio iPad"}}),
            // Tells only its hardware type, and that is not a phone's.
            device(4, "00008030-000F0E0D0C0B0A09", Link::network, {{"ProductType", "iPod9,1"}}),
            // Tells only its hardware type: that is its name, too.
            device(5, "00008030-0001020304050607", Link::usb, {{"ProductType", "iPhone12,8"}}),
            // On the network and on USB: listed once, on USB, and asked there.
            device(7, "00008120-0000000000000001", Link::network, iPhone("Both", "iPhone15,2")),
            device(8, "00008120-0000000000000001", Link::usb, iPhone("Both", "iPhone15,2")),
        });
    ASSERT_TRUE(usbmuxd.ready());

    const DeviceListResult result = list();
    EXPECT_EQ(result.error, std::nullopt);
    const std::vector<PairedIPhone> expected{
        phone("00008101-0011223344556677", "Ari’s iPhone", "iPhone14,5", wifi),
        phone("00008120-0000000000000001", "Both", "iPhone15,2", "USB"),
        phone("00008030-0001020304050607", "iPhone12,8", "iPhone12,8", "USB"),
        phone("00008120-000A1B2C3D4E5F60", "Zoe’s iPhone", "iPhone15,2", "USB"),
    };
    EXPECT_EQ(result.phones, expected);
    // The lockdown port, in network byte order as libusbmuxd sends it, for every USB device.
    for (unsigned port : usbmuxd.connectPorts())
        EXPECT_EQ(port, htons(62078));
    EXPECT_EQ(usbmuxd.connectPorts().size(), 4u);
    EXPECT_EQ(usbmuxd.lockdownRequests("00008120-0000000000000001"),
              (std::vector<std::string>{"USB GetValue DeviceClass", "USB GetValue ProductType", "USB GetValue DeviceName"}));
    EXPECT_EQ(usbmuxd.lockdownRequests("00008101-0011223344556677"),
              (std::vector<std::string>{"Network GetValue DeviceClass", "Network GetValue ProductType",
                                        "Network GetValue DeviceName"}));
    // Once a device has said it is no phone, its name does not matter.
    EXPECT_EQ(usbmuxd.lockdownRequests("00008103-0009988776655443"),
              (std::vector<std::string>{"USB GetValue DeviceClass"}));
}

TEST_F(UsbmuxDeviceListerTest, ListsPhonesWhoseLockdownCannotBeAskedWithinTheBound)
{
    UsbmuxdStandIn usbmuxd(UsbmuxdSocketEnvironment::path,
                           {
                               device(1, "REFUSED-USB", Link::usb, iPhone("Never read", "iPhone15,2"),
                                      Lockdown::refusesConnection),
                               device(2, "REFUSED-NETWORK", Link::network, iPhone("Never read", "iPhone15,2"),
                                      Lockdown::refusesConnection),
                               device(3, "SILENT", Link::usb, iPhone("Never said", "iPhone15,2"),
                                      Lockdown::neverAnswers),
                               device(4, "SILENT-NETWORK", Link::network, iPhone("Never said", "iPhone15,2"),
                                      Lockdown::neverAnswers),
                               device(5, "HUNG-UP", Link::usb, iPhone("Cut off", "iPhone15,2"),
                                      Lockdown::closesMidReply),
                               device(6, "TALKATIVE", Link::usb, iPhone("Talkative", "iPhone13,1")),
                           });
    ASSERT_TRUE(usbmuxd.ready());

    const DeviceListResult result = list();
    EXPECT_EQ(result.error, std::nullopt);
    const std::vector<PairedIPhone> expected{
        // Unknown to the end, in the order usbmuxd listed them.
        phone("REFUSED-USB", "iPhone", "", "USB"),
        phone("REFUSED-NETWORK", "iPhone", "", wifi),
        phone("SILENT", "iPhone", "", "USB"),
        phone("SILENT-NETWORK", "iPhone", "", wifi),
        phone("HUNG-UP", "iPhone", "", "USB"),
        phone("TALKATIVE", "Talkative", "iPhone13,1", "USB"),
    };
    EXPECT_EQ(result.phones, expected);
    // The silent ones were asked, and got no further than the first question.
    EXPECT_EQ(usbmuxd.lockdownRequests("SILENT"), (std::vector<std::string>{"USB GetValue DeviceClass"}));
    EXPECT_EQ(usbmuxd.lockdownRequests("SILENT-NETWORK"), (std::vector<std::string>{"Network GetValue DeviceClass"}));
    EXPECT_EQ(usbmuxd.lockdownRequests("HUNG-UP"), (std::vector<std::string>{"USB GetValue DeviceClass"}));
    // Hangs up on the questions still waiting, which then end by themselves.
    usbmuxd.stop();
}

TEST_F(UsbmuxDeviceListerTest, WithoutAUsbmuxdThatAnswersTheListingFails)
{
    // Nothing at the socket's path.
    DeviceListResult result = list();
    EXPECT_TRUE(result.phones.empty());
    EXPECT_FALSE(result.error.value_or("").empty());

    const std::vector<StandInDevice> devices{device(1, "A", Link::usb, iPhone("A", "iPhone15,2"))};
    // Gone, its socket left behind; silent; breaking off its list and refusing the older way of
    // listing, after which libusbmuxd 2.0.2 reports devices but hands back no list.
    using Reply = UsbmuxdStandIn::ListReply;
    for (const auto reply : {Reply::answers, Reply::never, Reply::breaksOff}) {
        SCOPED_TRACE(static_cast<int>(reply));
        UsbmuxdStandIn usbmuxd(UsbmuxdSocketEnvironment::path, devices, reply);
        ASSERT_TRUE(usbmuxd.ready());
        if (reply == Reply::answers)
            usbmuxd.stop();
        ASSERT_TRUE(fs::exists(UsbmuxdSocketEnvironment::path));
        result = list();
        EXPECT_TRUE(result.phones.empty());
        EXPECT_FALSE(result.error.value_or("").empty());
    }
}

}  // namespace
}  // namespace kestrio::phones
