#pragma once

#include "desktop/input_event_poster.h"
#include "desktop/permission_facility.h"
#include "desktop/platform_wording.h"
#include "display/virtual_resolution.h"
#include "link/peer_trust.h"
#include "model/capture_session.h"
#include "model/change_notice.h"
#include "model/host_status.h"
#include "model/login_item.h"
#include "model/paired_phones.h"
#include "model/permissions.h"
#include "model/port_mapping.h"
#include "model/remote_address.h"
#include "model/settings_keys.h"
#include "model/settings_store.h"
#include "model/start_at_login.h"
#include "model/stream_options.h"
#include "model/streaming.h"
#include "model/viewer_input.h"
#include "model/viewer_link.h"
#include "model/volume_control.h"
#include "phones/device_lister.h"
#include "remote/messages_notifier.h"
#include "runtime/cancellation.h"
#include "runtime/clock.h"
#include "runtime/executor.h"
#include "runtime/task.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kestrio::model {

// The application's one model, as the window and the headless host see it: a façade over its
// parts (the stream, the viewer's input, the paired phones, the remote address and its
// notification, start at login), which keeps the permissions, the error shown and the waiting
// status, and wires the viewer link to the parts. Everything runs on the main executor;
// callbacks from the viewer link only post work there. Observers are told before each change
// (the change itself is read afterwards).
class HostModel final : public std::enable_shared_from_this<HostModel> {
public:
    struct Environment {
        std::shared_ptr<runtime::Executor> mainExecutor;
        std::shared_ptr<runtime::Clock> clock;
        std::shared_ptr<ViewerLink> link;
        std::shared_ptr<SettingsStore> settings;
        std::shared_ptr<display::DisplayFacility> displays;
        std::shared_ptr<PermissionFacility> permissions;
        CaptureSessionFactory captureSessions;
        std::shared_ptr<PermissionSettings> permissionSettings;      // may be null: the desktop has none
        std::shared_ptr<InputEventPoster> input;
        std::shared_ptr<runtime::Executor> mouseQueue;               // the pointer driver's own queue
        std::shared_ptr<VolumeControl> volume;                       // volumeControlOff(): none
        std::shared_ptr<runtime::Executor> background;               // blocking work (volume)
        std::shared_ptr<runtime::Executor> inputQueue;               // posting input
        std::shared_ptr<LoginItemService> loginItem;
        std::shared_ptr<phones::DeviceLister> deviceLister;
        std::shared_ptr<runtime::Executor> phoneQueue;               // runs the device listing
        std::shared_ptr<PortMapping> portMapping;                    // portMappingOff(): no remote access
        std::uint16_t streamingPort = 59590;                         // the port the router forwards
        std::function<std::optional<std::string>()> localAddress;  // may be empty: none
        // Kept up to date with the phones that may connect from outside.
        std::shared_ptr<link::TrustedPhones> trustedPhones;
        std::shared_ptr<remote::MessagesNotifier> messagesNotifier;  // messagesOff(): nothing can be sent
        std::shared_ptr<runtime::Executor> notifierQueue;            // sends
        // The texts and permission actions that name the platform's facilities.
        PlatformWording wording;
    };

    // Constructs and starts the model (reads the settings, starts listening). Call on the main
    // executor.
    static std::shared_ptr<HostModel> create(Environment environment);
    ~HostModel();

    HostModel(const HostModel&) = delete;
    HostModel& operator=(const HostModel&) = delete;

    // Called before every change of a published property.
    void observe(std::function<void()> willChange);

