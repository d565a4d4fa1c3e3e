#include "platform/phones/system_device_lister.h"
#include "platform/phones/usbmux_device_lister.h"
#include "platform/phones/xcrun_device_lister.h"

#include "phones/device_list_parser.h"
#include "phones/phones_support.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <plist/plist.h>

#include <arpa/inet.h>
#include <endian.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

namespace kestrio::phones {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TemporaryDirectory;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// Below libimobiledevice's own 30 seconds for a lockdown answer; a listing still running by then
// is taken to hang.
constexpr auto watchdog = 20s;

// Lists in a thread of its own, so that a listing that hangs fails the test instead of stalling it.
DeviceListResult list(DeviceLister& lister)
{
    auto listing = std::async(std::launch::async, [&] { return lister.listPairedDevices(); });
    if (listing.wait_for(watchdog) != std::future_status::ready)
        ADD_FAILURE() << "the listing did not end";
    return listing.get();
}

std::string quoted(const fs::path& path) { return "'" + std::regex_replace(path.string(), std::regex("'"), "'\\''") + "'"; }

// A stand-in for xcrun: a shell script that writes down its arguments, one a line, and what its
// standard input is, then runs `body`.
fs::path writeTool(const fs::path& directory, const std::string& body, bool executable = true)
{
    const fs::path tool = directory / "xcrun";
    std::ofstream(tool) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > " << quoted(directory / "arguments") << "\nreadlink /proc/$$/fd/0 > "
                        << quoted(directory / "stdin") << "\n" << body << "\n";
    chmod(tool.c_str(), executable ? 0755 : 0644);
    return tool;
}

class XcrunDeviceListerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(tools_.path().empty() || reports_.path().empty()); }

    // The report path the tool was given, checked for its place and form.
    fs::path reportPath() const
    {
        Lines given;
        std::istringstream text(readFile(tools_.path() / "arguments"));
        for (std::string line; std::getline(text, line);)
            given.push_back(line);
        const Lines fixed{"devicectl", "list", "devices", "--timeout", "10", "--json-output"};
        if (given.size() != fixed.size() + 1) {
            ADD_FAILURE() << given.size() << " arguments";
            return {};
        }
        EXPECT_EQ(Lines(given.begin(), given.end() - 1), fixed);
        const fs::path path = given.back();
        EXPECT_EQ(path.parent_path(), reports_.path());
        static const std::regex name("kestrio-devices-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.json");
        EXPECT_TRUE(std::regex_match(path.filename().string(), name)) << path;
        EXPECT_EQ(readFile(tools_.path() / "stdin"), "/dev/null\n");
        EXPECT_TRUE(fs::is_empty(reports_.path())) << "the report was not deleted";
        return path;
    }

    TemporaryDirectory tools_;
    TemporaryDirectory reports_;
    ScopedDefaultLocale locale_{"en_US"};
};

TEST_F(XcrunDeviceListerTest, ReadsTheReportTheToolWroteAndDeletesIt)
{
    const fs::path fixture = fs::path(KESTRIO_PHONE_FIXTURES) / "devicectl_devices.json";
    const fs::path tool = writeTool(tools_.path(), "echo 'Devices found:'\necho 'a warning' >&2\neval report=\\${$#}\ncp " + quoted(fixture)
                                                       + " \"$report\"\nexit 0");
    XcrunDeviceLister lister(tool.string(), reports_.path().string());
    const DeviceListResult result = list(lister);
    EXPECT_EQ(result.error, std::nullopt);
    EXPECT_EQ(result.phones, parseDeviceList(readFile(fixture)));
    EXPECT_EQ(result.phones.size(), 2u);
    const fs::path first = reportPath();

    // A fresh name each time, in $TMPDIR when no directory is given.
    test::ScopedEnvironment temporary("TMPDIR", reports_.path().string());
    XcrunDeviceLister inTemporaryDirectory(tool.string());
    EXPECT_EQ(list(inTemporaryDirectory).phones, result.phones);
    EXPECT_NE(reportPath(), first);
}

