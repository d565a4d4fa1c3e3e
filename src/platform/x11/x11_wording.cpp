#include "platform/x11/x11_wording.h"

#include "platform/desktop_common/linux_wording.h"

namespace kestrio::platform::x11 {

model::PlatformWording x11DesktopWording()
{
    model::PlatformWording wording = desktop_common::linuxDesktopWording();
    wording.screenRecording.warning = {"화면을 읽을 수 없음 · X 서버가 거부함", "The screen cannot be read: the X server refuses"};
    wording.touchControl.warning = {"터치 제어 불가 · X 서버에 XTest 확장이 없습니다",
                                    "Touch control unavailable: the X server has no XTest extension"};
    wording.touchPermissionHint =
        "아이폰 터치 제어를 사용하려면 X 서버에 XTest 확장이 있어야 합니다. XTest를 켠 뒤 ‘다시 확인’을 누르세요.";
    wording.touchPermissionHintEnglish = "Touch control needs the X server's XTest extension. Enable XTest, then press Check again.";
    wording.screenPermissionHintEnglish =
        "The X server does not let Kestrio read the screen. Give Kestrio access to the display (DISPLAY, XAUTHORITY), then press Check again.";
    wording.screenPermissionError = "화면을 읽을 수 없음";
    wording.virtualMonitorUnreachable = {"가상 모니터에 포인터가 들어갈 수 없음 · 이 X 서버에서는 화면 미러링을 쓰세요",
                                         "The pointer cannot enter the virtual monitor on this X server: use mirror mode"};
    return wording;
}

}  // namespace kestrio::platform::x11
