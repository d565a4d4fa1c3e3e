#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrio::phones {

// A device as the stand-in presents it.
struct StandInDevice {
    enum class Link { usb, network };
    // How its lockdown service behaves once a client gets through.
    enum class Lockdown {
        answers,
        // usbmuxd refuses the connection (USB) or nobody listens at its address (network).
        refusesConnection,
        // Reads the questions and never answers one.
        neverAnswers,
        // Sends half an answer, then hangs up.
        closesMidReply,
    };

    int deviceID = 0;
    std::string udid;
    Link link = Link::usb;
    Lockdown lockdown = Lockdown::answers;
    // GetValue's answers by key; a key not here is answered with an error, as a device does
    // for a value it does not give out.
    std::map<std::string, std::string> values;
};

// A usbmuxd of our own on a Unix socket, speaking the plist protocol (16-byte little-endian
// header: length, version 1, type 8, tag; XML plist payload) as libusbmuxd 2.0 does:
// "ListDevices" lists the devices, and "Connect" to port 62078
// (network byte order) turns the connection into the device's lockdown stream (4-byte
// big-endian length, XML plist). As with a real usbmuxd, network devices are reached at their
// NetworkAddress: libimobiledevice connects there itself, so each gets a lockdown listener of
// its own on a loopback address.
//
// Every connection is served on a thread of its own; stop() hangs up on all of them.
class UsbmuxdStandIn {
public:
    enum class ListReply {
        answers,
        // Sends half the answer to ListDevices and hangs up, then refuses the older way of
        // listing ("Listen") that libusbmuxd falls back to.
        breaksOff,
        // Reads ListDevices and never answers.
        never,
    };

    UsbmuxdStandIn(std::string socketPath, std::vector<StandInDevice> devices, ListReply listReply = ListReply::answers);
    ~UsbmuxdStandIn();
    UsbmuxdStandIn(const UsbmuxdStandIn&) = delete;
    UsbmuxdStandIn& operator=(const UsbmuxdStandIn&) = delete;

    // False when a socket could not be set up.
    bool ready() const { return ready_; }
    // Closes every socket and waits for the threads. The socket file stays, as a crashed
    // usbmuxd's would.
    void stop();

    // The lockdown requests a device got, as "Request" or "Request Key", and the link that
    // carried them, in order: e.g. "USB GetValue DeviceName".
    std::vector<std::string> lockdownRequests(const std::string& udid) const;
    // The ports "Connect" asked for, as sent.
    std::vector<unsigned> connectPorts() const;

private:
    void track(int fd);
    void serve(void (UsbmuxdStandIn::*handler)(int, const StandInDevice*), int listener, const StandInDevice* device);
    void serveUsbmux(int fd, const StandInDevice*);
    void serveLockdown(int fd, const StandInDevice* device);
    const StandInDevice* deviceWithID(int deviceID) const;
    void record(const StandInDevice& device, const std::string& request);

    std::vector<StandInDevice> devices_;
    ListReply listReply_;
    std::map<std::string, std::string> networkAddresses_;  // UDID → IPv4 address, 4 bytes
    bool ready_ = false;

    mutable std::mutex mutex_;
    bool stopping_ = false;
    std::vector<int> fds_;
    std::vector<std::thread> threads_;
    std::map<std::string, std::vector<std::string>> requests_;
    std::vector<unsigned> ports_;
};

}  // namespace kestrio::phones