    // Published state.
    const std::vector<display::DisplayInfo>& displays() const { return streaming_->displays(); }
    std::uint32_t selectedDisplayID() const { return streaming_->selectedDisplayID(); }
    SourceMode sourceMode() const { return streaming_->sourceMode(); }
    display::VirtualResolution virtualResolution() const { return streaming_->virtualResolution(); }
    StreamQuality quality() const { return streaming_->quality(); }
    StreamFrameRate frameRate() const { return streaming_->frameRate(); }
    bool autoStartOnConnect() const { return streaming_->autoStartOnConnect(); }
    bool launchAtLogin() const { return startAtLogin_->enabled(); }
    const std::string& notificationAddress() const { return remoteAddress_->address(); }
    bool notificationsEnabled() const { return remoteAddress_->notificationsEnabled(); }
    const std::vector<PairedIPhone>& pairedPhones() const { return phones_->phones(); }
    const std::string& selectedPhoneID() const { return phones_->selectedPhoneID(); }
    bool isStreaming() const { return streaming_->isStreaming(); }
    bool isBusy() const { return streaming_->isBusy(); }
    bool isRefreshingPhones() const { return phones_->isRefreshing(); }
    // The error shown in place of the waiting title.
    const std::optional<HostError>& error() const { return error_; }
    bool listenerFailed() const { return error_ && error_->kind == HostError::Kind::listenerFailed; }
    // The waiting status's first line; none: the plain request to open the app on the phone.
    const std::optional<LaunchMessage>& launchMessage() const { return launchMessage_; }
    bool touchPermissionNeeded() const { return touchPermissionNeeded_; }
    bool screenPermissionNeeded() const { return screenPermissionNeeded_; }
    // The virtual monitor of the stream is one the pointer (and so the viewer's touches) cannot enter.
    bool virtualMonitorUnreachable() const { return streaming_->virtualMonitorUnreachable(); }
    const LocalAddress& localAddress() const { return localAddress_; }
    const RemoteAccess& remoteAccess() const { return remoteAddress_->access(); }
    NotificationStatus notificationStatus() const { return remoteAddress_->status(); }
    // Whether a viewer has finished its handshake, how it is reached, and whether it decodes H.264.
    bool viewerConnected() const { return environment_.link->isViewerConnected(); }
    std::string viewerDescription() const { return environment_.link->peerDescription(); }
    bool viewerDecodesH264() const { return environment_.link->h264Capable(); }
    const PlatformWording& wording() const { return environment_.wording; }

    // Settings the user changes. The four stored ones are written to the settings store.
    void setSelectedDisplayID(std::uint32_t id) { streaming_->setSelectedDisplayID(id); }
    void setSourceMode(SourceMode mode) { streaming_->setSourceMode(mode); }
    void setVirtualResolution(display::VirtualResolution resolution) { streaming_->setVirtualResolution(resolution); }
    void setQuality(StreamQuality quality) { streaming_->setQuality(quality); }
    void setFrameRate(StreamFrameRate rate) { streaming_->setFrameRate(rate); }
    void setAutoStartOnConnect(bool on) { streaming_->setAutoStartOnConnect(on); }
    // The address field's text, per keystroke. The text takes effect (is stored, may start a
    // send) only when editing ends: commitNotificationAddress(), or notificationAddressPause without a
    // further edit.
    void setNotificationAddress(std::string address) { remoteAddress_->setAddress(std::move(address)); }
    // Return in the address field, or the field lost focus.
    void commitNotificationAddress() { remoteAddress_->commitAddress(); }
    void setNotificationsEnabled(bool on) { remoteAddress_->setNotificationsEnabled(on); }
    // Selects a phone and stores the choice (its name too, when the phone is listed).
    void setSelectedPhoneID(std::string id) { phones_->select(std::move(id)); }
    // Turns starting at login on or off; the toggle shows the request at once and falls back
    // when the desktop refuses.
    runtime::Task<void> setLaunchAtLogin(bool enabled);

    // Stored state that other parts of the program read.
    std::optional<std::uint32_t> activeDisplayID() const { return streaming_->activeDisplayID(); }
    bool mouseButtonIsDown() const { return input_->mouseButtonIsDown(); }
    const std::set<std::uint32_t>& knownVirtualDisplayIDs() const { return streaming_->knownVirtualDisplayIDs(); }
    bool didRequestTouchPermission() const { return didRequestTouchPermission_; }
    std::optional<bool> lastReportedTouchPermission() const { return input_->lastReportedTrust(); }
    bool viewerDiscoveryRunning() const { return streaming_->viewerDiscoveryRunning(); }
    // The viewer that last identified itself (name, identifier).
    const std::optional<std::pair<std::string, std::string>>& connectedViewerIdentity() const { return phones_->connectedViewer(); }

