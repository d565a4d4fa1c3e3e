#pragma once

#include "platform/x11/lit_output_record.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <memory>
#include <string>
#include <vector>

namespace kestrio::platform::x11 {

// The host's modes are named this and the size ("Kestrio-1920x1080"); an output that shows or
// offers one was lit by the host.
inline constexpr std::string_view hostModePrefix = "Kestrio-";

// A spare output of an X server (an unused socket of the graphics card, or a virtual output of its
// driver: one that shows nothing and has no monitor on it) lit as a monitor of its own: the X server then treats it as any monitor, so the
// pointer and windows can enter it. No output that shows a picture is touched.
//
// While the output is lit, what was changed is recorded (LitOutputRecords), so that a run that
// could not undo it has it undone by the next (undoLeftoverOutputs), and the host's connection
// holds a claim the server drops when that connection ends, so that an output of a host that still
// runs is never undone as a leftover.
class SpareOutput {
public:
    // Lights the first spare output that has a CRTC of its own no other output uses, with
    // a mode of `width` × `height` at 60 Hz (CVT timings), at (`x`, 0), growing the screen to hold
    // it. Null when there is no such output or the server refuses a step; nothing is left changed
    // then. All of it happens while the server is held, so no other client sees half of it.
    static std::unique_ptr<SpareOutput> light(xcb_connection_t* connection, xcb_window_t root, int width, int height, int x,
                                              const LitOutputRecords& records, std::string server);

    // Turns the output off, takes the mode off it and off the server, and gives the screen its
    // size back (never less than the outputs still lit need).
    ~SpareOutput();
    SpareOutput(const SpareOutput&) = delete;
    SpareOutput& operator=(const SpareOutput&) = delete;

    xcb_randr_output_t output() const { return output_; }
    const std::string& outputName() const { return record_.output; }

private:
    SpareOutput(xcb_connection_t* connection, xcb_window_t root, const LitOutputRecords& records, std::string server)
        : connection_(connection), root_(root), records_(records), server_(std::move(server))
    {
    }
    void undo();

    xcb_connection_t* connection_;
    xcb_window_t root_;
    LitOutputRecords records_;
    std::string server_;
    LitOutputRecord record_;
    bool recorded_ = false;
    xcb_window_t claim_ = XCB_NONE;  // owns the claim of a running host
    xcb_randr_output_t output_ = XCB_NONE;
    xcb_randr_crtc_t crtc_ = XCB_NONE;
    xcb_randr_mode_t mode_ = XCB_NONE;
    bool modeAdded_ = false;
    bool screenGrown_ = false;
    bool crtcSet_ = false;
};

// Unless a host that still runs has an output lit, turns off every output that offers one of the
// host's modes, takes those modes off every output and the server, and gives the screen the size recorded for `server` (without a record: the size
// the outputs still lit need), as an earlier run of the host would have done when it ended.
// Returns the names of the outputs turned off.
std::vector<std::string> undoLeftoverOutputs(xcb_connection_t* connection, xcb_window_t root, const LitOutputRecords& records,
                                             const std::string& server);

}  // namespace kestrio::platform::x11
