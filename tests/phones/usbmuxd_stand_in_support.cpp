#include "usbmuxd_stand_in_support.h"

#include <plist/plist.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <memory>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrio::phones {
namespace {

constexpr std::uint32_t plistMessage = 8;
constexpr std::uint16_t lockdownPort = 62078;
// usbmuxd's result codes.
constexpr std::uint64_t resultOk = 0;
constexpr std::uint64_t resultBadCommand = 1;
constexpr std::uint64_t resultBadDevice = 2;
constexpr std::uint64_t resultConnectionRefused = 3;

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Plist = std::unique_ptr<void, PlistFree>;

bool readAll(int fd, void* data, std::size_t size)
{
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = recv(fd, bytes, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeAll(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
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

Plist parse(const std::string& text)
{
    plist_t node = nullptr;
    plist_from_xml(text.data(), static_cast<std::uint32_t>(text.size()), &node);
    return Plist(node);
}

std::string stringIn(const Plist& dict, const char* key)
{
    plist_t item = dict ? plist_dict_get_item(dict.get(), key) : nullptr;
    if (!item || plist_get_node_type(item) != PLIST_STRING)
        return {};
    char* text = nullptr;
    plist_get_string_val(item, &text);
    std::string result(text ? text : "");
    std::free(text);
    return result;
}

std::uint64_t numberIn(const Plist& dict, const char* key)
{
    plist_t item = dict ? plist_dict_get_item(dict.get(), key) : nullptr;
    std::uint64_t value = 0;
    if (item && plist_get_node_type(item) == PLIST_UINT)
        plist_get_uint_val(item, &value);
    return value;
}

Plist dict(std::initializer_list<std::pair<const char*, plist_t>> entries)
{
    Plist node(plist_new_dict());
    for (const auto& [key, value] : entries)
        plist_dict_set_item(node.get(), key, value);
    return node;
}

Plist result(std::uint64_t number)
{
    return dict({{"MessageType", plist_new_string("Result")}, {"Number", plist_new_uint(number)}});
}

bool send(int fd, const Plist& message, std::uint32_t tag)
{
    const std::string body = xml(message);
    const std::uint32_t header[4] = {htole32(static_cast<std::uint32_t>(sizeof header + body.size())), htole32(1),
                                     htole32(plistMessage), htole32(tag)};
    return writeAll(fd, header, sizeof header) && writeAll(fd, body.data(), body.size());
}

// The message announcing a device, in a device list or on its own.
Plist attached(const StandInDevice& device, const std::map<std::string, std::string>& networkAddresses)
{
    Plist properties = dict({{"DeviceID", plist_new_uint(static_cast<std::uint64_t>(device.deviceID))},
                             {"SerialNumber", plist_new_string(device.udid.c_str())}});
    if (device.link == StandInDevice::Link::usb) {
        plist_dict_set_item(properties.get(), "ConnectionType", plist_new_string("USB"));
        plist_dict_set_item(properties.get(), "ProductID", plist_new_uint(0x12A8));
        plist_dict_set_item(properties.get(), "LocationID", plist_new_uint(0x14100000));
        plist_dict_set_item(properties.get(), "ConnectionSpeed", plist_new_uint(480000000));
    } else {
        // A BSD sockaddr_in, as usbmuxd hands it on: length, family, port, address.
        std::string address{16, 2, 0, 0};
        address += networkAddresses.at(device.udid);
        address.resize(16, '\0');
        plist_dict_set_item(properties.get(), "ConnectionType", plist_new_string("Network"));
        plist_dict_set_item(properties.get(), "NetworkAddress", plist_new_data(address.data(), address.size()));
        plist_dict_set_item(properties.get(), "EscapedFullServiceName",
                            plist_new_string((device.udid + "._apple-mobdev2._tcp.local").c_str()));
        plist_dict_set_item(properties.get(), "InterfaceIndex", plist_new_uint(2));
    }
    return dict({{"DeviceID", plist_new_uint(static_cast<std::uint64_t>(device.deviceID))},
                 {"MessageType", plist_new_string("Attached")},
                 {"Properties", properties.release()}});
}

// A loopback address other than 127.0.0.1, picked at random: the lockdown port is fixed, so a
// listener left in TIME_WAIT by an earlier run must not be in the way.
int listenOnLoopback(std::uint32_t& address)
{
    std::random_device random;
    for (int attempt = 0; attempt < 20; ++attempt) {
        address = (127u << 24) | ((random() % 254 + 1) << 16) | ((random() % 254 + 1) << 8) | (random() % 254 + 1);
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(lockdownPort);
        where.sin_addr.s_addr = htonl(address);
        if (bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 && listen(fd, 8) == 0)
            return fd;
        close(fd);
    }
    return -1;
}

}  // namespace

UsbmuxdStandIn::UsbmuxdStandIn(std::string socketPath, std::vector<StandInDevice> devices, ListReply listReply)
    : devices_(std::move(devices)), listReply_(listReply)
{
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof where.sun_path)
        return;
    std::memcpy(where.sun_path, socketPath.c_str(), socketPath.size() + 1);
    unlink(socketPath.c_str());
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return;
    track(listener);
    if (bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(listener, 16) != 0)
        return;

    std::lock_guard lock(mutex_);
    threads_.emplace_back(&UsbmuxdStandIn::serve, this, &UsbmuxdStandIn::serveUsbmux, listener, nullptr);
    for (const auto& device : devices_) {
        if (device.link != StandInDevice::Link::network)
            continue;
        std::uint32_t address = 0;
        if (device.lockdown == StandInDevice::Lockdown::refusesConnection) {
            // Nothing listens there: the connection is refused.
            std::random_device random;
            address = (127u << 24) | ((random() % 254 + 1) << 16) | 0xFE00u | 0xFEu;
        } else {
            const int lockdown = listenOnLoopback(address);
            if (lockdown < 0)
                return;
            fds_.push_back(lockdown);
            threads_.emplace_back(&UsbmuxdStandIn::serve, this, &UsbmuxdStandIn::serveLockdown, lockdown, &device);
        }
        const std::uint32_t inNetworkOrder = htonl(address);
        networkAddresses_[device.udid].assign(reinterpret_cast<const char*>(&inNetworkOrder), 4);
    }
    ready_ = true;
}

UsbmuxdStandIn::~UsbmuxdStandIn()
{
    stop();
}

void UsbmuxdStandIn::track(int fd)
{
    std::lock_guard lock(mutex_);
    fds_.push_back(fd);
}

void UsbmuxdStandIn::stop()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        // Wakes every blocked accept and recv; the descriptors are closed once nobody uses them.
        for (int fd : fds_)
            shutdown(fd, SHUT_RDWR);
        threads.swap(threads_);
    }
    for (auto& thread : threads)
        thread.join();
    std::lock_guard lock(mutex_);
    for (int fd : fds_)
        close(fd);
    fds_.clear();
}

