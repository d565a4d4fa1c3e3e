#pragma once

// What a desktop backend supplies: everything the host needs of the desktop session it serves.
// The seams it implements are declared beside this header, each keeping the namespace of the
// layer that uses it:
//
//   display_facility.h    display::DisplayFacility: the displays, and making a virtual monitor
//   display_capture.h     capture::DisplayCaptureFactory: the pictures of a display
//   input_event_poster.h  model::InputEventPoster: the pointer, keys and text
//   permission_facility.h model::PermissionFacility: whether the desktop allows input and capture
//   platform_wording.h    model::PlatformWording: every text that names the desktop's facilities
//
// A backend is one folder under platform/ (x11/, gnome/, kde/, wlroots/) whose <name>_backend.h
// declares its one entry point, make<Name>Backend(std::ostream&, …). The chooser
// (app/desktop_chooser.cpp) is the only place that names the backends: it calls the entry
// points in order and takes the first backend that serves the session. unserved_desktop.h has
// the backend of a session that none serves. What several backends use lives in
// platform/desktop_common/ (keysyms, display identifiers, shared memory, the descriptor watch, the
// base texts) and platform/pipewire/ (a compositor's video stream and its capture).
//
// Lifecycle: the entry point runs once, on the main thread, at start, before the model and
// everything that uses the parts are made. It looks at the session first and makes nothing when it cannot serve it; otherwise it
// makes every part at once and says on `out` what it serves and how. The model, its queues and
// its capture sessions then hold the parts and call them from their own threads (input on the
// input and mouse-control queues, capture on each session's queue), so every part takes calls
// from any thread. The parts end when their last holder lets go, after the model has shut down;
// `keepAlive` ends after all of them.

#include "desktop/display_capture.h"
#include "desktop/display_facility.h"
#include "desktop/input_event_poster.h"
#include "desktop/permission_facility.h"
#include "desktop/platform_wording.h"

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

namespace kestrio::desktop {

// What a desktop session says of itself while the host runs: a note for the user (a new X
// server of the host's own took over from one that died), or that it ended for good.
struct SessionNews {
    std::string text;
    bool ended = false;
};

// One desktop backend's parts. Every part is set (none is null) but watchSession, wording in every field.
struct DesktopBackend {
    // What the parts share and must outlive them (an X server of the host's own, the compositor's
    // bus); may be null. Declared first, so that it is ended last.
    std::shared_ptr<void> keepAlive;
    std::string name;  // "x11", "gnome", "kde", "wlroots", or "none"
    std::shared_ptr<display::DisplayFacility> displays;
    std::shared_ptr<capture::DisplayCaptureFactory> capture;
    std::shared_ptr<model::InputEventPoster> input;
    std::shared_ptr<model::PermissionFacility> permissions;
    model::PlatformWording wording;
    // Starts telling `news`, from a thread of its own, what happens to the session; the watch ends
    // with keepAlive. Empty where the backend cannot tell.
    std::function<void(std::function<void(SessionNews)> news)> watchSession;
};

// The entry point of a backend that serves only some sessions (the Wayland ones, each through
// its compositor's services): the backend, or nothing with `why` set to what the session lacks,
// in words for the user.
using DesktopBackendMaker = std::optional<DesktopBackend> (*)(std::ostream& out, std::string& why);

}  // namespace kestrio::desktop
