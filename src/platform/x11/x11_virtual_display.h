#pragma once

#include "desktop/display_facility.h"
#include "platform/x11/spare_output.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kestrio::platform::x11 {

// A virtual monitor on an X server: a RandR 1.5 monitor named display::virtualMonitorName to the
// right of the existing monitors, the screen grown to hold it. Its ID is that name's atom.
//
// X keeps the pointer inside what CRTCs scan out, so the monitor needs a CRTC of its own for the
// pointer (and so the viewer's touches) to enter it. How it gets one depends on the server, and
// no output the user sees is ever changed:
// - On a server that drives monitors, a spare output (SpareOutput: a disconnected output with a
//   free CRTC) is lit with a mode of the resolution, and the monitor is that output.
// - On Xvfb (whose only output is its "screen"), which drives no monitor, its one CRTC is given a
//   mode as large as the grown screen, and the part it showed before becomes a monitor of its own.
// - Otherwise (no spare output, or the server refuses one) the monitor covers the new part of the
//   screen without a CRTC: it can be captured, but the pointer cannot enter it.
//
// Destroying the object deletes the monitor and undoes the rest: the output off and its mode gone,
// or the CRTC back on its mode, and the screen as large as it was.
class X11VirtualMonitor final : public display::VirtualMonitor {
public:
    // Removes a monitor of the same name first, and undoes what an earlier run left lit (as
    // undoLeftovers does). Throws display::VirtualDisplayException: settingsRejected when the
    // server refuses the mode, creationFailed otherwise; nothing is left changed then.
    // `displayName` empty means $DISPLAY. `records`: where a lit output is recorded.
    static std::unique_ptr<X11VirtualMonitor> create(const std::string& displayName, display::VirtualResolution resolution,
                                                     const std::filesystem::path& records);

    // Undoes what an earlier run of the host left on the server: the virtual monitor and an
    // output it lit (see undoLeftoverOutputs). Returns the names of the outputs turned off.
    static std::vector<std::string> undoLeftovers(const std::string& displayName, const std::filesystem::path& records);

    ~X11VirtualMonitor() override;
    X11VirtualMonitor(const X11VirtualMonitor&) = delete;
    X11VirtualMonitor& operator=(const X11VirtualMonitor&) = delete;

    std::uint32_t displayID() const override { return name_; }
    bool pointerCanEnter() const override { return spareOutput_ != nullptr || spanningMode_ != XCB_NONE; }
    // The output lit for the monitor; empty when none was.
    std::string outputName() const { return spareOutput_ ? spareOutput_->outputName() : std::string(); }

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

    std::unique_ptr<SpareOutput> spareOutput_;
    xcb_randr_mode_t resolutionMode_ = XCB_NONE;
    bool resolutionModeCreated_ = false;  // by this monitor: destroyed with it

    // The CRTC stretched over the grown screen, and what it showed before.
    xcb_randr_crtc_t crtc_ = XCB_NONE;
    xcb_randr_output_t output_ = XCB_NONE;
    xcb_randr_mode_t crtcMode_ = XCB_NONE;
    std::int16_t crtcX_ = 0;
    std::int16_t crtcY_ = 0;
    std::uint16_t crtcRotation_ = XCB_RANDR_ROTATION_ROTATE_0;
    xcb_randr_mode_t spanningMode_ = XCB_NONE;
    bool spanningModeCreated_ = false;
    bool spanningModeAdded_ = false;
    bool crtcSwitched_ = false;
    xcb_atom_t physicalName_ = XCB_ATOM_NONE;
    bool physicalMonitorSet_ = false;
};

}  // namespace kestrio::platform::x11
