#include "platform/macos/macos_wording.h"

namespace kestrio::platform::macos {

model::PlatformWording macosWording()
{
    model::PlatformWording wording;
    wording.addressLabel = "Mac IP";
    wording.thisComputer = "이 Mac";

    wording.touchPermissionHint =
        "아이폰 터치 제어를 사용하려면 시스템 설정 → 개인정보 보호 및 보안 → 손쉬운 사용에서 Kestrio를 허용한 뒤 앱을 다시 실행하세요.";
    wording.touchPermissionHintEnglish = "Allow Kestrio under System Settings → Privacy & Security → Accessibility, then relaunch the app.";
    wording.extendedMonitorHint = {
        "‘확장 모니터’는 macOS에 Kestrio iPhone 디스플레이를 연결합니다. 같은 Wi‑Fi에서는 무선으로 연결되고, 케이블이 있으면 USB를 우선 사용합니다.",
        "The Extended Monitor mode adds a Kestrio iPhone display to macOS. Wi‑Fi is used wirelessly; USB is preferred when available."};
    wording.mirroringHint = {"화면 녹화 권한을 끄거나 네트워크 연결이 끊기면 전송이 중단됩니다.",
                             "Streaming stops if screen recording permission is disabled or the network connection is lost."};
    wording.virtualMonitorStreamingHint = "macOS 설정 → 디스플레이에서 ‘Kestrio iPhone’의 위치를 조정하고, 앱 창을 그 화면으로 옮기세요.";
    wording.screenPermissionHintEnglish = "Allow screen recording under System Settings → Privacy & Security → Screen Recording.";

    const model::BilingualText openSettings{"설정 열기", "Open Settings"};
    wording.screenRecording = {{"화면 기록 권한 필요", "Screen Recording Permission Required"}, openSettings};
    wording.touchControl = {{"터치 제어 권한 필요", "Touch Control Permission Required"}, openSettings};
    wording.notificationAccess = {{}, openSettings};
    wording.virtualMonitorUnreachable = {"가상 모니터에 포인터가 들어갈 수 없음 · 이 데스크톱에서는 화면 미러링을 쓰세요",
                                         "The pointer cannot enter the virtual monitor on this desktop: use mirror mode"};
    wording.virtualMonitorUnreachableButton = {"화면 미러링 사용", "Use Screen Mirroring"};

    wording.screenPermissionError = "화면 기록 권한이 필요함";
    wording.virtualMonitorNotShown = "가상 모니터가 macOS에 표시되지 않았습니다.";
    wording.noPairedPhones = "검색된 iPhone 없음 · Xcode에서 먼저 페어링하세요";

    wording.launchAtLogin = {"Mac 부팅 시 앱 자동 실행", "Launch app at Mac startup"};
    wording.launchAtLoginEnableFailed = "Mac 부팅 자동 실행을 켜지 못했습니다";
    wording.launchAtLoginDisableFailed = "Mac 부팅 자동 실행을 끄지 못했습니다";

    wording.versionLabel = {"맥 앱 버전 ", "Mac app version "};
    wording.updateButtonHelp = "Check for Mac app updates";

    // The notification goes out as an iMessage, sent by the Messages application.
    wording.notificationAddressLabel = {"Apple ID / iMessage 주소 등록", "Apple ID / iMessage Address"};
    wording.notificationAddressPlaceholder = "name@example.com 또는 전화번호";
    wording.notificationToggle = {"외부 연결 주소를 iMessage로 알려주기", "Send Remote Address via iMessage"};
    wording.notificationHelp = {
        "체크하면 맥의 외부 연결 주소를 위 주소로 메시지를 보냅니다. 모바일 데이터나 외부 Wi‑Fi에서도 받은 주소를 아이폰 앱에 입력하면 연결할 수 있습니다.",
        "When checked, Messages sends the Mac's Remote Address to the address above. You can connect from mobile data or an external Wi‑Fi network by entering that address in the iPhone app."};
    wording.notificationOff = "iMessage 주소 알림이 꺼져 있습니다";
    wording.notificationNeedsAddress = "Apple ID/iMessage 주소를 입력하세요";
    wording.notificationWillSend = "외부 연결 주소를 메시지로 보냅니다";
    wording.notificationWaiting = "외부 주소가 준비되면 메시지를 보냅니다";
    wording.notificationSent = "새 주소를 메시지로 보냈습니다";
    wording.notificationAlreadySent = "이 주소는 이미 메시지로 보냈습니다\nThis address has already been sent via Messages.";
    wording.notificationUnavailable =
        "메시지 권한이 필요합니다. 설정에서 Kestrio Mac을 허용하세요.\nMessages permission is required. Allow Kestrio Mac in Settings.";
    wording.notificationSendFailed = wording.notificationUnavailable;
    // Nothing can be sent only while automation of Messages is not allowed: access still to give.
    wording.notificationTroubleIsFailure = false;
    return wording;
}

}  // namespace kestrio::platform::macos
