#pragma once

#include "model/change_notice.h"
#include "model/host_status.h"
#include "model/port_mapping.h"
#include "model/settings_store.h"
#include "model/shared_facilities.h"
#include "remote/messages_notifier.h"
#include "runtime/cancellation.h"
#include "runtime/clock.h"
#include "runtime/executor.h"
#include "runtime/task.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kestrio::model {

// How long the address field may rest before its text takes effect.
inline constexpr runtime::Duration notificationAddressPause = std::chrono::seconds(2);

// A sender that cannot reach any messenger: the notification's status says sending is not possible.
std::shared_ptr<remote::MessagesNotifier> messagesOff();

// The remote address: the router's mapping of the streaming port as the window shows it, and the
// message that sends a new address to the user. Runs on the main executor.
class RemoteAddress final : public std::enable_shared_from_this<RemoteAddress> {
public:
    // The remote address's own facilities, beside the shared ones.
    struct Environment {
        std::shared_ptr<PortMapping> portMapping;                    // portMappingOff(): no remote access
        std::uint16_t streamingPort = 59590;                         // the port the router forwards
        std::shared_ptr<remote::MessagesNotifier> messagesNotifier;  // messagesOff(): nothing can be sent
        std::shared_ptr<runtime::Executor> notifierQueue;            // sends
    };

    // `lifetime` ends the sends under way.
    RemoteAddress(SharedFacilities shared, Environment environment, runtime::CancellationToken lifetime, ChangeNotice notice);

    // Reads the settings and asks the router for the mapping.
    void start();
    // Keeps an address still being edited and withdraws the mapping; does nothing afterwards.
    void shutdown();

    const RemoteAccess& access() const { return access_; }
    NotificationStatus status() const { return status_; }
    const std::string& address() const { return address_; }
    bool notificationsEnabled() const { return enabled_; }

    // The address field's text, per keystroke; it takes effect on commitAddress(), or after
    // notificationAddressPause without a further edit.
    void setAddress(std::string address);
    void commitAddress();
    void setNotificationsEnabled(bool on);
    // Tries sending again, when sending is on.
    void retry();

private:
    void handleUpdate(const remote::NATPortMappingUpdate& update);
    void checkReadiness();
    void sendIfEnabled(const std::string& endpoint);
    // Makes the field's text the address in effect and stores it; true when that changed it.
    bool adoptAddress();
    void setStatus(NotificationStatus status) { notice_.assign(status_, status); }
    static runtime::Task<void> send(std::weak_ptr<RemoteAddress> weak, std::string endpoint, std::string address);

    SharedFacilities shared_;
    Environment environment_;
    runtime::CancellationToken lifetime_;
    ChangeNotice notice_;
    bool shutDown_ = false;
    RemoteAccess access_;
    NotificationStatus status_ = NotificationStatus::off;
    std::string address_;           // the field's text
    std::string committedAddress_;  // the address in effect, which messages go to
    bool enabled_ = false;
    runtime::TimerHandle pauseTimer_;
};

}  // namespace kestrio::model
