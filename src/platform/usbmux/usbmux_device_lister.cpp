#include "platform/usbmux/usbmux_device_lister.h"

#include "phones/name_ordering.h"
#include "phones/unicode_text.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <plist/plist.h>
#include <usbmuxd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace kestrio::platform::usbmux {
namespace {

// What lockdown is told this client is called.
const char* const clientLabel = "kestrio";

struct Attachment {
    std::string udid;
    bool network = false;
};

// What a device's lockdown said, each value once it has said it.
struct Answers {
    std::optional<std::string> deviceClass;
    std::optional<std::string> productType;
    std::optional<std::string> deviceName;
};

// One listing, shared by the caller and the threads doing the work, which may outlive the call.
struct Listing {
    std::mutex mutex;
    std::condition_variable changed;
    // Set once usbmuxd has listed the devices or failed; `attachments` and `answers` are sized
    // then and the former is not changed again.
    bool listed = false;
    std::optional<std::string> error;
    std::vector<Attachment> attachments;
    std::vector<Answers> answers;
    std::size_t queriesLeft = 0;
    // The caller has stopped waiting: no new question is worth asking.
    std::atomic<bool> abandoned{false};
};

struct DeviceListFree {
    void operator()(usbmuxd_device_info_t* list) const { usbmuxd_device_list_free(&list); }
};
struct DeviceFree {
    void operator()(idevice_private* device) const { idevice_free(device); }
};
struct LockdownFree {
    void operator()(lockdownd_client_private* client) const { lockdownd_client_free(client); }
};
struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};

// libimobiledevice writes with MSG_NOSIGNAL today; should any write of it raise SIGPIPE on a
// connection the device dropped, it stays pending on a thread that soon ends, instead of
// ending the process.
void blockBrokenPipeSignal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Transport failures end the conversation: the next question would wait just as long. An error
// the device itself answered with (a value it does not give out) leaves it open.
bool connectionLost(lockdownd_error_t error)
{
    return error == LOCKDOWN_E_RECEIVE_TIMEOUT || error == LOCKDOWN_E_MUX_ERROR || error == LOCKDOWN_E_SSL_ERROR ||
           error == LOCKDOWN_E_PLIST_ERROR;
}

bool saysNotAnIPhone(const Answers& answers)
{
    if (answers.deviceClass && !answers.deviceClass->empty())
        return phones::lowerCased(*answers.deviceClass) != "iphone";
    if (answers.productType && !answers.productType->empty())
        return !phones::lowerCased(*answers.productType).starts_with("iphone");
    return false;
}

void finishQuery(Listing& listing)
{
    {
        std::lock_guard lock(listing.mutex);
        --listing.queriesLeft;
    }
    listing.changed.notify_all();
}

void askLockdown(const std::shared_ptr<Listing>& listing, std::size_t index, const Attachment& attachment)
{
    idevice_t rawDevice = nullptr;
    const auto lookup = attachment.network ? IDEVICE_LOOKUP_NETWORK : IDEVICE_LOOKUP_USBMUX;
    if (idevice_new_with_options(&rawDevice, attachment.udid.c_str(), lookup) != IDEVICE_E_SUCCESS)
        return;
    const std::unique_ptr<idevice_private, DeviceFree> device(rawDevice);
    if (listing->abandoned)
        return;
    lockdownd_client_t rawClient = nullptr;
    // Without the handshake: asking for these values needs no pairing and no session.
    if (lockdownd_client_new(device.get(), &rawClient, clientLabel) != LOCKDOWN_E_SUCCESS)
        return;
    const std::unique_ptr<lockdownd_client_private, LockdownFree> client(rawClient);

    using Field = std::optional<std::string> Answers::*;
    static constexpr std::array<std::pair<const char*, Field>, 3> questions{{
        {"DeviceClass", &Answers::deviceClass},
        {"ProductType", &Answers::productType},
        {"DeviceName", &Answers::deviceName},
    }};
    for (const auto& [key, field] : questions) {
        if (listing->abandoned)
            return;
        plist_t rawValue = nullptr;
        const lockdownd_error_t error = lockdownd_get_value(client.get(), nullptr, key, &rawValue);
        const std::unique_ptr<void, PlistFree> value(rawValue);
        if (error == LOCKDOWN_E_SUCCESS && value && plist_get_node_type(value.get()) == PLIST_STRING) {
            char* rawText = nullptr;
            plist_get_string_val(value.get(), &rawText);
            const std::unique_ptr<char, decltype(&std::free)> text(rawText, &std::free);
            if (text) {
                std::string answer(text.get());
                std::lock_guard lock(listing->mutex);
                listing->answers[index].*field = std::move(answer);
            }
        }
        if (connectionLost(error))
            return;
        std::lock_guard lock(listing->mutex);
        if (saysNotAnIPhone(listing->answers[index]))
            return;
    }
}

