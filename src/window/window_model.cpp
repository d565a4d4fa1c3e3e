#include "window/window_model.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>
#include <QVariantMap>

#include <utility>

namespace kestrio::window {

namespace {

QString text(const std::string& value)
{
    return QString::fromStdString(value);
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

WindowState WindowModel::read() const
{
    return readWindowState(*environment_.model, environment_.updater.get());
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
    WindowState next = read();
    std::swap(state_, next);
    const WindowState& previous = next;
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
    const WindowState now = read();
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

void WindowModel::retrySettingsSave()
{
    environment_.model->retrySettingsSave();
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

void WindowModel::copyBrowserLink()
{
    if (!read().addresses.browserLink.isEmpty())
        copy(read().addresses.browserLink, CopyButton::browserLink);
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
    bool& flag = button == CopyButton::localAddress ? localCopied_ : button == CopyButton::remoteEndpoint ? remoteCopied_ : browserLinkCopied_;
    if (std::exchange(flag, copied) != copied)
        emit copiedChanged();
}

}  // namespace kestrio::window
