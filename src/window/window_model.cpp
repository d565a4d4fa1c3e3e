#include "window/window_model.h"

#include "model/status_lines.h"
#include "updates/update_status.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>
#include <QVariantMap>

#include <algorithm>
#include <utility>

namespace kestrio::window {

namespace {

QString text(const std::string& value)
{
    return QString::fromStdString(value);
}

QVariantMap option(const model::BilingualText& label)
{
    return {{"korean", text(label.korean)}, {"english", text(label.english)}};
}

QVariantMap wordingMap(const model::PlatformWording& wording)
{
    QVariantMap map;
    const auto both = [&map](const QString& name, const model::BilingualText& value) {
        map.insert(name + "Korean", text(value.korean));
        map.insert(name + "English", text(value.english));
    };
    both("version", wording.versionLabel);
    map.insert("updateHelp", text(wording.updateButtonHelp));
    both("notificationAddress", wording.notificationAddressLabel);
    map.insert("notificationPlaceholder", text(wording.notificationAddressPlaceholder));
    both("notificationToggle", wording.notificationToggle);
    both("notificationHelp", wording.notificationHelp);
    map.insert("notificationButton", text(wording.notificationAccess.button.korean));
    both("screenRow", wording.screenRecording.warning);
    both("screenButton", wording.screenRecording.button);
    both("touchRow", wording.touchControl.warning);
    both("touchButton", wording.touchControl.button);
    both("pointerConfinedRow", wording.virtualMonitorUnreachable);
    both("pointerConfinedButton", wording.virtualMonitorUnreachableButton);
    both("launchAtLogin", wording.launchAtLogin);
    return map;
}

template <class Options, class Value>
int indexOf(const Options& options, Value value)
{
    const auto found = std::find(options.begin(), options.end(), value);
    return found == options.end() ? -1 : static_cast<int>(found - options.begin());
}

template <class Options>
bool validIndex(const Options& options, int index)
{
    return index >= 0 && static_cast<std::size_t>(index) < options.size();
}

}  // namespace

WindowModel::WindowModel(Environment environment, QObject* parent)
    : QObject(parent),
      environment_(std::move(environment)),
      versionText_(text(environment_.version.text())),
      koreanFontFamily_(environment_.koreanFontFamily),
      logoSource_(environment_.logoSource),
      wording_(wordingMap(environment_.model->wording())),
      applicationState_(QGuiApplication::applicationState())
{
    state_ = read();
    // Neither the model nor the updater can forget an observer: each holds a guarded pointer.
    environment_.model->observe([guard = QPointer<WindowModel>(this)] {
        if (guard)
            guard->scheduleSync();
    });
    if (environment_.updater) {
        environment_.updater->observe([guard = QPointer<WindowModel>(this)] {
            if (guard)
                guard->scheduleSync();
        });
    }
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, &WindowModel::applicationStateChanged);
}

WindowModel::~WindowModel() = default;

void WindowModel::contentShown()
{
    if (std::exchange(contentShown_, true))
        return;
    environment_.model->launch([](model::HostModel& model) { return model.refreshAll(); });
}

void WindowModel::applicationStateChanged(Qt::ApplicationState state)
{
    const bool becameActive = state == Qt::ApplicationActive && applicationState_ != Qt::ApplicationActive;
    applicationState_ = state;
    if (becameActive)
        environment_.model->refreshPermissions();
}

// Reading -------------------------------------------------------------------------------------

