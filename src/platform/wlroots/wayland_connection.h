#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_output;
struct wl_shm;
struct wl_seat;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct zwlr_screencopy_manager_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwp_virtual_keyboard_manager_v1;

namespace kestrio::platform::wlroots {

// The compositor could not be reached, or broke the connection; the text says why.
class WaylandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An output of the compositor, as its Wayland globals describe it.
struct WaylandOutput {
    std::uint32_t global = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* xdgOutput = nullptr;
    std::string name;  // "HEADLESS-1", "DP-1"
    std::string make;
    std::string model;
    int x = 0;  // in the desktop's layout, logical pixels
    int y = 0;
    int width = 0;
    int height = 0;
};

// One client connection to a wlroots compositor, with the globals the host uses bound: shared
// memory, the seat, the outputs (named and placed through xdg-output), screen copy and the
// virtual pointer and keyboard. Used by one thread at a time.
class WaylandConnection {
public:
    // The compositor at `display` (a socket name or path; empty: $WAYLAND_DISPLAY). Throws WaylandError.
    explicit WaylandConnection(const std::string& display = {});
    ~WaylandConnection();
    WaylandConnection(const WaylandConnection&) = delete;
    WaylandConnection& operator=(const WaylandConnection&) = delete;

    wl_display* display() const { return display_; }
    wl_shm* shm() const { return shm_; }
    wl_seat* seat() const { return seat_; }
    zwlr_screencopy_manager_v1* screencopy() const { return screencopy_; }
    std::uint32_t screencopyVersion() const { return screencopyVersion_; }
    zwlr_virtual_pointer_manager_v1* virtualPointer() const { return virtualPointer_; }
    zwp_virtual_keyboard_manager_v1* virtualKeyboard() const { return virtualKeyboard_; }

    // Waits until the compositor has answered everything sent so far, outputs added or removed
    // since included. Throws WaylandError when the connection broke.
    void roundtrip();
    // Handles what the compositor has sent, without waiting. False when the connection broke.
    bool dispatchWithoutWaiting();

    const std::vector<std::unique_ptr<WaylandOutput>>& outputs() const { return outputs_; }
    const WaylandOutput* output(const std::string& name) const;
    bool present(const wl_output* output) const;

private:
    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version);
    static void globalRemove(void* data, wl_registry* registry, std::uint32_t name);
    void describe(WaylandOutput& output);

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_shm* shm_ = nullptr;
    wl_seat* seat_ = nullptr;
    zxdg_output_manager_v1* xdgOutputs_ = nullptr;
    zwlr_screencopy_manager_v1* screencopy_ = nullptr;
    std::uint32_t screencopyVersion_ = 0;
    zwlr_virtual_pointer_manager_v1* virtualPointer_ = nullptr;
    zwp_virtual_keyboard_manager_v1* virtualKeyboard_ = nullptr;
    std::vector<std::unique_ptr<WaylandOutput>> outputs_;
};

}  // namespace kestrio::platform::wlroots
