#include "platform/gnome/gnome_permissions.h"

#include "platform/desktop_common/linux_wording.h"

#include <algorithm>

namespace kestrio::platform::gnome {
namespace {

bool missing(const std::vector<std::string>& services, const char* service)
{
    return std::find(services.begin(), services.end(), service) != services.end();
}

}  // namespace

bool GnomePermissionFacility::inputTrusted() { return !missing(desktop_->bus().missingServices(), "org.gnome.Mutter.RemoteDesktop"); }

bool GnomePermissionFacility::captureAllowed()
{
    const auto services = desktop_->bus().missingServices();
    return !missing(services, "org.gnome.Mutter.ScreenCast") && !missing(services, "org.gnome.Mutter.DisplayConfig");
}

model::PlatformWording gnomeDesktopWording()
{
    model::PlatformWording wording = desktop_common::linuxDesktopWording();
    wording.screenRecording.warning = {"화면을 읽을 수 없음 · GNOME의 화면 녹화 서비스(Mutter ScreenCast)가 응답하지 않습니다",
                                       "The screen cannot be read: GNOME's screen-cast service (Mutter ScreenCast) does not answer"};
    wording.touchControl.warning = {"터치 제어 불가 · GNOME의 원격 데스크톱 서비스(Mutter RemoteDesktop)가 응답하지 않습니다",
                                    "Touch control unavailable: GNOME's remote-desktop service (Mutter RemoteDesktop) does not answer"};
    wording.touchPermissionHint =
        "아이폰 터치 제어를 사용하려면 GNOME의 원격 데스크톱 서비스가 필요합니다. GNOME 세션에서 앱을 실행한 뒤 ‘다시 확인’을 누르세요.";
    wording.touchPermissionHintEnglish =
        "Touch control needs GNOME's remote-desktop service. Run Kestrio in the GNOME session, then press Check again.";
    wording.screenPermissionHintEnglish =
        "GNOME's screen-cast service does not answer Kestrio. Run Kestrio in the GNOME session (its session bus), then press Check again.";
    wording.screenPermissionError = "화면을 읽을 수 없음";
    wording.extendedMonitorHint = {
        "‘확장 모니터’는 GNOME에 Kestrio iPhone 디스플레이를 연결합니다. 같은 Wi\u2011Fi에서는 무선으로 연결되고, 케이블이 있으면 USB를 우선 사용합니다.",
        "The Extended Monitor mode adds a Kestrio iPhone display to GNOME. Wi\u2011Fi is used wirelessly; USB is preferred when available."};
    wording.virtualMonitorStreamingHint = "GNOME 설정 → 디스플레이에서 가상 모니터의 위치를 조정하고, 앱 창을 그 화면으로 옮기세요.";
    return wording;
}

}  // namespace kestrio::platform::gnome
