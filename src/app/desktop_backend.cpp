#include "app/desktop_backend.h"

#include "display/virtual_display_error.h"
#include "platform/gnome/gnome_display_capture.h"
#include "platform/gnome/gnome_displays.h"
#include "platform/gnome/gnome_input_poster.h"
#include "platform/gnome/gnome_permissions.h"
#include "platform/linux/linux_wording.h"
#include "platform/wlroots/screencopy_capture.h"
#include "platform/wlroots/sway_ipc.h"
#include "platform/wlroots/wayland_connection.h"
#include "platform/wlroots/wlroots_displays.h"
#include "platform/wlroots/wlroots_input_poster.h"
#include "platform/wlroots/wlroots_permissions.h"
#include "platform/x11/randr_displays.h"
#include "platform/x11/x11_display_capture.h"
#include "platform/x11/x11_permissions.h"
#include "platform/x11/x11_wording.h"
#include "platform/x11/xtest_input_poster.h"
#include "platform/x11/xvfb_server.h"

#include <cstdlib>
#include <optional>
#include <stdexcept>

namespace kestrio::app {
namespace {

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A desktop no backend serves: no displays, no capture, no input, and texts that say so.
class UnservedDesktop final : public display::DisplayFacility,
                              public capture::DisplayCaptureFactory,
                              public model::InputEventPoster,
                              public model::PermissionFacility {
public:
    explicit UnservedDesktop(std::string why) : why_(std::move(why)) {}

    std::vector<display::DisplayInfo> displays() override { throw std::runtime_error(why_); }
    std::unique_ptr<display::VirtualMonitor> createVirtualMonitor(display::VirtualResolution, int) override
    {
        throw display::VirtualDisplayException(display::VirtualDisplayError::creationFailed);
    }
    std::unique_ptr<capture::DisplayCaptureStream> start(const capture::CaptureDisplay&, const capture::CaptureConfiguration&,
                                                         std::shared_ptr<runtime::SerialQueue>,
                                                         capture::DisplayCaptureStream::FrameHandler) override
    {
        throw capture::CaptureError(why_);
    }
    std::optional<model::ScreenPoint> pointerLocation() override { return std::nullopt; }
    void warpPointer(model::ScreenPoint) override {}
    void postMouseEvent(model::MouseEventType, model::ScreenPoint) override {}
    void postScroll(std::int32_t, std::int32_t) override {}
    void postKey(model::Key, model::Modifiers) override {}
    void postText(std::string_view, model::Modifiers) override {}
    bool inputTrusted() override { return false; }
    void promptForInputTrust() override {}
    bool captureAllowed() override { return false; }
    void requestCaptureAccess() override {}

private:
    std::string why_;
};

DesktopBackend unserved(const std::string& missing, std::ostream& out)
{
    out << "this Wayland session cannot be shared: " << missing << std::endl;
    DesktopBackend backend;
    backend.name = "none";
    auto desktop = std::make_shared<UnservedDesktop>("지원되지 않는 Wayland 데스크톱");
    backend.displays = desktop;
    backend.capture = desktop;
    backend.input = desktop;
    backend.permissions = desktop;
    backend.wording = platform::unservedWaylandWording(missing);
    return backend;
}

// GNOME when Mutter's services answer; empty with `why` set when they do not.
std::optional<DesktopBackend> gnome(std::ostream& out, std::string& why)
{
    std::shared_ptr<platform::gnome::GnomeDesktop> desktop;
    try {
        desktop = platform::gnome::GnomeDesktop::connect();
    } catch (const platform::gnome::MutterError& error) {
        why = error.what();
        return std::nullopt;
    }
    if (const auto missing = desktop->bus().missingServices(); !missing.empty()) {
        std::string names;
        for (const auto& service : missing)
            names += (names.empty() ? "" : ", ") + service;
        why = "no " + names + " on the session bus";
        return std::nullopt;
    }
    out << "sharing the GNOME Wayland desktop through Mutter's screen-cast and remote-desktop services" << std::endl;
    DesktopBackend backend;
    backend.name = "gnome";
    backend.displays = std::make_shared<platform::gnome::GnomeDisplayFacility>(desktop);
    backend.capture = std::make_shared<platform::gnome::GnomeDisplayCaptureFactory>(desktop);
    backend.input = std::make_shared<platform::gnome::GnomeInputPoster>(desktop);
    backend.permissions = std::make_shared<platform::gnome::GnomePermissionFacility>(desktop);
    backend.wording = platform::gnome::gnomeDesktopWording();
    backend.keepAlive = desktop;
    return backend;
}

// A wlroots compositor when it offers screen copy; empty with `why` set when it does not.
std::optional<DesktopBackend> wlroots(std::ostream& out, std::string& why)
{
    try {
        platform::wlroots::WaylandConnection connection;
        if (!connection.screencopy()) {
            why = "the compositor offers no wlroots screen-copy protocol";
            return std::nullopt;
        }
    } catch (const platform::wlroots::WaylandError& error) {
        why = error.what();
        return std::nullopt;
    }
    const bool sway = !platform::wlroots::SwayIpc::socketPath().empty();
    out << "sharing the Wayland desktop through the wlroots screen-copy and virtual-input protocols"
        << (sway ? ", virtual monitors through sway's IPC" : "") << std::endl;
    DesktopBackend backend;
    backend.name = "wlroots";
    auto displays = std::make_shared<platform::wlroots::WlrootsDisplayFacility>();
    backend.displays = displays;
    backend.capture = std::make_shared<platform::wlroots::ScreencopyCaptureFactory>(displays);
    backend.input = std::make_shared<platform::wlroots::WlrootsInputPoster>();
    backend.permissions = std::make_shared<platform::wlroots::WlrootsPermissionFacility>();
    backend.wording = platform::wlroots::wlrootsDesktopWording(sway ? "sway" : "Wayland 컴포지터");
    return backend;
}

DesktopBackend wayland(std::ostream& out)
{
    std::string gnomeWhy, wlrootsWhy;
    if (auto backend = gnome(out, gnomeWhy))
        return std::move(*backend);
    if (auto backend = wlroots(out, wlrootsWhy))
        return std::move(*backend);
    return unserved(gnomeWhy + "; " + wlrootsWhy, out);
}

DesktopBackend x11(std::ostream& out)
{
    std::string displayName = environment("DISPLAY");
    std::shared_ptr<platform::XvfbServer> ownServer;
    if (displayName.empty()) {
        std::string error;
        platform::XvfbServer::Options screen;
        // Started large so that the screen can grow to the right for a virtual monitor.
        screen.maximumSize = platform::ScreenSize{3840, 2160};
        ownServer = platform::XvfbServer::start(screen, error);
        if (!ownServer) {
            out << "no display to share: " << error << std::endl;
        } else {
            // The server admits only holders of its cookie: this process, its X clients and the
            // programs it starts; the user reaches it through the file named below.
            displayName = ownServer->displayName();
            ::setenv("DISPLAY", displayName.c_str(), 1);
            ownServer->authorizeThisProcess();
            out << "no DISPLAY given: sharing a virtual screen on " << displayName << std::endl;
            out << "its X authority file: " << ownServer->authorityFile() << std::endl;
        }
    }
    DesktopBackend backend;
    backend.name = "x11";
    auto displays = std::make_shared<platform::RandrDisplayFacility>(displayName);
    for (const auto& output : displays->undoLeftovers())
        out << "turned off " << output << ", which an earlier run lit for its virtual monitor" << std::endl;
    backend.displays = displays;
    backend.capture = std::make_shared<platform::X11DisplayCaptureFactory>(displayName);
    backend.input = std::make_shared<platform::XTestInputPoster>(displayName);
    backend.permissions = std::make_shared<platform::X11PermissionFacility>(displayName);
    backend.wording = platform::x11DesktopWording();
    backend.keepAlive = ownServer;
    return backend;
}

}  // namespace

DesktopBackend chooseDesktopBackend(std::ostream& out)
{
    const bool wayland = environment("XDG_SESSION_TYPE") == "wayland" ||
                         (!environment("WAYLAND_DISPLAY").empty() && environment("DISPLAY").empty());
    return wayland ? app::wayland(out) : x11(out);
}

}  // namespace kestrio::app
