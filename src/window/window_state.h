#pragma once

#include "model/host_model.h"
#include "updates/update_checker.h"

#include <QString>
#include <QVariantList>
#include <QVariantMap>

namespace kestrio::window {

// What the window shows of the model and the update check at one moment, as Qt values, in the
// groups that the window model signals one change for each.
struct WindowState {
    struct Status {
        bool viewerConnected = false;
        QString titleKorean, titleEnglish, detailKorean, detailEnglish;
        bool operator==(const Status&) const = default;
    } status;
    struct Streaming {
        bool isStreaming = false;
        bool isBusy = false;
        bool canStartOrStop = false;
        bool operator==(const Streaming&) const = default;
    } streaming;
    struct Addresses {
        QString local, remote;
        QString browserLink;  // the browser page's address with its code; empty without a page
        bool canCopyLocal = false;
        bool canCopyRemote = false;
        bool operator==(const Addresses&) const = default;
    } addresses;
    struct Notification {
        QString address;
        bool enabled = false;
        QString status;
        bool isFailure = false;
        bool needsSettings = false;
        bool operator==(const Notification&) const = default;
    } notification;
    struct Settings {
        int sourceModeIndex = 0;
        int resolutionIndex = 0;
        int qualityIndex = 0;
        int frameRateIndex = 0;
        bool launchAtLogin = false;
        bool autoStartOnConnect = false;
        bool operator==(const Settings&) const = default;
    } settings;
    struct Displays {
        QVariantList options;
        int selectedIndex = -1;
        bool operator==(const Displays&) const = default;
    } displays;
    struct Permissions {
        bool screen = false;
        bool touch = false;
        bool pointerConfined = false;  // kept off the virtual monitor
        bool settingsUnsaved = false;  // a settings change is not in the file yet
        bool operator==(const Permissions&) const = default;
    } permissions;
    struct Hint {
        QString korean, english;
        bool operator==(const Hint&) const = default;
    } hint;
    struct Updates {
        bool canCheck = false;
        bool hasFeed = false;
        QString korean, english, downloadURL;
        bool isFailure = false;
        bool operator==(const Updates&) const = default;
    } updates;
};

// Reads the model's parts and the update check (`updater` may be null: updates cannot be checked).
WindowState readWindowState(const model::HostModel& model, const updates::UpdateChecker* updater);

// The pickers' fixed options, each a list of {korean, english}.
QVariantList sourceModeChoices();
QVariantList resolutionChoices();
QVariantList qualityChoices();
QVariantList frameRateChoices();
// The texts that name the platform's facilities, by name ("screenRowKorean", "updateHelp", ...),
// and the settings row's, which are the same everywhere.
QVariantMap wordingMap(const model::PlatformWording& wording);

}  // namespace kestrio::window