TEST_F(XcrunDeviceListerTest, AToolThatFailsOrCannotRunOrWritesNoReportGivesItsError)
{
    struct Case {
        std::optional<std::string> script;  // none: no tool at all
        bool executable;
        const char* error;
        bool ran;
    };
    const Case cases[] = {
        // It got as far as starting a report: that goes too.
        {"eval report=\\${$#}\necho '{' > \"$report\"\necho 'ERROR: The device is locked.'\necho 'Unlock it and try again.' >&2\nexit 1", true,
         "ERROR: The device is locked.\nUnlock it and try again.\n", true},
        // Output that is not UTF-8 cannot be shown.
        {"printf 'bad \\377\\376 bytes'\nexit 3", true, "devicectl failed", true},
        // Killed by a signal: a failure too, whatever the status bits happen to read as.
        {"kill -TERM $$", true, "devicectl failed", true},
        {"exit 0", true, "No such file or directory", true},
        {"exit 0", false, "Permission denied", false},
        {std::nullopt, true, "No such file or directory", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script.value_or("none"));
        fs::remove(tools_.path() / "arguments");
        const fs::path tool = c.script ? writeTool(tools_.path(), *c.script, c.executable) : tools_.path() / "nowhere";
        XcrunDeviceLister lister(tool.string(), reports_.path().string());
        const DeviceListResult result = list(lister);
        EXPECT_TRUE(result.phones.empty());
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(fs::exists(tools_.path() / "arguments"), c.ran);
        if (c.ran)
            reportPath();
        EXPECT_TRUE(fs::is_empty(reports_.path()));
    }
}

TEST(SystemDeviceListerTest, UsesTheDeveloperToolsOnlyWhereTheyCanRun)
{
    TemporaryDirectory directory;
    const fs::path tool = writeTool(directory.path(), "exit 0");
    EXPECT_NE(dynamic_cast<XcrunDeviceLister*>(makeSystemDeviceLister(tool.string()).get()), nullptr);
    chmod(tool.c_str(), 0644);
    for (const fs::path& unusable : {tool, directory.path(), directory.path() / "none"})
        EXPECT_NE(dynamic_cast<UsbmuxDeviceLister*>(makeSystemDeviceLister(unusable.string()).get()), nullptr) << unusable;
}

struct StandInDevice {
    enum class Link { usb, network };
    enum class Lockdown {
        answers,
        refusesConnection,  // usbmuxd refuses (USB) or nobody listens at its address (network)
        neverAnswers,       // reads the questions and never answers one
        closesMidReply,     // sends half an answer, then hangs up
    };
    int deviceID = 0;
    std::string udid;
    Link link = Link::usb;
    // GetValue's answers by key; other keys are answered with an error, as a device does.
    std::map<std::string, std::string> values;
    Lockdown lockdown = Lockdown::answers;
};
using Link = StandInDevice::Link;
using Lockdown = StandInDevice::Lockdown;

using Plist = std::unique_ptr<void, decltype([](void* node) { plist_free(static_cast<plist_t>(node)); })>;

Plist dict(std::initializer_list<std::pair<const char*, plist_t>> entries)
{
    Plist node(plist_new_dict());
    for (const auto& [key, value] : entries)
        plist_dict_set_item(node.get(), key, value);
    return node;
}

std::string xml(const Plist& node)
{
    char* text = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node.get(), &text, &length);
    std::string result(text ? text : "", length);
    plist_to_xml_free(text);
    return result;
}

// A string or number of a dict, as text.
std::string valueIn(const std::string& xmlText, const char* key)
{
    plist_t node = nullptr;
    plist_from_xml(xmlText.data(), static_cast<std::uint32_t>(xmlText.size()), &node);
    const Plist message(node);
    const plist_t item = node ? plist_dict_get_item(node, key) : nullptr;
    std::uint64_t number = 0;
    if (item && plist_get_node_type(item) == PLIST_UINT)
        return plist_get_uint_val(item, &number), std::to_string(number);
    return item && plist_get_node_type(item) == PLIST_STRING ? plist_get_string_ptr(item, nullptr) : "";
}

