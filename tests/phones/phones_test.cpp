#include "platform/usbmux/usbmux_device_lister.h"

#include "phones/name_ordering.h"
#include "runtime/base64.h"
#include "support/scoped_default_locale.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <endian.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace kestrio::phones {
namespace {

using test::ScopedDefaultLocale;
using test::TemporaryDirectory;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string wifi(wifiTransport);

PairedIPhone phone(std::string id, std::string name, std::string model, std::string transport)
{
    return PairedIPhone{id, std::move(name), std::move(model), std::move(transport), id};
}

TEST(NameOrderingTest, OrdersByNumberValueIgnoringCaseAndFormButNotAccentsInTheDefaultLocale)
{
    constexpr int unchecked = 2;
    const char* const composed = "Caf\xC3\xA9";
    const char* const decomposed = "Cafe\xCC\x81";
    struct Case {
        const char* locale;
        std::string a, b;
        int order;   // of localizedStandardCompare(a, b): -1, 0, 1, or unchecked
        bool equal;  // localizedCaseInsensitiveEqual(a, b)
    };
    const Case cases[] = {
        {"en_US", "iPhone 9", "iPhone 10", -1, false}, {"en_US", "iPhone 10", "iphone 11", -1, false}, {"en_US", "iPhone 100", "iPhone 99", 1, false},
        {"en_US", "Mina’s iPhone", "MINA’S IPHONE", 0, true}, {"en_US", composed, decomposed, 0, true}, {"en_US", "Cafe", composed, -1, false},
        {"en_US", "apple", "Banana", -1, false}, {"en_US", "iPhone", "iPhone ", unchecked, false}, {"en_US", "iPhone 01", "iPhone 1", unchecked, false},
        {"en_US", "I", "ı", unchecked, false}, {"en_US", "지민의 iPhone", "Mina’s iPhone", 1, false},
        // Korean puts Hangul before Latin letters, Swedish Ö after Z; ICU's LANG=C would put capitals first.
        {"ko_KR", "지민의 iPhone", "Mina’s iPhone", -1, false}, {"de_DE", "Öl", "Zebra", -1, false}, {"sv_SE", "Öl", "Zebra", 1, false},
        {"en_US_POSIX", "iPhone", "IPHONE", 0, true}, {"en_US_POSIX", "apple", "Banana", -1, false},
        // Turkish pairs the dotless i with I, and the dotted capital with i.
        {"tr_TR", "I", "ı", 0, true}, {"tr_TR", "İ", "i", 0, true}, {"tr_TR", "I", "i", unchecked, false},
    };
    const auto sign = [](int value) { return (value > 0) - (value < 0); };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.locale) + ": " + c.a + " / " + c.b);
        ScopedDefaultLocale locale(c.locale);
        EXPECT_TRUE(c.order == unchecked || sign(localizedStandardCompare(c.a, c.b)) == c.order);
        EXPECT_EQ(localizedCaseInsensitiveEqual(c.a, c.b), c.equal);
    }
}

// Lists in a thread of its own, so that a listing that hangs fails the test instead of stalling
// it; below libimobiledevice's own 30 seconds for a lockdown answer.
DeviceListResult list(DeviceLister& lister)
{
    auto listing = std::async(std::launch::async, [&] { return lister.listPairedDevices(); });
    if (listing.wait_for(20s) != std::future_status::ready)
        ADD_FAILURE() << "the listing did not end";
    return listing.get();
}

struct StandInDevice {
    enum class Lockdown { answers, refusesConnection, neverAnswers, closesMidReply };
    int deviceID = 0;
    std::string udid;
    bool network = false;
    // GetValue's answers by key; other keys are answered with an error, as a device does.
    std::map<std::string, std::string> values;
    Lockdown lockdown = Lockdown::answers;
};
using Lockdown = StandInDevice::Lockdown;

std::string plist(const std::string& entries) { return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + entries + "</dict></plist>"; }
std::string entry(const std::string& key, const std::string& type, const std::string& value)
{
    return "<key>" + key + "</key><" + type + ">" + value + "</" + type + ">";
}

