#pragma once

#include "model/stream_options.h"

#include <string>

namespace kestrio::model {

// One of the window's warning rows for something the desktop does not allow, and what its
// button does: it asks the desktop again, then opens the settings where the permission is
// granted (PermissionSettings), or, where the desktop has none, checks again at once and the row
// goes away once the facility works.
struct PermissionRow {
    BilingualText warning;
    BilingualText button;
};

// Every text that names a facility of the host's platform: the settings, the computer itself,
// how messages are sent, how the program starts at login, where phones are paired. The model, the
// window and the status lines read these and nothing else for them; a platform wording supplies
// every field.
struct PlatformWording {
    // The computer, as the status detail and a viewer on the same computer name it.
    std::string addressLabel;  // in " · <addressLabel> 192.168.0.10"
    std::string thisComputer;  // the connection path of a viewer on this computer

    // The guidance note, Korean and English lines chosen independently.
    std::string touchPermissionHint;
    std::string touchPermissionHintEnglish;
    BilingualText extendedMonitorHint;
    BilingualText mirroringHint;
    std::string virtualMonitorStreamingHint;
    std::string screenPermissionHintEnglish;

    // The permission rows of the settings card and the button of the notification's status.
    PermissionRow screenRecording;
    PermissionRow touchControl;
    PermissionRow notificationAccess;
    // The row shown while the stream's virtual monitor keeps the pointer out; its button turns to
    // mirroring.
    BilingualText virtualMonitorUnreachable;
    BilingualText virtualMonitorUnreachableButton;

    // The display list could not be read because capture is not allowed.
    std::string screenPermissionError;
    // The virtual monitor was made but never showed up among the displays.
    std::string virtualMonitorNotShown;
    // The device listing found no paired phone.
    std::string noPairedPhones;

    // Starting at login.
    BilingualText launchAtLogin;
    std::string launchAtLoginEnableFailed;
    std::string launchAtLoginDisableFailed;

    // The version row: the label in front of the version, and the update button's help.
    BilingualText versionLabel;
    std::string updateButtonHelp;

    // The address notification: the block's texts and its statuses. The window offers
    // notificationAccess's button when nothing could be sent, and colours that status as a
    // failure when notificationTroubleIsFailure.
    BilingualText notificationAddressLabel;
    std::string notificationAddressPlaceholder;
    BilingualText notificationToggle;
    BilingualText notificationHelp;
    std::string notificationOff;
    std::string notificationNeedsAddress;
    std::string notificationWillSend;
    std::string notificationWaiting;
    std::string notificationSent;
    std::string notificationAlreadySent;
    // Nothing can be sent at all (the probe failed, or there is no sender).
    std::string notificationUnavailable;
    // A send was tried and failed.
    std::string notificationSendFailed;
    // Whether the two above read as a failure (the sender is missing or broken) rather than as
    // access still to be given.
    bool notificationTroubleIsFailure{};
};

}  // namespace kestrio::model
