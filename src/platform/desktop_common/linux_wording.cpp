#include "platform/desktop_common/linux_wording.h"

namespace kestrio::platform::desktop_common {

model::PlatformWording linuxDesktopWording()
{
    model::PlatformWording wording;
    wording.addressLabel = "이 컴퓨터 IP";
    wording.thisComputer = "이 컴퓨터";

    wording.extendedMonitorHint = {
        "‘확장 모니터’는 이 컴퓨터에 Kestrio iPhone 디스플레이를 연결합니다. 같은 Wi\u2011Fi에서는 무선으로 연결되고, 케이블이 있으면 USB를 우선 사용합니다.",
        "The Extended Monitor mode adds a Kestrio iPhone display to this computer. Wi\u2011Fi is used wirelessly; USB is preferred when available."};
    wording.mirroringHint = {"화면을 더 이상 읽을 수 없거나 네트워크 연결이 끊기면 전송이 중단됩니다.",
                             "Streaming stops if the screen can no longer be read or the network connection is lost."};
    wording.virtualMonitorStreamingHint = "데스크톱의 디스플레이 설정에서 ‘Kestrio iPhone’의 위치를 조정하고, 앱 창을 그 화면으로 옮기세요.";
    // Each backend says instead what its desktop needs; a Wayland desktop none serves keeps these.
    wording.touchPermissionHint =
        "아이폰 터치 제어를 사용하려면 시스템 설정 → 개인정보 보호 및 보안 → 손쉬운 사용에서 Kestrio를 허용한 뒤 앱을 다시 실행하세요.";
    wording.touchPermissionHintEnglish = "Allow Kestrio under System Settings → Privacy & Security → Accessibility, then relaunch the app.";
    wording.screenPermissionHintEnglish = "The screen cannot be read. Run Kestrio in the desktop session, then press Check again.";

    // No Linux desktop has settings where these are granted: each button checks again.
    const model::BilingualText checkAgain{"다시 확인", "Check again"};
    wording.screenRecording = {{"화면을 읽을 수 없음", "The screen cannot be read"}, checkAgain};
    wording.touchControl = {{"터치 제어 불가", "Touch control unavailable"}, checkAgain};
    wording.notificationAccess = {{}, checkAgain};
    wording.virtualMonitorUnreachable = {"가상 모니터에 포인터가 들어갈 수 없음 · 이 데스크톱에서는 화면 미러링을 쓰세요",
                                         "The pointer cannot enter the virtual monitor on this desktop: use mirror mode"};
    wording.virtualMonitorUnreachableButton = {"화면 미러링 사용", "Use Screen Mirroring"};

    wording.screenPermissionError = "화면을 읽을 수 없음";
    wording.virtualMonitorNotShown = "가상 모니터가 디스플레이 목록에 나타나지 않았습니다.";
    wording.noPairedPhones = "검색된 iPhone 없음 · usbmuxd로 이 컴퓨터와 먼저 페어링하세요";

    wording.launchAtLogin = {"데스크톱 세션 시작 시 앱 자동 실행", "Launch app when the desktop session starts"};
    wording.launchAtLoginEnableFailed = "데스크톱 세션 자동 실행을 켜지 못했습니다";
    wording.launchAtLoginDisableFailed = "데스크톱 세션 자동 실행을 끄지 못했습니다";

    wording.versionLabel = {"앱 버전 ", "App version "};
    wording.updateButtonHelp = "Check for Kestrio updates";

    // The notification goes out as e-mail through sendmail.
    wording.notificationAddressLabel = {"알림 받을 이메일 주소 등록", "E-mail Address for Notifications"};
    wording.notificationAddressPlaceholder = "name@example.com";
    wording.notificationToggle = {"외부 연결 주소를 이메일로 알려주기", "Send Remote Address by E-mail"};
    wording.notificationHelp = {
        "체크하면 이 컴퓨터의 외부 연결 주소를 위 주소로 이메일을 보냅니다. 모바일 데이터나 외부 Wi\u2011Fi에서도 받은 주소를 아이폰 앱에 입력하면 연결할 수 있습니다.",
        "When checked, this computer e-mails its Remote Address to the address above through sendmail. You can connect from mobile data or an external Wi\u2011Fi network by entering that address in the iPhone app."};
    wording.notificationOff = "이메일 주소 알림이 꺼져 있습니다";
    wording.notificationNeedsAddress = "이메일 주소를 입력하세요";
    wording.notificationWillSend = "외부 연결 주소를 이메일로 보냅니다";
    wording.notificationWaiting = "외부 주소가 준비되면 이메일을 보냅니다";
    wording.notificationSent = "새 주소를 이메일로 보냈습니다";
    wording.notificationAlreadySent = "이 주소는 이미 이메일로 보냈습니다\nThis address has already been sent by e-mail.";
    wording.notificationUnavailable = "이메일 전송 실패 · sendmail 프로그램을 찾을 수 없습니다\nCannot send e-mail: no sendmail program found.";
    wording.notificationSendFailed =
        "이메일 전송 실패 · 주소와 sendmail 설정을 확인하세요\nSending the e-mail failed: check the address and the sendmail setup.";
    wording.notificationTroubleIsFailure = true;
    return wording;
}

model::PlatformWording unservedWaylandWording(const std::string& missing)
{
    model::PlatformWording wording = linuxDesktopWording();
    wording.screenRecording.warning = {"화면을 읽을 수 없음 · 이 Wayland 데스크톱은 지원되지 않습니다 (GNOME 또는 sway 필요)",
                                       "The screen cannot be read: this Wayland desktop is not supported (GNOME or sway is needed)"};
    wording.touchControl.warning = {"터치 제어 불가 · 이 Wayland 데스크톱은 지원되지 않습니다",
                                    "Touch control unavailable: this Wayland desktop is not supported"};
    // Asking again changes nothing here: the desktop is chosen when the app starts.
    wording.touchPermissionHint =
        "아이폰 터치 제어를 사용하려면 GNOME의 원격 데스크톱 서비스나 sway 같은 wlroots 컴포지터의 가상 포인터·키보드 프로토콜이 필요합니다. "
        "GNOME 또는 sway 세션에서 앱을 다시 실행하세요.";
    wording.touchPermissionHintEnglish =
        "Touch control needs GNOME's remote-desktop service, or the virtual pointer and keyboard protocols of a wlroots compositor such "
        "as sway; this session has neither. Run Kestrio in a GNOME or sway session.";
    wording.screenPermissionError = "지원되지 않는 Wayland 데스크톱";
    wording.screenPermissionHintEnglish =
        "Kestrio shares Wayland desktops through GNOME's screen-cast and remote-desktop services, or through the screen-copy "
        "and virtual-input protocols of wlroots compositors such as sway; this session has neither (" +
        missing + ").";
    return wording;
}

}  // namespace kestrio::platform::desktop_common