// The text of a key's string or number in a message. (No std::regex here: the stand-in's threads
// would share the locale's unguarded caches.)
std::string valueIn(const std::string& message, const std::string& key)
{
    const std::string tag = "<key>" + key + "</key>";
    const std::size_t at = message.find(tag);
    const std::size_t start = at == std::string::npos ? at : message.find('>', at + tag.size()) + 1;
    return start == std::string::npos ? "" : message.substr(start, message.find('<', start) - start);
}

bool readAll(int fd, void* data, std::size_t size) { return recv(fd, data, size, MSG_WAITALL) == static_cast<ssize_t>(size); }

std::string bytes(const auto& value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

// Sends `header` and `message`, or (`half`) half of the message and hangs up.
bool sendMessage(int fd, const std::string& header, const std::string& message, bool half = false)
{
    const std::string data = header + message.substr(0, half ? message.size() / 2 : message.size());
    const bool sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    if (half)
        shutdown(fd, SHUT_RDWR);
    return sent && !half;
}

// Where libusbmuxd looks for usbmuxd, set before main, while no other thread runs: threads a
// test leaves behind may still be connecting while the next one runs, and setenv would race.
const TemporaryDirectory socketDirectory;
const std::string socketPath = [] {
    const auto path = (socketDirectory.path() / "usbmuxd").string();
    setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + path).c_str(), 1);
    return path;
}();

// A usbmuxd of our own, speaking the plist protocol as libusbmuxd 2.0 does (16-byte little-endian
// header: length, version 1, type 8, tag; XML plist): "ListDevices", and "Connect", which turns
// the connection into the device's lockdown stream (4-byte big-endian length, XML plist).
// Network devices are reached at their NetworkAddress, as libimobiledevice connects there itself:
// each gets a lockdown listener of its own on a loopback address taken at random.
class UsbmuxdStandIn {
public:
    // breaksOff: sends half the device list and hangs up, then refuses the older way of listing
    // ("Listen") that libusbmuxd falls back to.
    enum class ListReply { answers, breaksOff, never };

    UsbmuxdStandIn(std::vector<StandInDevice> devices, ListReply listReply = ListReply::answers) : devices_(std::move(devices)), listReply_(listReply)
    {
        sockaddr_un where{AF_UNIX, {}};
        std::strncpy(where.sun_path, socketPath.c_str(), sizeof where.sun_path - 1);
        unlink(socketPath.c_str());
        std::lock_guard lock(mutex_);  // the threads record their connections in fds_
        ready_ = listenOn(reinterpret_cast<sockaddr*>(&where), sizeof where, nullptr);
        std::random_device random;
        for (const auto& device : devices_) {
            sockaddr_in address{AF_INET, htons(62078), {htonl(127u << 24 | (random() % 0xfffffd + 1))}, {}};
            if (device.network && device.lockdown != Lockdown::refusesConnection)
                ready_ = ready_ && listenOn(reinterpret_cast<sockaddr*>(&address), sizeof address, &device);
            networkAddresses_[device.udid] = bytes(address.sin_addr);
        }
    }
    // Hangs up on every connection and waits for the threads. The socket file stays, as a
    // crashed usbmuxd's would.
    ~UsbmuxdStandIn()
    {
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            for (int fd : fds_)
                shutdown(fd, SHUT_RDWR);
            threads.swap(threads_);
        }
        for (auto& thread : threads)
            thread.join();
        for (int fd : std::exchange(fds_, {}))
            close(fd);
    }

    bool ready() const { return ready_; }
    // The keys a device was asked for, with the link that carried them: "USB DeviceName".
    Lines asked(const std::string& udid) const
    {
        std::lock_guard lock(mutex_);
        return asked_.contains(udid) ? asked_.at(udid) : Lines{};
    }

