#pragma once

#include "model/host_model.h"
#include "runtime/clock.h"
#include "runtime/executor.h"
#include "updates/update_checker.h"
#include "window/version_text.h"
#include "window/window_state.h"

#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <memory>

namespace kestrio::window {

// What the window shows of the model, as QML reads it: the published properties with change
// signals, and the model's operations. The model tells its observers before a change; the
// properties are re-read once the change is done (a queued call) and each group of them
// signals only when something in it differs. Everything runs on the GUI thread, which is the
// model's main executor.
class WindowModel final : public QObject {
    Q_OBJECT

    // Connection.
    Q_PROPERTY(bool viewerConnected READ viewerConnected NOTIFY statusChanged)
    Q_PROPERTY(QString statusTitleKorean READ statusTitleKorean NOTIFY statusChanged)
    Q_PROPERTY(QString statusTitleEnglish READ statusTitleEnglish NOTIFY statusChanged)
    Q_PROPERTY(QString statusDetailKorean READ statusDetailKorean NOTIFY statusChanged)
    Q_PROPERTY(QString statusDetailEnglish READ statusDetailEnglish NOTIFY statusChanged)
    Q_PROPERTY(bool isStreaming READ isStreaming NOTIFY streamingChanged)
    Q_PROPERTY(bool isBusy READ isBusy NOTIFY streamingChanged)
    Q_PROPERTY(bool canStartOrStop READ canStartOrStop NOTIFY streamingChanged)

    // Addresses and their copy buttons.
    Q_PROPERTY(QString localIPAddress READ localIPAddress NOTIFY addressesChanged)
    Q_PROPERTY(QString remoteEndpoint READ remoteEndpoint NOTIFY addressesChanged)
    Q_PROPERTY(QString browserLink READ browserLink NOTIFY addressesChanged)
    Q_PROPERTY(bool canCopyLocalAddress READ canCopyLocalAddress NOTIFY addressesChanged)
    Q_PROPERTY(bool canCopyRemoteEndpoint READ canCopyRemoteEndpoint NOTIFY addressesChanged)
    Q_PROPERTY(bool localAddressCopied READ localAddressCopied NOTIFY copiedChanged)
    Q_PROPERTY(bool remoteEndpointCopied READ remoteEndpointCopied NOTIFY copiedChanged)
    Q_PROPERTY(bool browserLinkCopied READ browserLinkCopied NOTIFY copiedChanged)

    // The address notification.
    Q_PROPERTY(QString notificationAddress READ notificationAddress NOTIFY notificationChanged)
    Q_PROPERTY(bool notificationsEnabled READ notificationsEnabled NOTIFY notificationChanged)
    Q_PROPERTY(QString notificationStatus READ notificationStatus NOTIFY notificationChanged)
    Q_PROPERTY(bool notificationStatusIsFailure READ notificationStatusIsFailure NOTIFY notificationChanged)
    Q_PROPERTY(bool notificationNeedsSettings READ notificationNeedsSettings NOTIFY notificationChanged)

    // Stream settings and the two start-up options.
    Q_PROPERTY(int sourceModeIndex READ sourceModeIndex NOTIFY settingsChanged)
    Q_PROPERTY(bool mirrorSelected READ mirrorSelected NOTIFY settingsChanged)
    Q_PROPERTY(int resolutionIndex READ resolutionIndex NOTIFY settingsChanged)
    Q_PROPERTY(int qualityIndex READ qualityIndex NOTIFY settingsChanged)
    Q_PROPERTY(int frameRateIndex READ frameRateIndex NOTIFY settingsChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY settingsChanged)
    Q_PROPERTY(bool autoStartOnConnect READ autoStartOnConnect NOTIFY settingsChanged)
    Q_PROPERTY(QVariantList displayOptions READ displayOptions NOTIFY displaysChanged)
    Q_PROPERTY(int selectedDisplayIndex READ selectedDisplayIndex NOTIFY displaysChanged)

    Q_PROPERTY(bool screenPermissionNeeded READ screenPermissionNeeded NOTIFY permissionsChanged)
    Q_PROPERTY(bool touchPermissionNeeded READ touchPermissionNeeded NOTIFY permissionsChanged)
    Q_PROPERTY(bool virtualMonitorUnreachable READ virtualMonitorUnreachable NOTIFY permissionsChanged)
    Q_PROPERTY(bool settingsUnsaved READ settingsUnsaved NOTIFY permissionsChanged)