void UsbmuxdStandIn::serve(void (UsbmuxdStandIn::*handler)(int, const StandInDevice*), int listener,
                           const StandInDevice* device)
{
    for (;;) {
        const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        std::lock_guard lock(mutex_);
        if (stopping_) {
            close(connection);
            return;
        }
        fds_.push_back(connection);
        threads_.emplace_back(handler, this, connection, device);
    }
}

const StandInDevice* UsbmuxdStandIn::deviceWithID(int deviceID) const
{
    for (const auto& device : devices_) {
        if (device.deviceID == deviceID)
            return &device;
    }
    return nullptr;
}

void UsbmuxdStandIn::record(const StandInDevice& device, const std::string& request)
{
    std::lock_guard lock(mutex_);
    requests_[device.udid].push_back(request);
}

std::vector<std::string> UsbmuxdStandIn::lockdownRequests(const std::string& udid) const
{
    std::lock_guard lock(mutex_);
    const auto found = requests_.find(udid);
    return found == requests_.end() ? std::vector<std::string>{} : found->second;
}

std::vector<unsigned> UsbmuxdStandIn::connectPorts() const
{
    std::lock_guard lock(mutex_);
    return ports_;
}

void UsbmuxdStandIn::serveUsbmux(int fd, const StandInDevice*)
{
    for (;;) {
        std::uint32_t header[4];
        if (!readAll(fd, header, sizeof header))
            return;
        const std::uint32_t length = le32toh(header[0]);
        const std::uint32_t tag = le32toh(header[3]);
        if (length < sizeof header || length > 1024 * 1024 || le32toh(header[2]) != plistMessage)
            return;
        std::string payload(length - sizeof header, '\0');
        if (!readAll(fd, payload.data(), payload.size()))
            return;
        const Plist message = parse(payload);
        const std::string type = stringIn(message, "MessageType");

        Plist reply;
        const StandInDevice* connectTo = nullptr;
        if (type == "ListDevices") {
            // Keeps reading when silent, so that it notices when it is hung up on.
            if (listReply_ == ListReply::never)
                continue;
            Plist list(plist_new_array());
            for (const auto& device : devices_)
                plist_array_append_item(list.get(), attached(device, networkAddresses_).release());
            reply = dict({{"DeviceList", list.release()}});
        } else if (type == "Connect") {
            const auto port = static_cast<unsigned>(numberIn(message, "PortNumber"));
            {
                std::lock_guard lock(mutex_);
                ports_.push_back(port);
            }
            const StandInDevice* device = deviceWithID(static_cast<int>(numberIn(message, "DeviceID")));
            if (!device || device->link != StandInDevice::Link::usb) {
                reply = result(resultBadDevice);
            } else if (port != htons(lockdownPort) || device->lockdown == StandInDevice::Lockdown::refusesConnection) {
                reply = result(resultConnectionRefused);
            } else {
                reply = result(resultOk);
                connectTo = device;
            }
        } else {
            reply = result(resultBadCommand);
        }

        if (type == "ListDevices" && listReply_ == ListReply::breaksOff) {
            const std::string body = xml(reply);
            const std::uint32_t out[4] = {htole32(static_cast<std::uint32_t>(sizeof out + body.size())), htole32(1),
                                          htole32(plistMessage), htole32(tag)};
            writeAll(fd, out, sizeof out);
            writeAll(fd, body.data(), body.size() / 2);
            shutdown(fd, SHUT_RDWR);
            return;
        }
        if (!send(fd, reply, tag))
            return;
        if (connectTo) {
            serveLockdown(fd, connectTo);
            return;
        }
    }
}

