// The texts each desktop backend gives the window and the status lines: none names the Mac, its
// settings panes or its messenger.
#include "platform/desktop_common/linux_wording.h"
#include "platform/gnome/gnome_permissions.h"
#include "platform/kde/kde_permissions.h"
#include "platform/wlroots/wlroots_permissions.h"
#include "platform/x11/x11_wording.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrio::platform {
namespace {

std::vector<std::string> shownTexts(const model::PlatformWording& w)
{
    std::vector<std::string> texts{w.addressLabel, w.thisComputer, w.touchPermissionHint, w.touchPermissionHintEnglish,
                                   w.virtualMonitorStreamingHint, w.screenPermissionHintEnglish, w.screenPermissionError,
                                   w.virtualMonitorNotShown, w.noPairedPhones, w.launchAtLoginEnableFailed,
                                   w.launchAtLoginDisableFailed, w.updateButtonHelp, w.notificationAddressPlaceholder,
                                   w.notificationOff, w.notificationNeedsAddress, w.notificationWillSend, w.notificationWaiting,
                                   w.notificationSent, w.notificationAlreadySent, w.notificationUnavailable,
                                   w.notificationSendFailed};
    for (const auto* pair : {&w.extendedMonitorHint, &w.mirroringHint, &w.virtualMonitorUnreachable, &w.virtualMonitorUnreachableButton,
                             &w.launchAtLogin, &w.versionLabel, &w.notificationAddressLabel, &w.notificationToggle, &w.notificationHelp})
        texts.insert(texts.end(), {pair->korean, pair->english});
    for (const auto* row : {&w.screenRecording, &w.touchControl, &w.notificationAccess})
        texts.insert(texts.end(), {row->warning.korean, row->warning.english, row->button.korean, row->button.english});
    return texts;
}

TEST(DesktopWording, NoBackendNamesTheMacOrItsSettings)
{
    const std::pair<const char*, model::PlatformWording> backends[] = {
        {"x11", x11::x11DesktopWording()},
        {"gnome", gnome::gnomeDesktopWording()},
        {"kde", kde::kdeDesktopWording()},
        {"sway", wlroots::wlrootsDesktopWording("sway")},
        {"another wlroots compositor", wlroots::wlrootsDesktopWording("Wayland 컴포지터")},
        {"an unserved Wayland session", desktop_common::unservedWaylandWording("no org.gnome.Mutter.ScreenCast on the session bus; no screen copy")},
    };
    for (const auto& [backend, wording] : backends)
        for (const auto& text : shownTexts(wording))
            for (const char* word : {"Mac", "macOS", "맥", "System Settings", "시스템 설정", "Privacy", "개인정보", "손쉬운 사용",
                                     "Accessibility", "iMessage", "Apple", "Xcode", "Open Settings", "설정 열기"})
                EXPECT_EQ(text.find(word), std::string::npos) << backend << ": \"" << text << '"';
}

}  // namespace
}  // namespace kestrio::platform