    Q_PROPERTY(QString hintKorean READ hintKorean NOTIFY hintChanged)
    Q_PROPERTY(QString hintEnglish READ hintEnglish NOTIFY hintChanged)

    // The update check: the button (shown only when there is a feed to read) and what the last
    // check found, or that the package manager brings updates when there is no feed.
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY updatesChanged)
    Q_PROPERTY(bool hasUpdateFeed READ hasUpdateFeed NOTIFY updatesChanged)
    Q_PROPERTY(QString updateStatusKorean READ updateStatusKorean NOTIFY updatesChanged)
    Q_PROPERTY(QString updateStatusEnglish READ updateStatusEnglish NOTIFY updatesChanged)
    Q_PROPERTY(bool updateStatusIsFailure READ updateStatusIsFailure NOTIFY updatesChanged)
    Q_PROPERTY(QString updateDownloadURL READ updateDownloadURL NOTIFY updatesChanged)

    // Fixed for the window's life. Options are lists of {korean, english}.
    Q_PROPERTY(QString versionText READ versionText CONSTANT)
    Q_PROPERTY(QString koreanFontFamily READ koreanFontFamily CONSTANT)
    Q_PROPERTY(QString logoSource READ logoSource CONSTANT)
    Q_PROPERTY(QVariantList modeOptions READ modeOptions CONSTANT)
    Q_PROPERTY(QVariantList resolutionOptions READ resolutionOptions CONSTANT)
    Q_PROPERTY(QVariantList qualityOptions READ qualityOptions CONSTANT)
    Q_PROPERTY(QVariantList frameRateOptions READ frameRateOptions CONSTANT)
    // The texts that name the platform's facilities (the model's wording), by name.
    Q_PROPERTY(QVariantMap wording READ wording CONSTANT)

public:
    struct Environment {
        std::shared_ptr<model::HostModel> model;
        std::shared_ptr<updates::UpdateChecker> updater;  // may be null: updates cannot be checked
        // The GUI thread's executor and the clock the copy feedback is timed on.
        std::shared_ptr<runtime::Executor> mainExecutor;
        std::shared_ptr<runtime::Clock> clock;
        VersionText version;
        QString koreanFontFamily;
        QString logoSource;  // a URL QML can load
    };

    // How long a copy button reads "Copied".
    static constexpr runtime::Duration copiedFeedback = std::chrono::seconds(2);

    explicit WindowModel(Environment environment, QObject* parent = nullptr);
    ~WindowModel() override;

    // The first time the window's content is shown: the full refresh.
    void contentShown();

    bool viewerConnected() const { return state_.status.viewerConnected; }
    QString statusTitleKorean() const { return state_.status.titleKorean; }
    QString statusTitleEnglish() const { return state_.status.titleEnglish; }
    QString statusDetailKorean() const { return state_.status.detailKorean; }
    QString statusDetailEnglish() const { return state_.status.detailEnglish; }
    bool isStreaming() const { return state_.streaming.isStreaming; }
    bool isBusy() const { return state_.streaming.isBusy; }
    bool canStartOrStop() const { return state_.streaming.canStartOrStop; }

    QString localIPAddress() const { return state_.addresses.local; }
    QString browserLink() const { return state_.addresses.browserLink; }
    QString remoteEndpoint() const { return state_.addresses.remote; }
    bool canCopyLocalAddress() const { return state_.addresses.canCopyLocal; }
    bool canCopyRemoteEndpoint() const { return state_.addresses.canCopyRemote; }
    bool localAddressCopied() const { return localCopied_; }
    bool remoteEndpointCopied() const { return remoteCopied_; }
    bool browserLinkCopied() const { return browserLinkCopied_; }

    QString notificationAddress() const { return state_.notification.address; }
    bool notificationsEnabled() const { return state_.notification.enabled; }
    QString notificationStatus() const { return state_.notification.status; }
    bool notificationStatusIsFailure() const { return state_.notification.isFailure; }
    bool notificationNeedsSettings() const { return state_.notification.needsSettings; }

    int sourceModeIndex() const { return state_.settings.sourceModeIndex; }
    bool mirrorSelected() const { return state_.settings.sourceModeIndex == 1; }
    int resolutionIndex() const { return state_.settings.resolutionIndex; }
    int qualityIndex() const { return state_.settings.qualityIndex; }
    int frameRateIndex() const { return state_.settings.frameRateIndex; }
    bool launchAtLogin() const { return state_.settings.launchAtLogin; }
    bool autoStartOnConnect() const { return state_.settings.autoStartOnConnect; }
    QVariantList displayOptions() const { return state_.displays.options; }
    int selectedDisplayIndex() const { return state_.displays.selectedIndex; }

