#include "platform/x11/x11_backend.h"

#include "platform/x11/randr_displays.h"
#include "platform/x11/x11_display_capture.h"
#include "platform/x11/x11_permissions.h"
#include "platform/x11/x11_session_watch.h"
#include "platform/x11/x11_wording.h"
#include "platform/x11/xtest_input_poster.h"
#include "platform/x11/xvfb_server.h"

#include <cstdlib>
#include <string>
#include <utility>

namespace kestrio::platform::x11 {

desktop::DesktopBackend makeX11Backend(std::ostream& out)
{
    const char* display = std::getenv("DISPLAY");
    std::string displayName = display ? display : "";
    std::shared_ptr<XvfbServer> ownServer;
    if (displayName.empty()) {
        std::string error;
        XvfbServer::Options screen;
        // Started large so that the screen can grow to the right for a virtual monitor.
        screen.maximumSize = ScreenSize{3840, 2160};
        ownServer = XvfbServer::start(screen, error);
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
    desktop::DesktopBackend backend;
    backend.name = "x11";
    auto displays = std::make_shared<RandrDisplayFacility>(displayName);
    for (const auto& output : displays->undoLeftovers())
        out << "turned off " << output << ", which an earlier run lit for its virtual monitor" << std::endl;
    backend.displays = displays;
    backend.capture = std::make_shared<X11DisplayCaptureFactory>(displayName, nullptr, true, ownServer != nullptr);
    backend.input = std::make_shared<XTestInputPoster>(displayName);
    backend.permissions = std::make_shared<X11PermissionFacility>(displayName);
    backend.wording = x11DesktopWording();
    // The watch goes before the server it may restart.
    auto watch = std::make_shared<X11SessionWatch>(displayName, ownServer);
    backend.keepAlive = std::shared_ptr<void>(new std::pair(ownServer, watch), [](auto* both) {
        both->second.reset();
        delete both;
    });
    backend.watchSession = [weak = std::weak_ptr(watch)](std::function<void(desktop::SessionNews)> news) {
        if (auto watch = weak.lock())
            watch->start(std::move(news));
    };
    return backend;
}

}  // namespace kestrio::platform::x11