bool readAll(int fd, void* data, std::size_t size)
{
    return recv(fd, data, size, MSG_WAITALL) == static_cast<ssize_t>(size);
}

// Writes all of `bytes`, or (`half`) half of the body after `header`, and hangs up.
bool writeAll(int fd, const std::string& header, const std::string& body, bool half = false)
{
    const std::string data = header + body.substr(0, half ? body.size() / 2 : body.size());
    const bool written = send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    if (half)
        shutdown(fd, SHUT_RDWR);
    return written && !half;
}

// A usbmuxd of our own on a Unix socket, speaking the plist protocol as libusbmuxd 2.0 does
// (16-byte little-endian header: length, version 1, type 8, tag; XML plist): "ListDevices", and
// "Connect" to port 62078 (network byte order), which turns the connection into the device's
// lockdown stream (4-byte big-endian length, XML plist). Network devices are reached at their
// NetworkAddress, as libimobiledevice connects there itself: each gets a lockdown listener of its
// own on a loopback address. Every connection is served on a thread of its own.
class UsbmuxdStandIn {
public:
    enum class ListReply {
        answers,
        // Sends half the answer to ListDevices and hangs up, then refuses the older way of
        // listing ("Listen") that libusbmuxd falls back to.
        breaksOff,
        never,
    };

    UsbmuxdStandIn(const std::string& path, std::vector<StandInDevice> devices, ListReply listReply = ListReply::answers)
        : devices_(std::move(devices)), listReply_(listReply)
    {
        sockaddr_un where{AF_UNIX, {}};
        std::strncpy(where.sun_path, path.c_str(), sizeof where.sun_path - 1);
        unlink(path.c_str());
        const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        fds_.push_back(listener);
        if (bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(listener, 16) != 0)
            return;
        std::lock_guard lock(mutex_);  // the threads record their connections in fds_
        threads_.emplace_back(&UsbmuxdStandIn::serve, this, listener, nullptr);
        std::random_device random;
        for (const auto& device : devices_) {
            if (device.link != Link::network)
                continue;
            // A loopback address other than 127.0.0.1 at random: the lockdown port is fixed, and a
            // listener an earlier run left in TIME_WAIT must not be in the way. Nobody listens at
            // a refusing one.
            sockaddr_in address{AF_INET, htons(62078), {}, {}};
            int lockdown = -1;
            for (int attempt = 0; attempt < 20 && lockdown < 0; ++attempt) {
                address.sin_addr.s_addr = htonl(127u << 24 | (random() % 254 + 1) << 16 | (random() % 254 + 1) << 8 | (random() % 254 + 1));
                if (device.lockdown == Lockdown::refusesConnection)
                    break;
                lockdown = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const int on = 1;
                setsockopt(lockdown, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
                fds_.push_back(lockdown);
                if (bind(lockdown, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(lockdown, 8) != 0)
                    lockdown = -1;
            }
            if (lockdown >= 0)
                threads_.emplace_back(&UsbmuxdStandIn::serve, this, lockdown, &device);
            else if (device.lockdown != Lockdown::refusesConnection)
                return;
            networkAddresses_[device.udid].assign(reinterpret_cast<const char*>(&address.sin_addr), 4);
        }
        ready_ = true;
    }
    ~UsbmuxdStandIn() { stop(); }

    bool ready() const { return ready_; }
    // Hangs up on every connection and waits for the threads. The socket file stays, as a
    // crashed usbmuxd's would.
    void stop()
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
        for (int fd : fds_)
            close(fd);
        fds_.clear();
    }
    // The lockdown requests a device got, with the link that carried them: "USB GetValue DeviceName".
    Lines lockdownRequests(const std::string& udid) const
    {
        std::lock_guard lock(mutex_);
        return requests_.contains(udid) ? requests_.at(udid) : Lines{};
    }
    // The ports "Connect" asked for, as sent.
    std::vector<unsigned> connectPorts() const
    {
        std::lock_guard lock(mutex_);
        return ports_;
    }

private:
    void serve(int listener, const StandInDevice* device)
    {
        for (;;) {
            const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0 && (errno == EINTR || errno == ECONNABORTED))
                continue;
            std::lock_guard lock(mutex_);
            if (connection < 0 || stopping_) {
                if (connection >= 0)
                    close(connection);
                return;
            }
            fds_.push_back(connection);
            threads_.emplace_back([this, connection, device] { device ? serveLockdown(connection, *device) : serveUsbmux(connection); });
        }
    }

