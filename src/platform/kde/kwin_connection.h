#pragma once

#include "platform/os/unique_fd.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_output;
struct wl_seat;
struct wl_keyboard;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct zkde_screencast_unstable_v1;
struct org_kde_kwin_fake_input;
struct zwlr_data_control_manager_v1;

namespace kestrio::platform::kde {

// KWin could not be reached, or broke the connection; the text says why.
class KwinError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An output of the compositor as its Wayland globals describe it, in logical pixels.
struct KwinOutput {
    std::uint32_t global = 0;
    std::string name;  // "Virtual-0", "DP-1"
    std::string make;
    std::string model;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    double scale = 1;
};

// One client connection to KWin, kept for the host's life, whose events a thread of its own
// reads as they come (a client that stops reading is cut off by the compositor). Listeners run
// on that thread with the connection's lock held; every request is made with the lock held too
// (lock()), so that no answer can come before its listener is set. Callers wait for answers on
// changed(), which every event notifies.
class KwinConnection {
public:
    // The compositor at `display` (a socket name or path; empty: $WAYLAND_DISPLAY). Throws KwinError.
    explicit KwinConnection(const std::string& display = {});
    ~KwinConnection();
    KwinConnection(const KwinConnection&) = delete;
    KwinConnection& operator=(const KwinConnection&) = delete;

    // Whether the compositor at `display` is KWin: it offers KDE's own globals, whatever it grants
    // this program. Binds nothing. False when no compositor answers.
    static bool serves(const std::string& display = {});
    // KDE's own globals are offered: the compositor is KWin, whatever it grants this program.
    bool kwin() const { return kwin_; }
    // The restricted globals, offered only to programs KWin grants them.
    zkde_screencast_unstable_v1* screencast() const { return screencast_; }
    std::uint32_t screencastVersion() const { return screencastVersion_; }
    org_kde_kwin_fake_input* fakeInput() const { return fakeInput_; }
    zwlr_data_control_manager_v1* dataControl() const { return dataControl_; }
    wl_seat* seat() const { return seat_; }
    wl_display* display() const { return display_; }

    std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }
    // Wakes every waiter; for listeners, which run with the lock held.
    void notify() { changed_.notify_all(); }
    // Waits, with `held` (this connection's lock) held, until `done` holds, the connection broke
    // or `timeout` passed; whether `done` holds.
    bool waitFor(std::unique_lock<std::mutex>& held, std::chrono::milliseconds timeout, const std::function<bool()>& done);
    // Sends what was asked so far; with the lock held. False when the connection broke.
    bool flush();
    // Waits until the compositor has answered everything asked before, outputs added or removed
    // since included; `answered` runs as the answer is read, before anything that came after it.
    // Throws KwinError when the connection broke or KWin did not answer in 5 s.
    void sync(std::unique_lock<std::mutex>& held, std::function<void()> answered = {});
    void sync();
    bool broken() const { return broken_; }

    // The outputs as they are now (after a sync); with the lock held.
    std::vector<KwinOutput> outputs() const;
    // The output of `global`, to be streamed; null when it is gone. With the lock held.
    wl_output* outputObject(std::uint32_t global) const;

    // The keyboard layout KWin types with (xkb's text form), as its seat tells it; empty until told.
    // keymapVersion() counts the layouts told, so that a reader takes the text only when it changed.
    // With the lock held.
    const std::string& keymap() const { return keymap_; }
    std::uint64_t keymapVersion() const { return keymapVersion_; }

    // An output's proxies and what they said of it; its listeners are the reading thread's.
    struct Output;

private:
    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version);
    static void globalRemove(void* data, wl_registry* registry, std::uint32_t name);
    static void seatCapabilities(void* data, wl_seat* seat, std::uint32_t capabilities);
    static void keymapGiven(void* data, wl_keyboard* keyboard, std::uint32_t format, std::int32_t fd, std::uint32_t size);
    void describe(Output& output);
    void read();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_seat* seat_ = nullptr;
    wl_keyboard* keyboard_ = nullptr;
    zxdg_output_manager_v1* xdgOutputs_ = nullptr;
    zkde_screencast_unstable_v1* screencast_ = nullptr;
    std::uint32_t screencastVersion_ = 0;
    org_kde_kwin_fake_input* fakeInput_ = nullptr;
    zwlr_data_control_manager_v1* dataControl_ = nullptr;
    bool kwin_ = false;
    bool broken_ = false;
    std::string keymap_;
    std::uint64_t keymapVersion_ = 0;
    std::vector<std::unique_ptr<Output>> outputs_;
    os::UniqueFd stopRead_;
    os::UniqueFd stopWrite_;
    std::thread reader_;
};

}  // namespace kestrio::platform::kde
