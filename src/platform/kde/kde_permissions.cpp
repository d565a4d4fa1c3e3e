#include "platform/kde/kde_permissions.h"

#include "platform/desktop_common/linux_wording.h"

#include <filesystem>
#include <string>

namespace kestrio::platform::kde {
namespace {

// This program's own path, which a desktop entry granting it must name.
std::string thisProgram()
{
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string("kestrio") : path.string();
}

}  // namespace

model::PlatformWording kdeDesktopWording()
{
    model::PlatformWording wording = desktop_common::linuxDesktopWording();
    wording.screenRecording.warning = {
        "화면을 읽을 수 없음 · KWin이 화면 녹화 프로토콜(zkde_screencast)을 이 프로그램에 허용하지 않았습니다",
        "The screen cannot be read: KWin has not granted this program its screen-cast protocol (zkde_screencast)"};
    wording.touchControl.warning = {"터치 제어 불가 · KWin이 가상 입력 프로토콜(fake input)을 이 프로그램에 허용하지 않았습니다",
                                    "Touch control unavailable: KWin has not granted this program its fake-input protocol"};
    const std::string program = thisProgram();
    wording.touchPermissionHint = "KWin은 설치된 kestrio.desktop의 X-KDE-Wayland-Interfaces에 적힌 기능을 그 파일의 Exec=가 "
                                  "가리키는 프로그램에만 허용합니다. 패키지로 설치한 Kestrio를 실행하거나, 이 프로그램(" + program +
                                  ")을 쓰려면 kestrio.desktop을 ~/.local/share/applications에 복사해 Exec=를 이 경로로 바꾼 뒤 "
                                  "Kestrio를 다시 시작하세요.";
    wording.touchPermissionHintEnglish = "KWin grants what X-KDE-Wayland-Interfaces lists in the installed kestrio.desktop only to "
                                         "the program its Exec= names. Run the installed Kestrio, or, to run this program (" +
                                         program + "), copy kestrio.desktop to ~/.local/share/applications, set its Exec= to "
                                         "this path, and start Kestrio again.";
    wording.screenPermissionHintEnglish = "KWin does not let Kestrio record the screen. " + wording.touchPermissionHintEnglish;
    wording.screenPermissionError = "화면을 읽을 수 없음";
    wording.extendedMonitorHint = {
        "‘확장 모니터’는 KDE Plasma에 Kestrio iPhone 디스플레이를 연결합니다. 같은 Wi\u2011Fi에서는 무선으로 연결되고, 케이블이 있으면 USB를 우선 사용합니다.",
        "The Extended Monitor mode adds a Kestrio iPhone display to KDE Plasma. Wi\u2011Fi is used wirelessly; USB is preferred when available."};
    wording.virtualMonitorStreamingHint = "Plasma의 디스플레이 설정(디스플레이 및 모니터)에서 가상 모니터의 위치를 조정하고, 앱 창을 그 화면으로 옮기세요.";
    return wording;
}

}  // namespace kestrio::platform::kde