    // The message announcing a device in a device list.
    plist_t attached(const StandInDevice& device) const
    {
        Plist properties = dict({{"DeviceID", plist_new_uint(static_cast<std::uint64_t>(device.deviceID))},
                                 {"SerialNumber", plist_new_string(device.udid.c_str())},
                                 {"ConnectionType", plist_new_string(device.link == Link::usb ? "USB" : "Network")}});
        if (device.link == Link::network) {
            // A BSD sockaddr_in, as usbmuxd hands it on: length, family, port, address.
            std::string address = std::string{16, 2, 0, 0} + networkAddresses_.at(device.udid);
            address.resize(16, '\0');
            plist_dict_set_item(properties.get(), "NetworkAddress", plist_new_data(address.data(), address.size()));
        }
        return dict({{"DeviceID", plist_new_uint(static_cast<std::uint64_t>(device.deviceID))},
                     {"MessageType", plist_new_string("Attached")},
                     {"Properties", properties.release()}})
            .release();
    }

    void serveUsbmux(int fd)
    {
        for (std::uint32_t header[4]; readAll(fd, header, sizeof header);) {
            const std::uint32_t length = le32toh(header[0]), tag = le32toh(header[3]);
            std::string payload(length - std::min<std::uint32_t>(length, sizeof header), '\0');
            if (length < sizeof header || length > 1024 * 1024 || le32toh(header[2]) != 8 || !readAll(fd, payload.data(), payload.size()))
                return;
            const std::string type = valueIn(payload, "MessageType");
            if (type == "ListDevices" && listReply_ == ListReply::never)
                continue;  // reading on, so that it notices when it is hung up on
            std::uint64_t number = 1;  // usbmuxd's results: 0 ok, 1 bad command, 2 bad device, 3 refused
            const StandInDevice* connectTo = nullptr;
            if (type == "Connect") {
                const auto port = static_cast<unsigned>(std::stoul("0" + valueIn(payload, "PortNumber")));
                const auto id = std::stoi("0" + valueIn(payload, "DeviceID"));
                std::lock_guard lock(mutex_);
                ports_.push_back(port);
                const auto device = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d.deviceID == id; });
                number = device == devices_.end() || device->link != Link::usb                            ? 2
                         : port != htons(62078) || device->lockdown == Lockdown::refusesConnection ? 3
                                                                                                    : 0;
                connectTo = number == 0 ? &*device : nullptr;
            }
            Plist reply = dict({{"MessageType", plist_new_string("Result")}, {"Number", plist_new_uint(number)}});
            if (type == "ListDevices") {
                Plist devices(plist_new_array());
                for (const auto& device : devices_)
                    plist_array_append_item(devices.get(), attached(device));
                reply = dict({{"DeviceList", devices.release()}});
            }
            const std::string body = xml(reply);
            const std::uint32_t out[4] = {htole32(static_cast<std::uint32_t>(sizeof out + body.size())), htole32(1), htole32(8), htole32(tag)};
            if (!writeAll(fd, std::string(reinterpret_cast<const char*>(out), sizeof out), body,
                          type == "ListDevices" && listReply_ == ListReply::breaksOff))
                return;
            if (connectTo)
                return serveLockdown(fd, *connectTo);
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
                requests_[device.udid].push_back((device.link == Link::usb ? "USB " : "Network ") + request + (key.empty() ? "" : " " + key));
            }
            if (device.lockdown == Lockdown::neverAnswers)
                continue;
            Plist reply = dict({{"Request", plist_new_string(request.c_str())}, {"Key", plist_new_string(key.c_str())}});
            const auto value = device.values.find(key);
            if (request == "GetValue" && value != device.values.end())
                plist_dict_set_item(reply.get(), "Value", plist_new_string(value->second.c_str()));
            else
                plist_dict_set_item(reply.get(), "Error", plist_new_string(request == "GetValue" ? "MissingValue" : "InvalidRequest"));
            const std::string body = xml(reply);
            const std::uint32_t size = htonl(static_cast<std::uint32_t>(body.size()));
            if (!writeAll(fd, std::string(reinterpret_cast<const char*>(&size), sizeof size), body, device.lockdown == Lockdown::closesMidReply))
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
    std::map<std::string, Lines> requests_;
    std::vector<unsigned> ports_;
};

