#include "window/window_state.h"

#include "model/status_lines.h"
#include "updates/update_status.h"

#include <algorithm>

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

template <class Options, class Value>
int indexOf(const Options& options, Value value)
{
    const auto found = std::find(options.begin(), options.end(), value);
    return found == options.end() ? -1 : static_cast<int>(found - options.begin());
}

}  // namespace

WindowState readWindowState(const model::HostModel& model, const updates::UpdateChecker* updater)
{
    const auto& streaming = model.streaming();
    const auto& remote = model.remoteAddress();
    WindowState state;

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
    state.addresses.browserLink = text(model.browserLink().value_or(""));

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
    state.permissions.settingsUnsaved = model.settingsUnsaved();

    const auto hint = model::hintText(model);
    state.hint.korean = text(hint.korean);
    state.hint.english = text(hint.english);

    state.updates.hasFeed = updater && !updater->feedURL().empty();
    state.updates.canCheck = state.updates.hasFeed && updater->canCheckForUpdates();
    const auto updateText = state.updates.hasFeed ? updates::describe(updater->state()) : updates::packageManagerUpdates();
    state.updates.korean = text(updateText.korean);
    state.updates.english = text(updateText.english);
    state.updates.downloadURL = text(updateText.downloadURL);
    state.updates.isFailure = updateText.isFailure;
    return state;
}

QVariantList sourceModeChoices()
{
    QVariantList options;
    for (const auto mode : model::allSourceModes)
        options.append(option(model::label(mode)));
    return options;
}

QVariantList resolutionChoices()
{
    QVariantList options;
    for (const auto resolution : display::allVirtualResolutions) {
        const auto label = display::pickerLabel(resolution);
        options.append(option({label, label}));
    }
    return options;
}

QVariantList qualityChoices()
{
    QVariantList options;
    for (const auto quality : model::allQualities)
        options.append(option(model::label(quality)));
    return options;
}

QVariantList frameRateChoices()
{
    QVariantList options;
    for (const auto rate : model::allFrameRates)
        options.append(option(model::label(rate)));
    return options;
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
    // The same on every platform, kept beside the status lines' copy.
    both("settingsUnsavedRow", {std::string(model::settingsUnsavedText), std::string(model::settingsUnsavedEnglishText)});
    both("settingsRetryButton", {std::string(model::settingsRetryText), std::string(model::settingsRetryEnglishText)});
    return map;
}

}  // namespace kestrio::window
