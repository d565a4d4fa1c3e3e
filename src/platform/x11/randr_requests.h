#pragma once

#include "platform/x11/xcb_reply.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::platform::x11 {

// The root window of screen `screenNumber`; XCB_NONE when the server has no such screen.
xcb_window_t rootWindow(xcb_connection_t* connection, int screenNumber);
// Whether the server carried out a checked request.
bool succeeded(xcb_connection_t* connection, xcb_void_cookie_t cookie);
// Waits until the server has handled everything sent before.
void roundTrip(xcb_connection_t* connection);
xcb_atom_t internAtom(xcb_connection_t* connection, std::string_view name);

// Adds (or replaces) the RandR 1.5 monitor `info` with `outputs`.
bool setMonitor(xcb_connection_t* connection, xcb_window_t root, const xcb_randr_monitor_info_t& info,
                const std::vector<xcb_randr_output_t>& outputs);

// A mode of `width` × `height` at 60 Hz made on the server under `name`: CVT timings, as a
// monitor would expect, or, with `cvt` false, the least blanking that still looks plausible.
// A mode of that name and size that the server has already (its own for the screen's first
// size, or one an earlier run left) is used as it is, and `created` (when given) says false:
// it is not the caller's to destroy. XCB_NONE when the server refuses.
xcb_randr_mode_t createMode(xcb_connection_t* connection, xcb_window_t root, int width, int height, const std::string& name,
                            bool cvt, bool* created = nullptr);

// `pixels` in millimetres at the density `referenceMillimetres` / `referencePixels` (96 dpi when
// the reference has no size).
std::uint32_t millimetres(int pixels, std::uint32_t referenceMillimetres, int referencePixels);

// The screen's current outputs, CRTCs and modes.
using ScreenResources = XcbReply<xcb_randr_get_screen_resources_current_reply_t>;
ScreenResources screenResources(xcb_connection_t* connection, xcb_window_t root);
std::string outputName(const xcb_randr_get_output_info_reply_t& output);
std::optional<std::string> modeName(const xcb_randr_get_screen_resources_current_reply_t& resources, xcb_randr_mode_t mode);

// The screen's size in pixels and millimetres.
struct ScreenDimensions {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint32_t widthMillimetres = 0;
    std::uint32_t heightMillimetres = 0;
    bool operator==(const ScreenDimensions&) const = default;
};
std::optional<ScreenDimensions> currentScreenSize(xcb_connection_t* connection, xcb_window_t root);
bool setScreenSize(xcb_connection_t* connection, xcb_window_t root, const ScreenDimensions& size);

// Holds the server for this connection alone while it lives, so that no other client sees a
// change half made.
class ServerGrab {
public:
    explicit ServerGrab(xcb_connection_t* connection) : connection_(connection) { xcb_grab_server(connection_); }
    ~ServerGrab()
    {
        xcb_ungrab_server(connection_);
        roundTrip(connection_);
    }
    ServerGrab(const ServerGrab&) = delete;
    ServerGrab& operator=(const ServerGrab&) = delete;

private:
    xcb_connection_t* connection_;
};

}  // namespace kestrio::platform::x11
