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
#include "model/settings_saving.h"
#include "model/settings_store.h"
#include "model/shared_facilities.h"
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

// The application's one model, as the window and the headless host see it: it owns its parts
// (the stream, the viewer's input, the paired phones, the remote address and its notification,
// start at login, whether the settings are saved), which the window reads and changes directly,
// and keeps what spans them: the permissions, the error shown and the waiting status, the
// refresh, the shutdown, and the wiring of the viewer link to the parts. Everything runs on the main executor; callbacks from the
// viewer link only post work there. Observers are told before each change in any part (the
// change itself is read afterwards).
class HostModel final : public std::enable_shared_from_this<HostModel> {
public:
    struct Environment {
        // What the parts have in common, and each part's own facilities.
        SharedFacilities shared;
        Streaming::Environment streaming;
        ViewerInput::Environment input;
        PairedPhones::Environment phones;
        RemoteAddress::Environment remote;
        // The model's own.
        std::shared_ptr<PermissionSettings> permissionSettings;     // may be null: the desktop has none
        std::shared_ptr<LoginItemService> loginItem;
        std::function<std::optional<std::string>()> localAddress;  // may be empty: none
        std::optional<BrowserPage> browserPage;                    // none: no page is served
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

    // The parts, which the window and the status lines read and change directly.
    Streaming& streaming() { return *streaming_; }
    const Streaming& streaming() const { return *streaming_; }
    ViewerInput& viewerInput() { return *input_; }
    const ViewerInput& viewerInput() const { return *input_; }
    PairedPhones& pairedPhones() { return *phones_; }
    const PairedPhones& pairedPhones() const { return *phones_; }
    RemoteAddress& remoteAddress() { return *remoteAddress_; }
    const RemoteAddress& remoteAddress() const { return *remoteAddress_; }

    // Published state of the model's own.
    bool launchAtLogin() const { return startAtLogin_->enabled(); }
    // A settings change, from any part, could not be stored yet ("설정을 저장하지 못했습니다").
    bool settingsUnsaved() const { return settingsSaving_->pending(); }
    // The error shown in place of the waiting title.
    const std::optional<HostError>& error() const { return error_; }
    bool listenerFailed() const { return error_ && error_->kind == HostError::Kind::listenerFailed; }
    // The waiting status's first line; none: the plain request to open the app on the phone.
    const std::optional<LaunchMessage>& launchMessage() const { return launchMessage_; }
    bool touchPermissionNeeded() const { return touchPermissionNeeded_; }
    bool screenPermissionNeeded() const { return screenPermissionNeeded_; }
    const LocalAddress& localAddress() const { return localAddress_; }
    // The browser viewer's address with its code, on the local address; none without a page.
    std::optional<std::string> browserLink() const
    {
        return environment_.browserPage ? model::browserLink(*environment_.browserPage, localAddress_) : std::nullopt;
    }
    // Whether a viewer has finished its handshake, how it is reached, and whether it decodes H.264.
    bool viewerConnected() const { return environment_.shared.link->isViewerConnected(); }
    std::string viewerDescription() const { return environment_.shared.link->peerDescription(); }
    bool viewerDecodesH264() const { return environment_.shared.link->h264Capable(); }
    bool viewerIsBrowser() const { return environment_.shared.link->viewerIsBrowser(); }
    const PlatformWording& wording() const { return environment_.wording; }
    // The desktop session ended under the stream (its display server or compositor went): what
    // happened, for the user. A host without a window ends then.
    const std::optional<std::string>& desktopGone() const { return desktopGone_; }

    // Turns starting at login on or off; the toggle shows the request at once and falls back
    // when the desktop refuses.
    runtime::Task<void> setLaunchAtLogin(bool enabled);
    // The button of the unsaved settings' row: tries the owed write at once (it is also tried
    // every SettingsSaving::retryInterval and with each change).
    void retrySettingsSave() { settingsSaving_->retry(); }

    // Reads the permissions, the local address, the displays and the phones again.
    runtime::Task<void> refreshAll();
    // Reads the local address again (the network changed).
    void refreshLocalAddress();

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

    // Asks the desktop again whether it takes synthetic input, while a viewer is connected (the
    // answer is otherwise kept for inputTrustLifetime). For hosts without a window, whose
    // activation would do it.
    void refreshInputTrust();
    static constexpr std::chrono::seconds inputTrustLifetime{1};

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

    Environment environment_;  // less the parts' own, which they hold
    runtime::CancellationSource lifetime_;
    bool shutDown_ = false;
    std::vector<std::function<void()>> observers_;
    ChangeNotice notice_{[this] { willChange(); }};

    // Parts.
    std::unique_ptr<StartAtLogin> startAtLogin_;
    std::shared_ptr<SettingsSaving> settingsSaving_;
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
    std::optional<std::string> desktopGone_;

    // Stored.
    bool didRequestTouchPermission_ = false;
    std::shared_ptr<std::atomic<bool>> stateChangePending_ = std::make_shared<std::atomic<bool>>(false);
    std::optional<runtime::TimePoint> inputTrustAskedAt_;
    bool inputTrust_ = false;
};

}  // namespace kestrio::model