    bool screenPermissionNeeded() const { return state_.permissions.screen; }
    bool touchPermissionNeeded() const { return state_.permissions.touch; }
    bool virtualMonitorUnreachable() const { return state_.permissions.pointerConfined; }
    bool settingsUnsaved() const { return state_.permissions.settingsUnsaved; }

    QString hintKorean() const { return state_.hint.korean; }
    QString hintEnglish() const { return state_.hint.english; }

    bool canCheckForUpdates() const { return state_.updates.canCheck; }
    bool hasUpdateFeed() const { return state_.updates.hasFeed; }
    QString updateStatusKorean() const { return state_.updates.korean; }
    QString updateStatusEnglish() const { return state_.updates.english; }
    bool updateStatusIsFailure() const { return state_.updates.isFailure; }
    QString updateDownloadURL() const { return state_.updates.downloadURL; }

    QString versionText() const { return versionText_; }
    QString koreanFontFamily() const { return koreanFontFamily_; }
    QString logoSource() const { return logoSource_; }
    QVariantList modeOptions() const { return sourceModeChoices(); }
    QVariantList resolutionOptions() const { return resolutionChoices(); }
    QVariantList qualityOptions() const { return qualityChoices(); }
    QVariantList frameRateOptions() const { return frameRateChoices(); }
    QVariantMap wording() const { return wording_; }

    // The controls. Each one re-reads the model afterwards and signals even when nothing
    // changed, so that a control the model did not follow returns to the model's value.
    Q_INVOKABLE void selectSourceMode(int index);
    Q_INVOKABLE void selectResolution(int index);
    Q_INVOKABLE void selectDisplay(int index);
    Q_INVOKABLE void selectQuality(int index);
    Q_INVOKABLE void selectFrameRate(int index);
    Q_INVOKABLE void setNotificationAddress(const QString& address);
    Q_INVOKABLE void commitNotificationAddress();
    Q_INVOKABLE void setNotificationsEnabled(bool on);
    Q_INVOKABLE void setLaunchAtLogin(bool on);
    Q_INVOKABLE void setAutoStartOnConnect(bool on);
    Q_INVOKABLE void startOrStopStreaming();
    // The buttons of the permission rows and of the notification's status.
    Q_INVOKABLE void requestScreenRecordingPermission();
    Q_INVOKABLE void requestTouchControlPermission();
    // The button of the row for a monitor the pointer cannot enter: the stream goes on mirroring.
    Q_INVOKABLE void useScreenMirroring();
    // The button of the row for settings not saved: writes them again at once.
    Q_INVOKABLE void retrySettingsSave();
    Q_INVOKABLE void requestNotificationAccess();
    Q_INVOKABLE void copyLocalAddress();
    Q_INVOKABLE void copyRemoteEndpoint();
    Q_INVOKABLE void copyBrowserLink();
    Q_INVOKABLE void checkForUpdates();

signals:
    void statusChanged();
    void streamingChanged();
    void addressesChanged();
    void copiedChanged();
    void notificationChanged();
    void settingsChanged();
    void displaysChanged();
    void permissionsChanged();
    void hintChanged();
    void updatesChanged();

private:
    WindowState read() const;
    // The parts of the model that the controls change.
    model::Streaming& streaming() const { return environment_.model->streaming(); }
    model::RemoteAddress& remoteAddress() const { return environment_.model->remoteAddress(); }
    // Re-reads the model once the current task is done. `force`: signal every group.
    void scheduleSync(bool force = false);
    void sync();
    void afterControl() { scheduleSync(true); }
    enum class CopyButton { localAddress, remoteEndpoint, browserLink };
    void copy(const QString& text, CopyButton button);
    void setCopied(CopyButton button, bool copied);
    void applicationStateChanged(Qt::ApplicationState state);

    Environment environment_;
    QString versionText_;
    QString koreanFontFamily_;
    QString logoSource_;
    QVariantMap wording_;
    WindowState state_;
    bool syncScheduled_ = false;
    bool forceSignals_ = false;
    bool contentShown_ = false;
    bool localCopied_ = false;
    bool remoteCopied_ = false;
    bool browserLinkCopied_ = false;
    Qt::ApplicationState applicationState_;
};

}  // namespace kestrio::window