    // Streaming (asynchronous; run them with launch()).
    runtime::Task<void> startStreaming() { return streaming_->start(); }
    runtime::Task<void> stopStreaming() { return streaming_->stop(); }
    runtime::Task<void> sourceModeDidChange() { return streaming_->sourceModeDidChange(); }
    // Changes the mode and restarts a running stream in it, as the viewer's mode request does.
    runtime::Task<void> switchSourceMode(SourceMode mode) { return streaming_->switchMode(mode); }
    runtime::Task<void> refreshAll();
    runtime::Task<void> refreshDisplays() { return streaming_->refreshDisplays(); }
    runtime::Task<void> refreshPhones() { return phones_->refresh(); }
    std::optional<display::DisplayInfo> currentDisplay() const { return streaming_->currentDisplay(); }

    // Runs `operation` as a main-executor task that keeps the model alive while it runs and ends
    // when the model shuts down.
    void launch(std::function<runtime::Task<void>(HostModel&)> operation);

    // Permissions.
    void refreshPermissions();
    bool ensureTouchPermission();
    // The buttons of the permission rows: each asks the desktop for the facility, then opens the
    // settings where it is granted, or, where the desktop has none, reads the permissions again
    // at once.
    void requestScreenRecordingPermission();
    void requestTouchControlPermission();
    // The button beside a notification status that says nothing can be sent: opens the settings
    // where sending is allowed, or, where there are none, tries again at once.
    void requestNotificationAccess();

    // Ends every task, the stream and the virtual monitor, and closes the viewer link. The model
    // does nothing afterwards. Call on the main executor.
    void shutdown();

    // For the input handlers: the viewer holds the left button.
    void setMouseButtonIsDown(bool down) { input_->setMouseButtonIsDown(down); }
    Modifiers keyboardModifiers() const { return input_->keyboardModifiers(); }

    // Injects one viewer event that is not routed elsewhere (pointer, keys, text, volume).
    void applyControlEvent(const link::ViewerControlEvent& event) { input_->apply(event); }

    // Asks the desktop again whether it takes synthetic input, while a viewer is connected (the
    // answer is otherwise kept for inputTrustLifetime). For hosts without a window, whose
    // activation would do it.
    void refreshInputTrust();
    static constexpr std::chrono::seconds inputTrustLifetime{1};
    // The viewer's events on their way to the input; bounded per connection.
    const ControlEventQueue& controlEvents() const { return input_->events(); }

private:
    explicit HostModel(Environment environment);
    void construct();

    void willChange();
    void showError(std::optional<HostError> error) { notice_.assign(error_, std::move(error)); }
    void showLaunchMessage(LaunchMessage message) { notice_.assign(launchMessage_, std::optional<LaunchMessage>(std::move(message))); }

    // Posts `operation` with a weak hold on the model, which is taken only when it runs.
    void post(std::function<void(HostModel&)> operation);

    runtime::Task<void> handleStreamerStateChange();
    // An event from the viewer's backlog: stream requests to the stream, the rest to the input.
    void handleControlEvent(const link::ViewerControlEvent& event);
    bool inputTrusted(bool fresh);
    // False when the platform has no settings to show for it.
    bool openPermissionSettings(Permission permission);
    // A quieter error (a refusal, a flood) never hides another one.
    void showQuietError(HostError::Kind kind);

    Environment environment_;
    runtime::CancellationSource lifetime_;
    bool shutDown_ = false;
    std::vector<std::function<void()>> observers_;
    ChangeNotice notice_{[this] { willChange(); }};

    // Parts.
    std::unique_ptr<StartAtLogin> startAtLogin_;
    std::shared_ptr<RemoteAddress> remoteAddress_;
    std::shared_ptr<Streaming> streaming_;
    std::unique_ptr<PairedPhones> phones_;
    std::unique_ptr<ViewerInput> input_;

    // Published.
    std::optional<HostError> error_;
    std::optional<LaunchMessage> launchMessage_;
    bool touchPermissionNeeded_ = false;
    bool screenPermissionNeeded_ = false;
    LocalAddress localAddress_;

    // Stored.
    bool didRequestTouchPermission_ = false;
    std::shared_ptr<std::atomic<bool>> stateChangePending_ = std::make_shared<std::atomic<bool>>(false);
    std::optional<runtime::TimePoint> inputTrustAskedAt_;
    bool inputTrust_ = false;
};

}  // namespace kestrio::model
