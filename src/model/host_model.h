#pragma once

#include "display/display_list.h"
#include "display/virtual_display_manager.h"
#include "display/virtual_resolution.h"
#include "link/peer_trust.h"
#include "model/capture_session.h"
#include "model/control_event_queue.h"
#include "model/display_geometry.h"
#include "model/host_status.h"
#include "model/input_event_poster.h"
#include "model/login_item.h"
#include "model/start_at_login.h"
#include "model/mouse_control_driver.h"
#include "model/permissions.h"
#include "model/platform_wording.h"
#include "model/port_mapping.h"
#include "model/remote_address.h"
#include "model/settings_store.h"
#include "model/stream_options.h"
#include "model/viewer_link.h"
#include "model/volume_control.h"
#include "phones/device_lister.h"
#include "phones/paired_iphone.h"
#include "remote/messages_notifier.h"
#include "remote/nat_port_mapper.h"
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
#include <utility>
#include <string>
#include <vector>

namespace kestrio::model {

using phones::PairedIPhone;

// Keys of the settings store.
namespace settingsKey {
inline constexpr std::string_view autoStartOnConnect = "autoStartOnConnect";
inline constexpr std::string_view launchAtLogin = "launchAtLogin";
inline constexpr std::string_view iMessageAddress = "iMessageAddress";
inline constexpr std::string_view iMessageNotificationsEnabled = "iMessageNotificationsEnabled";
inline constexpr std::string_view selectedPhoneID = "selectedPhoneID";
inline constexpr std::string_view selectedPhoneName = "selectedPhoneName";
inline constexpr std::string_view lastNotifiedRemoteEndpoint = "lastNotifiedRemoteEndpoint";
// The address (trimmed) that lastNotifiedRemoteEndpoint was sent to. Settings written before it
// existed lack it: their endpoint counts as sent to whatever address is stored.
inline constexpr std::string_view lastNotifiedIMessageAddress = "lastNotifiedIMessageAddress";
// The identifiers of phones that have connected from the home network, one per line, oldest
// first: these may also connect from outside.
inline constexpr std::string_view homeNetworkPhoneIDs = "homeNetworkPhoneIDs";
// True when the selected phone's identifier is known to be the phone's own: sent by the phone
// itself or listed by the device tools, not made up from a name. Only then may the selected
// phone connect from outside.
inline constexpr std::string_view selectedPhoneIDVerified = "selectedPhoneIDVerified";
}  // namespace settingsKey

// The error shown while the viewer link cannot listen.
inline constexpr std::string_view listenerFailedText = "수신 대기 실패";
// How long the address field may rest before its text takes effect.
inline constexpr runtime::Duration iMessageAddressPause = std::chrono::seconds(2);
inline constexpr std::string_view mirrorFallbackText = "확장 모니터 생성 실패 · 화면 미러링으로 전송 시작";
// A viewer from outside the home network named no phone that may connect from there.
inline constexpr std::string_view outsiderRefusedText = "외부 연결 거부됨 · 같은 네트워크에서 연결한 적 있는 iPhone만 외부에서 연결할 수 있습니다";
inline constexpr std::string_view outsiderRefusedEnglishText =
    "Refused a connection from outside: only an iPhone that has connected on this network can connect remotely.";
// The viewer sent input faster than it could be posted, for longer than the backlog allows: its
// connection was ended (the link's description of it, and the error shown while none is connected).
inline constexpr std::string_view inputFloodText = "입력이 너무 많아 연결을 끊음";
// How long such a viewer's address is turned away afterwards.
inline constexpr std::chrono::seconds inputFloodHoldOff{5};
// How many phones are remembered as having connected from the home network.
inline constexpr std::size_t maxHomeNetworkPhones = 32;

// The application's one model: the state the window shows, the stream's settings, and the
// starting and stopping of a stream as viewers come and go. Everything runs on the main
// executor; callbacks from the viewer link only post work there. Observers are told before
// each change (the change itself is read afterwards).
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
        std::shared_ptr<UrlOpener> urlOpener;                        // may be null
        std::shared_ptr<InputEventPoster> input;                     // may be null
        std::shared_ptr<runtime::Executor> mouseQueue;               // the pointer driver's own queue
        std::shared_ptr<VolumeControl> volume;                       // may be null
        std::shared_ptr<runtime::Executor> background;               // blocking work (volume); may be null
        std::shared_ptr<runtime::Executor> inputQueue;               // posting input; null: inline
        std::shared_ptr<LoginItemService> loginItem;
        std::shared_ptr<phones::DeviceLister> deviceLister;
        std::shared_ptr<runtime::Executor> phoneQueue;               // runs the device listing
        std::shared_ptr<PortMapping> portMapping;                    // portMappingOff(): no remote access
        std::uint16_t streamingPort = 59590;                         // the port the router forwards
        std::function<std::optional<std::string>()> localAddress;  // may be empty: none
        // Kept up to date with the phones that may connect from outside; may be null.
        std::shared_ptr<link::TrustedPhones> trustedPhones;
        std::shared_ptr<remote::MessagesNotifier> messagesNotifier;  // may be null: nothing can be sent
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
    const std::vector<display::DisplayInfo>& displays() const { return displayList_.displays(); }
    std::uint32_t selectedDisplayID() const { return displayList_.selectedDisplayID(); }
    SourceMode sourceMode() const { return sourceMode_; }
    display::VirtualResolution virtualResolution() const { return virtualResolution_; }
    StreamQuality quality() const { return quality_; }
    StreamFrameRate frameRate() const { return frameRate_; }
    bool autoStartOnConnect() const { return autoStartOnConnect_; }
    bool launchAtLogin() const { return startAtLogin_->enabled(); }
    const std::string& iMessageAddress() const { return remoteAddress_->address(); }
    bool iMessageNotificationsEnabled() const { return remoteAddress_->notificationsEnabled(); }
    const std::vector<PairedIPhone>& pairedPhones() const { return pairedPhones_; }
    const std::string& selectedPhoneID() const { return selectedPhoneID_; }
    bool isStreaming() const { return isStreaming_; }
    bool isBusy() const { return isBusy_; }
    bool isRefreshingPhones() const { return isRefreshingPhones_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    // Why the error shown is there, where the model itself set it for a reason it acts on later.
    enum class ErrorReason { other, listenerFailed, outsiderRefused };
    ErrorReason errorReason() const { return errorReason_; }
    bool listenerFailed() const { return errorMessage_ && errorReason_ == ErrorReason::listenerFailed; }
    const std::optional<std::string>& phoneLaunchMessage() const { return phoneLaunchMessage_; }
    bool touchPermissionNeeded() const { return touchPermissionNeeded_; }
    bool screenPermissionNeeded() const { return screenPermissionNeeded_; }
    const LocalAddress& localAddress() const { return localAddress_; }
    const RemoteAccess& remoteAccess() const { return remoteAddress_->access(); }
    NotificationStatus notificationStatus() const { return remoteAddress_->status(); }
    // Whether a viewer has finished its handshake.
    bool viewerConnected() const { return environment_.link->isViewerConnected(); }
    const PlatformWording& wording() const { return environment_.wording; }

    // Settings the user changes. The four stored ones are written to the settings store.
    void setSelectedDisplayID(std::uint32_t id);
    void setSourceMode(SourceMode mode);
    void setVirtualResolution(display::VirtualResolution resolution);
    void setQuality(StreamQuality quality);
    void setFrameRate(StreamFrameRate rate);
    void setAutoStartOnConnect(bool on);
    // The address field's text, per keystroke. The text takes effect (is stored, may start a
    // send) only when editing ends: commitIMessageAddress(), or iMessageAddressPause without a
    // further edit.
    void setIMessageAddress(std::string address) { remoteAddress_->setAddress(std::move(address)); }
    // Return in the address field, or the field lost focus.
    void commitIMessageAddress() { remoteAddress_->commitAddress(); }
    void setIMessageNotificationsEnabled(bool on) { remoteAddress_->setNotificationsEnabled(on); }
    // Selects a phone and stores the choice (its name too, when the phone is listed).
    void setSelectedPhoneID(std::string id);
    // Turns starting at login on or off; the toggle shows the request at once and falls back
    // when the desktop refuses.
    runtime::Task<void> setLaunchAtLogin(bool enabled);

    // Stored state that other parts of the program read.
    std::optional<std::uint32_t> activeDisplayID() const { return activeDisplayID_; }
    bool mouseButtonIsDown() const { return mouseButtonIsDown_; }
    const std::set<std::uint32_t>& knownVirtualDisplayIDs() const { return displayList_.knownVirtualDisplayIDs(); }
    bool didRequestTouchPermission() const { return didRequestTouchPermission_; }
    std::optional<bool> lastReportedTouchPermission() const { return lastReportedTouchPermission_; }
    bool viewerDiscoveryRunning() const { return viewerDiscovery_ != nullptr; }
    // The viewer that last identified itself (name, identifier).
    const std::optional<std::pair<std::string, std::string>>& connectedViewerIdentity() const { return connectedViewerIdentity_; }

    // Status lines of the window, Korean and English.
    BilingualText statusTitle() const;
    BilingualText statusDetail() const;
    BilingualText hintText() const;

    // Streaming (asynchronous; run them with launch()).
    runtime::Task<void> startStreaming();
    runtime::Task<void> stopStreaming();
    runtime::Task<void> sourceModeDidChange();
    runtime::Task<void> refreshAll();
    runtime::Task<void> refreshDisplays();
    runtime::Task<void> refreshPhones();
    std::optional<display::DisplayInfo> currentDisplay() const;

    // Runs `operation` as a main-executor task that keeps the model alive while it runs and ends
    // when the model shuts down.
    void launch(std::function<runtime::Task<void>(HostModel&)> operation);

    // Permissions.
    void refreshPermissions();
    bool ensureTouchPermission();
    void openPrivacySettings(std::string_view anchor);
    // The buttons of the permission rows: each asks the desktop for the facility, then opens its
    // settings pane, or, where the desktop has none, reads the permissions again at once.
    void requestScreenRecordingPermission();
    void requestTouchControlPermission();
    // The button beside a notification status that says nothing can be sent: opens the pane, or
    // tries again at once.
    void requestNotificationAccess();

    // Ends every task, the stream and the virtual monitor, and closes the viewer link. The model
    // does nothing afterwards. Call on the main executor.
    void shutdown();

    // For the input handlers: the viewer holds the left button.
    void setMouseButtonIsDown(bool down) { mouseButtonIsDown_ = down; }
    Modifiers keyboardModifiers() const { return keyboardModifiers_; }

    // Injects one viewer event that is not routed elsewhere (pointer, keys, text, volume).
    void applyControlEvent(const link::ViewerControlEvent& event);

    // Asks the desktop again whether it takes synthetic input, while a viewer is connected (the
    // answer is otherwise kept for inputTrustLifetime). For hosts without a window, whose
    // activation would do it.
    void refreshInputTrust();
    static constexpr std::chrono::seconds inputTrustLifetime{1};
    // The viewer's events on their way to the input; bounded per connection.
    const ControlEventQueue& controlEvents() const { return *controlEvents_; }

private:
    explicit HostModel(Environment environment);
    void construct();

    void willChange();
    template <class T>
    void assign(T& field, T value)
    {
        if (field == value)
            return;
        willChange();
        field = std::move(value);
    }
    void setErrorMessage(std::optional<std::string> message)
    {
        assign(errorMessage_, std::move(message));
        errorReason_ = ErrorReason::other;
    }
    void setError(ErrorReason reason, std::string_view text)
    {
        assign(errorMessage_, std::optional<std::string>(text));
        errorReason_ = reason;
    }

    // Posts `operation` with a weak hold on the model, which is taken only when it runs.
    void post(std::function<void(HostModel&)> operation);

    runtime::Task<display::DisplayInfo> prepareVirtualDisplay();
    runtime::Task<void> beginCapture(display::DisplayInfo display);
    // Starts capturing `display`; when that fails, ends the start with the capture's error.
    runtime::Task<bool> beginCaptureOrFail(display::DisplayInfo display);
    runtime::Task<void> failStart(std::string description);
    runtime::Task<void> stopCapture();
    void releaseVirtualMonitor();
    runtime::Task<void> handleStreamerStateChange();
    runtime::Task<void> handleViewerModeRequest(SourceMode mode);
    void handleControlEvent(const link::ViewerControlEvent& event);
    // Routes one event from the link's queue: relative motion to the driver, the rest through
    // the bounded queue to the main executor.
    void routeControlEvent(const link::ViewerControlEvent& event);
    void applyQueuedControlEvents();
    // Ends what the last viewer left behind: held button, Command, motion, typing.
    void forgetViewerInput();
    bool inputTrusted(bool fresh);
    void applyPositionalEvent(const link::ViewerControlEvent& event);
    void typeText(const std::string& text);
    // Runs input posting on the input queue (inline when there is none), in call order.
    void inject(std::function<void(InputEventPoster&)> work);
    void pressKey(link::ViewerKeyboardKey key);
    void changeSystemVolume(int step);
    void startViewerDiscovery();
    void cancelViewerDiscovery();
    static runtime::Task<void> runViewerDiscovery(std::weak_ptr<HostModel> weak, std::shared_ptr<runtime::CancellationSource> source);
    bool discoveryShouldEnd() const;
    void rememberConnectedPhone(const link::ViewerIdentity& identity);
    // Selects a phone; `verified`: its identifier is the phone's own.
    void selectPhone(std::string id, bool verified);
    // Whether a phone with this identifier may connect from outside.
    bool trustedFromOutside(const std::string& identifier) const;
    void loadHomeNetworkPhones();
    void rememberHomeNetworkPhone(const std::string& identifier);
    void publishTrustedPhones();
    void handleOutsiderRefused();
    void keepSavedPhone();

    Environment environment_;
    runtime::CancellationSource lifetime_;
    bool shutDown_ = false;
    std::vector<std::function<void()>> observers_;
    ChangeNotice notice_{[this] { willChange(); }};

    // Parts.
    std::unique_ptr<StartAtLogin> startAtLogin_;
    std::shared_ptr<RemoteAddress> remoteAddress_;

    // Published.
    display::DisplayList displayList_;
    SourceMode sourceMode_ = SourceMode::virtualDisplay;
    display::VirtualResolution virtualResolution_ = display::VirtualResolution::fullHD;
    StreamQuality quality_ = StreamQuality::balanced;
    StreamFrameRate frameRate_ = StreamFrameRate::sixty;
    bool autoStartOnConnect_ = true;
    std::vector<PairedIPhone> pairedPhones_;
    std::string selectedPhoneID_;
    bool isStreaming_ = false;
    bool isBusy_ = false;
    bool isRefreshingPhones_ = false;
    std::optional<std::string> errorMessage_;
    std::optional<std::string> phoneLaunchMessage_;
    bool touchPermissionNeeded_ = false;
    bool screenPermissionNeeded_ = false;
    ErrorReason errorReason_ = ErrorReason::other;
    LocalAddress localAddress_;

    // Stored.
    std::unique_ptr<CaptureSession> capturer_;
    std::unique_ptr<display::VirtualDisplayManager> virtualDisplay_;
    std::optional<std::uint32_t> activeDisplayID_;
    bool didRequestTouchPermission_ = false;
    bool mouseButtonIsDown_ = false;
    std::optional<bool> lastReportedTouchPermission_;
    bool viewerWasConnected_ = false;
    std::shared_ptr<runtime::CancellationSource> viewerDiscovery_;
    std::optional<std::pair<std::string, std::string>> connectedViewerIdentity_;
    std::vector<std::string> homeNetworkPhoneIDs_;  // oldest first
    bool selectedPhoneVerified_ = false;
    std::set<std::string> listedPhoneIDs_;  // by the last device listing that succeeded
    Modifiers keyboardModifiers_;
    std::shared_ptr<DisplayGeometry> geometry_;
    std::shared_ptr<MouseControlDriver> mouseControlDriver_;

    // The viewer's input.
    std::shared_ptr<ControlEventQueue> controlEvents_ = std::make_shared<ControlEventQueue>();
    const ControlEventQueue::Entry* applying_ = nullptr;  // the queued event being applied
    std::uint64_t viewerGeneration_ = 0;                  // the connection last handled
    std::shared_ptr<std::atomic<bool>> stateChangePending_ = std::make_shared<std::atomic<bool>>(false);
    std::optional<runtime::TimePoint> inputTrustAskedAt_;
    bool inputTrust_ = false;
    struct VolumeSteps;
    std::shared_ptr<VolumeSteps> volumeSteps_;
};

}  // namespace kestrio::model