void UsbmuxdStandIn::serveLockdown(int fd, const StandInDevice* device)
{
    const char* link = device->link == StandInDevice::Link::usb ? "USB" : "Network";
    for (;;) {
        std::uint32_t length = 0;
        if (!readAll(fd, &length, sizeof length))
            return;
        length = ntohl(length);
        if (length > 1024 * 1024)
            return;
        std::string payload(length, '\0');
        if (!readAll(fd, payload.data(), payload.size()))
            return;
        const Plist message = parse(payload);
        const std::string request = stringIn(message, "Request");
        const std::string key = stringIn(message, "Key");
        record(*device, std::string(link) + " " + request + (key.empty() ? "" : " " + key));
        if (device->lockdown == StandInDevice::Lockdown::neverAnswers)
            continue;

        Plist reply = dict({{"Request", plist_new_string(request.c_str())}});
        if (request == "QueryType") {
            plist_dict_set_item(reply.get(), "Type", plist_new_string("com.apple.mobile.lockdown"));
        } else if (request == "GetValue") {
            plist_dict_set_item(reply.get(), "Key", plist_new_string(key.c_str()));
            const auto value = device->values.find(key);
            if (value != device->values.end())
                plist_dict_set_item(reply.get(), "Value", plist_new_string(value->second.c_str()));
            else
                plist_dict_set_item(reply.get(), "Error", plist_new_string("MissingValue"));
        } else {
            plist_dict_set_item(reply.get(), "Error", plist_new_string("InvalidRequest"));
        }
        const std::string body = xml(reply);
        const std::uint32_t size = htonl(static_cast<std::uint32_t>(body.size()));
        if (device->lockdown == StandInDevice::Lockdown::closesMidReply) {
            writeAll(fd, &size, sizeof size);
            writeAll(fd, body.data(), body.size() / 2);
            shutdown(fd, SHUT_RDWR);
            return;
        }
        if (!writeAll(fd, &size, sizeof size) || !writeAll(fd, body.data(), body.size()))
            return;
    }
}

}  // namespace kestrio::phones