WindowModel::State WindowModel::read() const
{
    const auto& model = *environment_.model;
    const auto& streaming = model.streaming();
    const auto& remote = model.remoteAddress();
    State state;

    const auto title = model::statusTitle(model);
    const auto detail = model::statusDetail(model);
    state.status.viewerConnected = model.viewerConnected();
    state.status.titleKorean = text(title.korean);
    state.status.titleEnglish = text(title.english);
    state.status.detailKorean = text(detail.korean);
    state.status.detailEnglish = text(detail.english);

    const bool mirror = streaming.sourceMode() == model::SourceMode::mirror;
    state.streaming.isStreaming = streaming.isStreaming();
    state.streaming.isBusy = streaming.isBusy();
    state.streaming.canStartOrStop = !streaming.isBusy() && !(mirror && streaming.selectedDisplayID() == 0);

    state.addresses.local = text(model::text(model.localAddress()));
    state.addresses.remote = text(model::endpointText(remote.access()));
    state.addresses.canCopyLocal = model::canCopy(model.localAddress());
    state.addresses.canCopyRemote = model::hasEndpoint(remote.access());

    const auto status = remote.status();
    state.notification.address = text(remote.address());
    state.notification.enabled = remote.notificationsEnabled();
    state.notification.status = text(model::text(status, model.wording()));
    state.notification.isFailure = model::isFailure(status, model.wording());
    state.notification.needsSettings = model::needsSettings(status);

    state.settings.sourceModeIndex = indexOf(model::allSourceModes, streaming.sourceMode());
    state.settings.resolutionIndex = indexOf(display::allVirtualResolutions, streaming.virtualResolution());
    state.settings.qualityIndex = indexOf(model::allQualities, streaming.quality());
    state.settings.frameRateIndex = indexOf(model::allFrameRates, streaming.frameRate());
    state.settings.launchAtLogin = model.launchAtLogin();
    state.settings.autoStartOnConnect = streaming.autoStartOnConnect();

    const auto& displays = streaming.displays();
    for (std::size_t index = 0; index < displays.size(); ++index) {
        state.displays.options.append(option({display::DisplayList::koreanLabel(index, displays[index]),
                                              display::DisplayList::englishLabel(index, displays[index])}));
        if (displays[index].id == streaming.selectedDisplayID() && streaming.selectedDisplayID() != 0)
            state.displays.selectedIndex = static_cast<int>(index);
    }

    state.permissions.screen = model.screenPermissionNeeded();
    state.permissions.touch = model.touchPermissionNeeded();
    state.permissions.pointerConfined = streaming.virtualMonitorUnreachable();

    const auto hint = model::hintText(model);
    state.hint.korean = text(hint.korean);
    state.hint.english = text(hint.english);

    const auto* updater = environment_.updater.get();
    state.updates.hasFeed = updater && !updater->feedURL().empty();
    state.updates.canCheck = state.updates.hasFeed && updater->canCheckForUpdates();
    const auto updateText = state.updates.hasFeed ? updates::describe(updater->state()) : updates::packageManagerUpdates();
    state.updates.korean = text(updateText.korean);
    state.updates.english = text(updateText.english);
    state.updates.downloadURL = text(updateText.downloadURL);
    state.updates.isFailure = updateText.isFailure;
    return state;
}

void WindowModel::scheduleSync(bool force)
{
    forceSignals_ = forceSignals_ || force;
    if (std::exchange(syncScheduled_, true))
        return;
    QMetaObject::invokeMethod(this, &WindowModel::sync, Qt::QueuedConnection);
}

void WindowModel::sync()
{
    syncScheduled_ = false;
    const bool force = std::exchange(forceSignals_, false);
    State next = read();
    std::swap(state_, next);
    const State& previous = next;
    if (force || previous.status != state_.status)
        emit statusChanged();
    if (force || previous.streaming != state_.streaming)
        emit streamingChanged();
    if (force || previous.addresses != state_.addresses)
        emit addressesChanged();
    if (force || previous.notification != state_.notification)
        emit notificationChanged();
    if (force || previous.settings != state_.settings)
        emit settingsChanged();
    if (force || previous.displays != state_.displays)
        emit displaysChanged();
    if (force || previous.permissions != state_.permissions)
        emit permissionsChanged();
    if (force || previous.hint != state_.hint)
        emit hintChanged();
    if (force || previous.updates != state_.updates)
        emit updatesChanged();
}

// Options -------------------------------------------------------------------------------------

QVariantList WindowModel::modeOptions() const
{
    QVariantList options;
    for (const auto mode : model::allSourceModes)
        options.append(option(model::label(mode)));
    return options;
}

QVariantList WindowModel::resolutionOptions() const
{
    QVariantList options;
    for (const auto resolution : display::allVirtualResolutions) {
        const auto label = display::pickerLabel(resolution);
        options.append(option({label, label}));
    }
    return options;
}

QVariantList WindowModel::qualityOptions() const
{
    QVariantList options;
    for (const auto quality : model::allQualities)
        options.append(option(model::label(quality)));
    return options;
}