// Where libusbmuxd looks for usbmuxd ("UNIX:" and a path), set before main, while no other
// thread runs: threads a test leaves behind may still be connecting while the next one runs, and
// setenv would race with them.
const TemporaryDirectory socketDirectory;
const std::string socketPath = [] {
    const auto path = (socketDirectory.path() / "usbmuxd").string();
    setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + path).c_str(), 1);
    return path;
}();

std::map<std::string, std::string> iPhone(std::string name, std::string type)
{
    return {{"DeviceClass", "iPhone"}, {"ProductType", std::move(type)}, {"DeviceName", std::move(name)}};
}

class UsbmuxDeviceListerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(socketDirectory.path().empty()); }
    // Short, so that the cases in which it passes end soon; long enough for a loaded machine (or
    // a sanitizer build) to get through the cases in which it must not.
    UsbmuxDeviceLister lister{2s};
    ScopedDefaultLocale locale_{"en_US"};
};

TEST_F(UsbmuxDeviceListerTest, ListsThePhonesOnUsbAndNetworkByTheirLockdownNames)
{
    UsbmuxdStandIn usbmuxd(socketPath,
                           {
                               {1, "00008120-000A1B2C3D4E5F60", Link::usb, iPhone("Zoe’s iPhone", "iPhone15,2")},
                               {2, "00008101-0011223344556677", Link::network, iPhone("Ari’s iPhone", "iPhone14,5")},
                               {3, "00008103-0009988776655443", Link::usb, {{"DeviceClass", "iPad"}, {"ProductType", "iPad13,4"}, {"DeviceName", "Studio iPad"}}},
                               // Tells only its hardware type, and that is not a phone's.
                               {4, "00008030-000F0E0D0C0B0A09", Link::network, {{"ProductType", "iPod9,1"}}},
                               // Tells only its hardware type: that is its name, too.
                               {5, "00008030-0001020304050607", Link::usb, {{"ProductType", "iPhone12,8"}}},
                               // On the network and on USB: listed once, on USB, and asked there.
                               {7, "00008120-0000000000000001", Link::network, iPhone("Both", "iPhone15,2")},
                               {8, "00008120-0000000000000001", Link::usb, iPhone("Both", "iPhone15,2")},
                           });
    ASSERT_TRUE(usbmuxd.ready());
    const DeviceListResult result = list(lister);
    EXPECT_EQ(result.error, std::nullopt);
    EXPECT_EQ(result.phones, (std::vector{phone("00008101-0011223344556677", "Ari’s iPhone", "iPhone14,5", wifi),
                                          phone("00008120-0000000000000001", "Both", "iPhone15,2", "USB"),
                                          phone("00008030-0001020304050607", "iPhone12,8", "iPhone12,8", "USB"),
                                          phone("00008120-000A1B2C3D4E5F60", "Zoe’s iPhone", "iPhone15,2", "USB")}));
    // The lockdown port, in network byte order as libusbmuxd sends it, for every USB device.
    EXPECT_EQ(usbmuxd.connectPorts(), std::vector<unsigned>(4, htons(62078)));
    EXPECT_EQ(usbmuxd.lockdownRequests("00008120-0000000000000001"),
              (Lines{"USB GetValue DeviceClass", "USB GetValue ProductType", "USB GetValue DeviceName"}));
    EXPECT_EQ(usbmuxd.lockdownRequests("00008101-0011223344556677"),
              (Lines{"Network GetValue DeviceClass", "Network GetValue ProductType", "Network GetValue DeviceName"}));
    // Once a device has said it is no phone, its name does not matter.
    EXPECT_EQ(usbmuxd.lockdownRequests("00008103-0009988776655443"), Lines{"USB GetValue DeviceClass"});
}