void queryDevice(std::shared_ptr<Listing> listing, std::size_t index)
{
    blockBrokenPipeSignal();
    try {
        // Not changed once listed, and the thread was started after that.
        askLockdown(listing, index, listing->attachments[index]);
    } catch (const std::exception&) {
        // Only allocation can throw; what was answered until then stands.
    }
    finishQuery(*listing);
}

// The devices usbmuxd lists, each UDID once: on USB when it is there, since that is the link
// the user made by plugging the phone in.
std::vector<Attachment> distinctAttachments(const usbmuxd_device_info_t* devices, int count)
{
    std::vector<Attachment> attachments;
    for (int i = 0; i < count; ++i) {
        const usbmuxd_device_info_t& device = devices[i];
        const std::string udid(device.udid, strnlen(device.udid, sizeof device.udid));
        if (udid.empty())
            continue;
        const bool network = device.conn_type == CONNECTION_TYPE_NETWORK;
        bool seen = false;
        for (auto& attachment : attachments) {
            if (attachment.udid == udid) {
                seen = true;
                attachment.network = attachment.network && network;
            }
        }
        if (!seen)
            attachments.push_back({udid, network});
    }
    return attachments;
}

void listDevices(std::shared_ptr<Listing> listing)
{
    blockBrokenPipeSignal();
    try {
        // Asked of libusbmuxd directly rather than through idevice_get_device_list_extended:
        // when usbmuxd breaks off its answer and then refuses the older way of listing,
        // libusbmuxd 2.0.2 reports devices but hands back no list, which libimobiledevice 1.3.0
        // then reads through.
        usbmuxd_device_info_t* rawDevices = nullptr;
        const int count = usbmuxd_get_device_list(&rawDevices);
        const std::unique_ptr<usbmuxd_device_info_t, DeviceListFree> devices(rawDevices);
        std::size_t queries = 0;
        {
            std::lock_guard lock(listing->mutex);
            if (count < 0) {
                listing->error = "Cannot reach usbmuxd; is it running?";
            } else if (count > 0 && !devices) {
                listing->error = "usbmuxd gave a broken device list";
            } else {
                listing->attachments = distinctAttachments(devices.get(), count);
                listing->answers.resize(listing->attachments.size());
                queries = listing->attachments.size();
                listing->queriesLeft = queries;
            }
            listing->listed = true;
        }
        listing->changed.notify_all();
        for (std::size_t index = 0; index < queries; ++index) {
            try {
                std::thread(queryDevice, listing, index).detach();
            } catch (const std::exception&) {
                // Listed without its lockdown's answers, like a device that does not answer.
                finishQuery(*listing);
            }
        }
    } catch (const std::exception&) {
        {
            std::lock_guard lock(listing->mutex);
            if (!listing->listed)
                listing->error = "The device list could not be read";
            listing->listed = true;
        }
        listing->changed.notify_all();
    }
}

phones::DeviceListResult failure(std::string text)
{
    phones::DeviceListResult result;
    result.error = std::move(text);
    return result;
}

}  // namespace

UsbmuxDeviceLister::UsbmuxDeviceLister(std::chrono::milliseconds bound) : bound_(bound) {}

phones::DeviceListResult UsbmuxDeviceLister::listPairedDevices()
{
    try {
        const auto deadline = std::chrono::steady_clock::now() + bound_;
        auto listing = std::make_shared<Listing>();
        std::thread(listDevices, listing).detach();

        std::unique_lock lock(listing->mutex);
        listing->changed.wait_until(lock, deadline, [&] { return listing->listed && listing->queriesLeft == 0; });
        listing->abandoned = true;
        if (!listing->listed)
            return failure("usbmuxd did not answer in time");
        if (listing->error)
            return failure(*listing->error);

        phones::DeviceListResult result;
        for (std::size_t index = 0; index < listing->attachments.size(); ++index) {
            const Attachment& attachment = listing->attachments[index];
            const Answers& answers = listing->answers[index];
            if (saysNotAnIPhone(answers))
                continue;
            phones::PairedIPhone phone;
            phone.id = attachment.udid;
            phone.model = answers.productType.value_or(std::string());
            if (answers.deviceName && !answers.deviceName->empty())
                phone.name = *answers.deviceName;
            else
                phone.name = phone.model.empty() ? std::string("iPhone") : phone.model;
            phone.transport = attachment.network ? phones::wifiTransport : phones::usbTransport;
            phone.deviceID = attachment.udid;
            result.phones.push_back(std::move(phone));
        }
        lock.unlock();
        phones::sortByName(result.phones);
        return result;
    } catch (const std::exception&) {
        return failure("The device list could not be read");
    }
}

}  // namespace kestrio::platform::usbmux