QVariantList WindowModel::frameRateOptions() const
{
    QVariantList options;
    for (const auto rate : model::allFrameRates)
        options.append(option(model::label(rate)));
    return options;
}

// Controls ------------------------------------------------------------------------------------

void WindowModel::selectSourceMode(int index)
{
    if (validIndex(model::allSourceModes, index) && model::allSourceModes[index] != streaming().sourceMode()) {
        streaming().setSourceMode(model::allSourceModes[index]);
        // The new mode applies at once only while nothing streams; the model decides.
        environment_.model->launch([](model::HostModel& model) { return model.streaming().sourceModeDidChange(); });
    }
    afterControl();
}

void WindowModel::selectResolution(int index)
{
    if (validIndex(display::allVirtualResolutions, index))
        streaming().setVirtualResolution(display::allVirtualResolutions[index]);
    afterControl();
}

void WindowModel::selectDisplay(int index)
{
    const auto& displays = streaming().displays();
    if (validIndex(displays, index))
        streaming().setSelectedDisplayID(displays[index].id);
    afterControl();
}

void WindowModel::selectQuality(int index)
{
    if (validIndex(model::allQualities, index))
        streaming().setQuality(model::allQualities[index]);
    afterControl();
}

void WindowModel::selectFrameRate(int index)
{
    if (validIndex(model::allFrameRates, index))
        streaming().setFrameRate(model::allFrameRates[index]);
    afterControl();
}

void WindowModel::setNotificationAddress(const QString& address)
{
    remoteAddress().setAddress(address.toStdString());
    afterControl();
}

void WindowModel::commitNotificationAddress()
{
    remoteAddress().commitAddress();
    afterControl();
}

void WindowModel::setNotificationsEnabled(bool on)
{
    remoteAddress().setNotificationsEnabled(on);
    afterControl();
}

void WindowModel::setLaunchAtLogin(bool on)
{
    environment_.model->launch([on](model::HostModel& model) { return model.setLaunchAtLogin(on); });
    afterControl();
}

void WindowModel::setAutoStartOnConnect(bool on)
{
    streaming().setAutoStartOnConnect(on);
    afterControl();
}

void WindowModel::startOrStopStreaming()
{
    // The button's own rule, checked again: a press may arrive before the window caught up.
    const State now = read();
    if (now.streaming.canStartOrStop) {
        if (now.streaming.isStreaming)
            environment_.model->launch([](model::HostModel& model) { return model.streaming().stop(); });
        else
            environment_.model->launch([](model::HostModel& model) { return model.streaming().start(); });
    }
    afterControl();
}

void WindowModel::requestScreenRecordingPermission()
{
    environment_.model->requestScreenRecordingPermission();
    afterControl();
}

void WindowModel::requestTouchControlPermission()
{
    environment_.model->requestTouchControlPermission();
    afterControl();
}

void WindowModel::useScreenMirroring()
{
    environment_.model->launch([](model::HostModel& model) { return model.streaming().switchMode(model::SourceMode::mirror); });
    afterControl();
}

void WindowModel::requestNotificationAccess()
{
    environment_.model->requestNotificationAccess();
    afterControl();
}

void WindowModel::checkForUpdates()
{
    if (environment_.updater)
        environment_.updater->checkForUpdates();
    afterControl();
}

// Copy feedback -------------------------------------------------------------------------------

void WindowModel::copyLocalAddress()
{
    if (read().addresses.canCopyLocal)
        copy(text(model::text(environment_.model->localAddress())), CopyButton::localAddress);
}

void WindowModel::copyRemoteEndpoint()
{
    if (read().addresses.canCopyRemote)
        copy(text(model::endpointText(remoteAddress().access())), CopyButton::remoteEndpoint);
}

void WindowModel::copy(const QString& value, CopyButton button)
{
    auto* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(value);
    setCopied(button, true);
    // Every press starts a wait of its own; whichever ends first clears the flag.
    environment_.clock->schedule(copiedFeedback, environment_.mainExecutor, [guard = QPointer<WindowModel>(this), button] {
        if (guard)
            guard->setCopied(button, false);
    });
}

void WindowModel::setCopied(CopyButton button, bool copied)
{
    bool& flag = button == CopyButton::localAddress ? localCopied_ : remoteCopied_;
    if (std::exchange(flag, copied) != copied)
        emit copiedChanged();
}

}  // namespace kestrio::window