TEST_F(UsbmuxDeviceListerTest, ListsPhonesWhoseLockdownCannotBeAskedWithinTheBound)
{
    const auto asked = iPhone("Never said", "iPhone15,2");
    UsbmuxdStandIn usbmuxd(socketPath, {
                                                               {1, "REFUSED-USB", Link::usb, asked, Lockdown::refusesConnection},
                                                               {2, "REFUSED-NETWORK", Link::network, asked, Lockdown::refusesConnection},
                                                               {3, "SILENT", Link::usb, asked, Lockdown::neverAnswers},
                                                               {4, "SILENT-NETWORK", Link::network, asked, Lockdown::neverAnswers},
                                                               {5, "HUNG-UP", Link::usb, asked, Lockdown::closesMidReply},
                                                               {6, "TALKATIVE", Link::usb, iPhone("Talkative", "iPhone13,1")},
                                                           });
    ASSERT_TRUE(usbmuxd.ready());
    const DeviceListResult result = list(lister);
    EXPECT_EQ(result.error, std::nullopt);
    // Unknown to the end, in the order usbmuxd listed them.
    EXPECT_EQ(result.phones, (std::vector{phone("REFUSED-USB", "iPhone", "", "USB"), phone("REFUSED-NETWORK", "iPhone", "", wifi),
                                          phone("SILENT", "iPhone", "", "USB"), phone("SILENT-NETWORK", "iPhone", "", wifi),
                                          phone("HUNG-UP", "iPhone", "", "USB"), phone("TALKATIVE", "Talkative", "iPhone13,1", "USB")}));
    // Asked, and no further than the first question.
    EXPECT_EQ(usbmuxd.lockdownRequests("SILENT"), Lines{"USB GetValue DeviceClass"});
    EXPECT_EQ(usbmuxd.lockdownRequests("SILENT-NETWORK"), Lines{"Network GetValue DeviceClass"});
    EXPECT_EQ(usbmuxd.lockdownRequests("HUNG-UP"), Lines{"USB GetValue DeviceClass"});
    // Hangs up on the questions still waiting, which then end by themselves.
    usbmuxd.stop();
}

TEST_F(UsbmuxDeviceListerTest, WithoutAUsbmuxdThatAnswersTheListingFails)
{
    // Nothing at the socket's path; gone, its socket left behind; silent; breaking off its list
    // and refusing the older way of listing, after which libusbmuxd 2.0.2 reports devices but
    // hands back no list.
    using Reply = UsbmuxdStandIn::ListReply;
    for (const auto reply : {std::optional<Reply>(), std::optional(Reply::answers), std::optional(Reply::never), std::optional(Reply::breaksOff)}) {
        SCOPED_TRACE(reply ? static_cast<int>(*reply) : -1);
        std::optional<UsbmuxdStandIn> usbmuxd;
        if (reply) {
            usbmuxd.emplace(socketPath, std::vector<StandInDevice>{{1, "A", Link::usb, iPhone("A", "iPhone15,2")}}, *reply);
            ASSERT_TRUE(usbmuxd->ready());
            if (reply == Reply::answers)
                usbmuxd->stop();
            ASSERT_TRUE(fs::exists(socketPath));
        }
        const DeviceListResult result = list(lister);
        EXPECT_TRUE(result.phones.empty());
        EXPECT_FALSE(result.error.value_or("").empty());
    }
}

}  // namespace
}  // namespace kestrio::phones
