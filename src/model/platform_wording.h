#pragma once

#include "model/stream_options.h"

#include <string>

namespace kestrio::model {

// One of the window's warning rows for something the desktop does not allow, and what its
// button does.
struct PermissionRow {
    BilingualText warning;
    BilingualText button;
    // The privacy pane the button opens (an anchor for HostModel::openPrivacySettings).
    // Empty where the desktop has no such pane: the button asks the desktop again at once, and
    // the row goes away once the facility works.
    std::string settingsAnchor;
};

// Every text and action that names a facility of the host's platform: the settings panes, the
// computer itself, how messages are sent, how the program starts at login, where phones are
// paired. The model, the window and the status lines read these and nothing else for them; the
// platform layer supplies the values. As written here they are the texts of a Mac build.
struct PlatformWording {
    // The computer, as the status detail and a viewer on the same computer name it.
    std::string addressLabel = "Mac IP";  // in " · Mac IP 192.168.0.10"
    std::string thisComputer = "이 Mac";   // the connection path of a viewer on this computer

    // The guidance note, Korean and English lines chosen independently.
    std::string touchPermissionHint =
        "아이폰 터치 제어를 사용하려면 시스템 설정 → 개인정보 보호 및 보안 → 손쉬운 사용에서 Kestrio를 허용한 뒤 앱을 다시 실행하세요.";
    std::string touchPermissionHintEnglish =
        "Allow Kestrio under System Settings → Privacy & Security → Accessibility, then relaunch the app.";
    BilingualText extendedMonitorHint{
        "‘확장 모니터’는 macOS에 Kestrio iPhone 디스플레이를 연결합니다. 같은 Wi‑Fi에서는 무선으로 연결되고, 케이블이 있으면 USB를 우선 사용합니다.",
        "The Extended Monitor mode adds a Kestrio iPhone display to macOS. Wi‑Fi is used wirelessly; USB is preferred when available."};
    BilingualText mirroringHint{"화면 녹화 권한을 끄거나 네트워크 연결이 끊기면 전송이 중단됩니다.",
                                "Streaming stops if screen recording permission is disabled or the network connection is lost."};
    std::string virtualMonitorStreamingHint = "macOS 설정 → 디스플레이에서 ‘Kestrio iPhone’의 위치를 조정하고, 앱 창을 그 화면으로 옮기세요.";
    std::string screenPermissionHintEnglish =
        "Allow screen recording under System Settings → Privacy & Security → Screen Recording.";

    // The permission rows of the settings card and the button of the notification's status.
    PermissionRow screenRecording{{"화면 기록 권한 필요", "Screen Recording Permission Required"},
                                  {"설정 열기", "Open Settings"},
                                  "Privacy_ScreenCapture"};
    PermissionRow touchControl{{"터치 제어 권한 필요", "Touch Control Permission Required"},
                               {"설정 열기", "Open Settings"},
                               "Privacy_Accessibility"};
    PermissionRow notificationAccess{{}, {"설정 열기", "Open Settings"}, "Privacy_Automation"};
    // The row shown while the stream's virtual monitor keeps the pointer out; its button turns to
    // mirroring.
    BilingualText virtualMonitorUnreachable{"가상 모니터에 포인터가 들어갈 수 없음 · 이 데스크톱에서는 화면 미러링을 쓰세요",
                                            "The pointer cannot enter the virtual monitor on this desktop: use mirror mode"};
    BilingualText virtualMonitorUnreachableButton{"화면 미러링 사용", "Use Screen Mirroring"};

    // The display list could not be read because capture is not allowed.
    std::string screenPermissionError = "화면 기록 권한이 필요함";
    // The virtual monitor was made but never showed up among the displays.
    std::string virtualMonitorNotShown = "가상 모니터가 macOS에 표시되지 않았습니다.";
    // The device listing found no paired phone.
    std::string noPairedPhones = "검색된 iPhone 없음 · Xcode에서 먼저 페어링하세요";

    // Starting at login.
    BilingualText launchAtLogin{"Mac 부팅 시 앱 자동 실행", "Launch app at Mac startup"};
    std::string launchAtLoginEnableFailed = "Mac 부팅 자동 실행을 켜지 못했습니다";
    std::string launchAtLoginDisableFailed = "Mac 부팅 자동 실행을 끄지 못했습니다";

    // The version row: the label in front of the version, and the update button's help.
    BilingualText versionLabel{"맥 앱 버전 ", "Mac app version "};
    std::string updateButtonHelp = "Check for Mac app updates";

    // The address notification: the block's texts and its statuses. The window offers
    // notificationAccess's button when nothing could be sent, and colours that status as a
    // failure when notificationTroubleIsFailure.
    BilingualText notificationAddressLabel{"Apple ID / iMessage 주소 등록", "Apple ID / iMessage Address"};
    std::string notificationAddressPlaceholder = "name@example.com 또는 전화번호";
    BilingualText notificationToggle{"외부 연결 주소를 iMessage로 알려주기", "Send Remote Address via iMessage"};
    BilingualText notificationHelp{
        "체크하면 맥의 외부 연결 주소를 위 주소로 메시지를 보냅니다. 모바일 데이터나 외부 Wi‑Fi에서도 받은 주소를 아이폰 앱에 입력하면 연결할 수 있습니다.",
        "When checked, Messages sends the Mac's Remote Address to the address above. You can connect from mobile data or an external Wi‑Fi network by entering that address in the iPhone app."};
    std::string notificationOff = "iMessage 주소 알림이 꺼져 있습니다";
    std::string notificationNeedsAddress = "Apple ID/iMessage 주소를 입력하세요";
    std::string notificationWillSend = "외부 연결 주소를 메시지로 보냅니다";
    std::string notificationWaiting = "외부 주소가 준비되면 메시지를 보냅니다";
    std::string notificationSent = "새 주소를 메시지로 보냈습니다";
    std::string notificationAlreadySent = "이 주소는 이미 메시지로 보냈습니다\nThis address has already been sent via Messages.";
    // Nothing can be sent at all (the probe failed, or there is no sender).
    std::string notificationUnavailable =
        "메시지 권한이 필요합니다. 설정에서 Kestrio Mac을 허용하세요.\nMessages permission is required. Allow Kestrio Mac in Settings.";
    // A send was tried and failed.
    std::string notificationSendFailed = notificationUnavailable;
    // Whether the two above read as a failure (the sender is missing or broken) rather than as
    // access still to be given.
    bool notificationTroubleIsFailure = false;
};

}  // namespace kestrio::model
