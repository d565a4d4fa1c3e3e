#pragma once

#include "display/display_facility.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <string>

namespace kestrio::platform {

// A virtual monitor on an X server: the screen grows to the right of the existing monitors by the
// resolution's width, and a RandR 1.5 monitor named display::virtualMonitorName covers the new
// part. Its ID is that name's atom. The resolution's single 60 Hz mode is created on the server
// for it.
//
// X confines the pointer to what CRTCs scan out, and a monitor without a CRTC cannot be entered.
// When one CRTC scans out the whole screen from the origin (Xvfb), that CRTC is given a mode as
// large as the grown screen and the part the physical display showed before becomes a monitor of
// its own, tied to the output. Otherwise the monitor is still made and can be captured, but the
// pointer cannot reach it.
//
// Destroying the object deletes the monitor, puts the CRTC back on its mode and shrinks the
// screen to the size it had.
class X11VirtualMonitor final : public display::VirtualMonitor {
public:
    // Removes a monitor of the same name first (one left by an earlier run or attempt). Throws
    // display::VirtualDisplayException: settingsRejected when the server refuses the mode,
    // creationFailed otherwise; nothing is left changed then. `displayName` empty means $DISPLAY.
    static std::unique_ptr<X11VirtualMonitor> create(const std::string& displayName, display::VirtualResolution resolution);

    ~X11VirtualMonitor() override;
    X11VirtualMonitor(const X11VirtualMonitor&) = delete;
    X11VirtualMonitor& operator=(const X11VirtualMonitor&) = delete;

    std::uint32_t displayID() const override { return name_; }
    // Whether the pointer can be moved onto the monitor.
    bool pointerCanEnter() const { return spanningMode_ != XCB_NONE; }

private:
    X11VirtualMonitor() = default;
    void stretchCrtcOver(int grownWidth, int grownHeight);
    void undoCrtc();
    void undo();

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = XCB_NONE;
    xcb_atom_t name_ = XCB_ATOM_NONE;
    bool monitorSet_ = false;

    // The screen as it was.
    std::uint16_t width_ = 0;
    std::uint16_t height_ = 0;
    std::uint32_t widthMillimetres_ = 0;
    std::uint32_t heightMillimetres_ = 0;
    bool grown_ = false;

    xcb_randr_mode_t resolutionMode_ = XCB_NONE;

    // The CRTC stretched over the grown screen, and what it showed before.
    xcb_randr_crtc_t crtc_ = XCB_NONE;
    xcb_randr_output_t output_ = XCB_NONE;
    xcb_randr_mode_t crtcMode_ = XCB_NONE;
    std::int16_t crtcX_ = 0;
    std::int16_t crtcY_ = 0;
    std::uint16_t crtcRotation_ = XCB_RANDR_ROTATION_ROTATE_0;
    xcb_randr_mode_t spanningMode_ = XCB_NONE;
    bool spanningModeAdded_ = false;
    bool crtcSwitched_ = false;
    xcb_atom_t physicalName_ = XCB_ATOM_NONE;
    bool physicalMonitorSet_ = false;
};

}  // namespace kestrio::platform
