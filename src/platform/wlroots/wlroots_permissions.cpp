#include "platform/wlroots/wlroots_permissions.h"

#include "platform/desktop_common/linux_wording.h"
#include "platform/wlroots/wayland_connection.h"

namespace kestrio::platform::wlroots {

bool WlrootsPermissionFacility::inputTrusted()
{
    try {
        WaylandConnection connection(waylandDisplay_);
        return connection.seat() && connection.virtualPointer() && connection.virtualKeyboard();
    } catch (const WaylandError&) {
        return false;
    }
}

bool WlrootsPermissionFacility::captureAllowed()
{
    try {
        WaylandConnection connection(waylandDisplay_);
        return connection.screencopy() && connection.shm();
    } catch (const WaylandError&) {
        return false;
    }
}

model::PlatformWording wlrootsDesktopWording(const std::string& compositor)
{
    model::PlatformWording wording = desktop_common::linuxDesktopWording();
    wording.screenRecording.warning = {"화면을 읽을 수 없음 · " + compositor + "가 화면 복사 프로토콜(wlr-screencopy)을 제공하지 않습니다",
                                       "The screen cannot be read: " + compositor + " offers no screen-copy protocol (wlr-screencopy)"};
    wording.touchControl.warning = {"터치 제어 불가 · " + compositor + "가 가상 포인터·키보드 프로토콜을 제공하지 않습니다",
                                    "Touch control unavailable: " + compositor + " offers no virtual pointer and keyboard protocols"};
    wording.touchPermissionHint = "아이폰 터치 제어를 사용하려면 " + compositor +
                                  "의 가상 포인터·키보드 프로토콜이 필요합니다. 해당 Wayland 세션에서 앱을 실행한 뒤 ‘다시 확인’을 누르세요.";
    wording.touchPermissionHintEnglish = "Touch control needs " + compositor +
                                         "'s virtual pointer and keyboard protocols. Run Kestrio in that Wayland session, then press Check again.";
    wording.screenPermissionHintEnglish = compositor +
                                          " does not let Kestrio copy the screen (wlr-screencopy). Run Kestrio in that Wayland session, then press Check again.";
    wording.screenPermissionError = "화면을 읽을 수 없음";
    wording.extendedMonitorHint = {
        "‘확장 모니터’는 " + compositor +
            "에 Kestrio iPhone 디스플레이를 연결합니다. 같은 Wi\u2011Fi에서는 무선으로 연결되고, 케이블이 있으면 USB를 우선 사용합니다.",
        "The Extended Monitor mode adds a Kestrio iPhone display to " + compositor +
            ". Wi\u2011Fi is used wirelessly; USB is preferred when available."};
    wording.virtualMonitorStreamingHint =
        compositor + " 설정(output … position)에서 가상 모니터의 위치를 조정하고, 앱 창을 그 화면으로 옮기세요.";
    return wording;
}

}  // namespace kestrio::platform::wlroots