private:
    bool listenOn(const sockaddr* address, socklen_t length, const StandInDevice* device)
    {
        const int fd = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        fds_.push_back(fd);
        if (bind(fd, address, length) != 0 || listen(fd, 16) != 0)
            return false;
        threads_.emplace_back([this, fd, device] {
            for (int connection; (connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || errno == EINTR || errno == ECONNABORTED;) {
                std::lock_guard lock(mutex_);
                if (connection >= 0)
                    fds_.push_back(connection);
                if (stopping_)
                    return;
                if (connection >= 0)
                    threads_.emplace_back([=, this] { device ? serveLockdown(connection, *device) : serveUsbmux(connection); });
            }
        });
        return true;
    }

    void serveUsbmux(int fd)
    {
        for (std::uint32_t header[4]; readAll(fd, header, sizeof header);) {
            const std::uint32_t length = le32toh(header[0]);
            std::string payload(length - std::min<std::uint32_t>(length, sizeof header), '\0');
            if (length < sizeof header || length > 1024 * 1024 || !readAll(fd, payload.data(), payload.size()))
                return;
            const std::string type = valueIn(payload, "MessageType");
            if (type == "ListDevices" && listReply_ == ListReply::never)
                continue;  // reading on, so that it notices when it is hung up on
            const auto id = std::atoi(valueIn(payload, "DeviceID").c_str());
            const auto device = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d.deviceID == id && !d.network; });
            // usbmuxd's results: 0 ok, 1 bad command, 2 bad device, 3 refused
            const int number = type != "Connect" ? 1 : device == devices_.end() ? 2 : device->lockdown == Lockdown::refusesConnection ? 3 : 0;
            std::string reply = entry("MessageType", "string", "Result") + entry("Number", "integer", std::to_string(number));
            if (type == "ListDevices") {
                reply = "<key>DeviceList</key><array>";
                for (const auto& d : devices_) {
                    // A BSD sockaddr_in, as usbmuxd hands it on: length, family, port, address.
                    const std::string address = std::string{16, 2, 0, 0} + networkAddresses_.at(d.udid) + std::string(8, '\0');
                    reply += "<dict>" + entry("DeviceID", "integer", std::to_string(d.deviceID)) + entry("MessageType", "string", "Attached")
                             + "<key>Properties</key><dict>" + entry("DeviceID", "integer", std::to_string(d.deviceID)) + entry("SerialNumber", "string", d.udid)
                             + entry("ConnectionType", "string", d.network ? "Network" : "USB")
                             + (d.network ? entry("NetworkAddress", "data", runtime::base64Encode(address)) : "") + "</dict></dict>";
                }
                reply += "</array>";
            }
            reply = plist(reply);
            const std::uint32_t out[4] = {htole32(static_cast<std::uint32_t>(16 + reply.size())), htole32(1), htole32(8), header[3]};
            if (!sendMessage(fd, bytes(out), reply, type == "ListDevices" && listReply_ == ListReply::breaksOff))
                return;
            if (type == "Connect" && number == 0)
                return serveLockdown(fd, *device);
        }
    }

    void serveLockdown(int fd, const StandInDevice& device)
    {
        for (std::uint32_t length = 0; readAll(fd, &length, sizeof length) && ntohl(length) <= 1024 * 1024;) {
            std::string payload(ntohl(length), '\0');
            if (!readAll(fd, payload.data(), payload.size()))
                return;
            const std::string request = valueIn(payload, "Request"), key = valueIn(payload, "Key");
            {
                std::lock_guard lock(mutex_);
                asked_[device.udid].push_back((device.network ? "Network " : "USB ") + key);
            }
            if (device.lockdown == Lockdown::neverAnswers)
                continue;
            const auto value = device.values.find(key);
            const std::string reply = plist(entry("Request", "string", request) + entry("Key", "string", key)
                                            + (request == "GetValue" && value != device.values.end() ? entry("Value", "string", value->second)
                                               : entry("Error", "string", request == "GetValue" ? "MissingValue" : "InvalidRequest")));
            if (!sendMessage(fd, bytes(htonl(static_cast<std::uint32_t>(reply.size()))), reply, device.lockdown == Lockdown::closesMidReply))
                return;
        }
    }

    std::vector<StandInDevice> devices_;
    ListReply listReply_;
    std::map<std::string, std::string> networkAddresses_;  // UDID → IPv4 address, 4 bytes
    bool ready_ = false;
    mutable std::mutex mutex_;
    bool stopping_ = false;
    std::vector<int> fds_;
    std::vector<std::thread> threads_;
    std::map<std::string, Lines> asked_;
};

std::map<std::string, std::string> iPhone(std::string name, std::string type)
{
    return {{"DeviceClass", "iPhone"}, {"ProductType", std::move(type)}, {"DeviceName", std::move(name)}};
}

class UsbmuxDeviceListerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(socketDirectory.path().empty()); }
    // Short, so that the cases in which it passes end soon; long enough for a loaded machine (or
    // a sanitizer build) to get through the cases in which it must not.
    platform::usbmux::UsbmuxDeviceLister lister{2s};
    ScopedDefaultLocale locale_{"en_US"};
};

TEST_F(UsbmuxDeviceListerTest, ListsThePhonesOnUsbAndNetworkByTheirLockdownNamesOrAsUnknownWithinTheBound)
{
    const auto never = iPhone("Never said", "iPhone15,2");
    UsbmuxdStandIn usbmuxd({
        {1, "ZOE", false, iPhone("Zoe’s iPhone", "iPhone15,2")},
        {2, "ARI", true, iPhone("Ari’s iPhone", "iPhone14,5")},
        {3, "IPAD", false, {{"DeviceClass", "iPad"}, {"ProductType", "iPad13,4"}, {"DeviceName", "Studio iPad"}}},
        {4, "IPOD", true, {{"ProductType", "iPod9,1"}}},  // only its hardware type, and that is not a phone's
        {5, "TYPE-ONLY", false, {{"ProductType", "iPhone12,8"}}},
        // On the network and on USB: listed once, on USB, and asked there.
        {7, "BOTH", true, iPhone("Both", "iPhone15,2")},
        {8, "BOTH", false, iPhone("Both", "iPhone15,2")},
        {11, "REFUSED-USB", false, never, Lockdown::refusesConnection},
        {12, "REFUSED-NETWORK", true, never, Lockdown::refusesConnection},
        {13, "SILENT", false, never, Lockdown::neverAnswers},
        {14, "SILENT-NETWORK", true, never, Lockdown::neverAnswers},
        {15, "HUNG-UP", false, never, Lockdown::closesMidReply},
    });
    ASSERT_TRUE(usbmuxd.ready());
    const DeviceListResult result = list(lister);
    EXPECT_EQ(result.error, std::nullopt);
    EXPECT_EQ(result.phones, (std::vector{phone("ARI", "Ari’s iPhone", "iPhone14,5", wifi), phone("BOTH", "Both", "iPhone15,2", "USB"),
                                          phone("REFUSED-USB", "iPhone", "", "USB"), phone("REFUSED-NETWORK", "iPhone", "", wifi),
                                          phone("SILENT", "iPhone", "", "USB"), phone("SILENT-NETWORK", "iPhone", "", wifi),
                                          phone("HUNG-UP", "iPhone", "", "USB"), phone("TYPE-ONLY", "iPhone12,8", "iPhone12,8", "USB"),
                                          phone("ZOE", "Zoe’s iPhone", "iPhone15,2", "USB")}));
    EXPECT_EQ(usbmuxd.asked("BOTH"), (Lines{"USB DeviceClass", "USB ProductType", "USB DeviceName"}));
    EXPECT_EQ(usbmuxd.asked("ARI"), (Lines{"Network DeviceClass", "Network ProductType", "Network DeviceName"}));
    // Once a device has said it is no phone, it is asked nothing more.
    EXPECT_EQ(usbmuxd.asked("IPAD"), Lines{"USB DeviceClass"});
}

TEST_F(UsbmuxDeviceListerTest, WithoutAUsbmuxdThatAnswersTheListingFails)
{
    // Nothing listening at the socket's path (a stand-in gone before left its socket there);
    // silent; breaking off its list and refusing the older way of listing, after which
    // libusbmuxd 2.0.2 reports devices but hands back no list.
    using Reply = UsbmuxdStandIn::ListReply;
    for (const auto reply : {std::optional<Reply>(), std::optional(Reply::never), std::optional(Reply::breaksOff)}) {
        SCOPED_TRACE(reply ? static_cast<int>(*reply) : -1);
        std::optional<UsbmuxdStandIn> usbmuxd;
        if (reply) {
            usbmuxd.emplace(std::vector<StandInDevice>{{1, "A", false, iPhone("A", "iPhone15,2")}}, *reply);
            ASSERT_TRUE(usbmuxd->ready());
        }
        const DeviceListResult result = list(lister);
        EXPECT_TRUE(result.phones.empty());
        EXPECT_FALSE(result.error.value_or("").empty());
    }
}

}  // namespace
}  // namespace kestrio::phones
