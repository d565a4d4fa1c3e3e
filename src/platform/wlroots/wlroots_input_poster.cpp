#include "platform/wlroots/wlroots_input_poster.h"

#include "platform/desktop_common/shared_memory_file.h"

#include "virtual-keyboard-unstable-v1.h"
#include "wlr-virtual-pointer-unstable-v1.h"

#include <wayland-client.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

namespace kestrio::platform::wlroots {
namespace {

constexpr std::uint32_t leftButton = 0x110;   // BTN_LEFT
constexpr std::uint32_t rightButton = 0x111;  // BTN_RIGHT
constexpr std::uint32_t pressed = 1;
constexpr std::uint32_t released = 0;
constexpr std::uint32_t keymapFormatXkbV1 = 1;
constexpr std::uint32_t controlMask = 1u << 2;  // xkb's real modifiers: Shift, Lock, Control, …
constexpr std::uint32_t verticalScroll = 0;
constexpr std::uint32_t horizontalScroll = 1;
constexpr std::uint32_t fingerSource = 1;

struct Box {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The box around every output: what absolute pointer motion spans.
Box layoutBox(const WaylandConnection& connection)
{
    int left = std::numeric_limits<int>::max(), top = left, right = std::numeric_limits<int>::min(), bottom = right;
    for (const auto& output : connection.outputs()) {
        if (output->width <= 0 || output->height <= 0)
            continue;
        left = std::min(left, output->x);
        top = std::min(top, output->y);
        right = std::max(right, output->x + output->width);
        bottom = std::max(bottom, output->y + output->height);
    }
    if (left > right)
        return {};
    return {left, top, right - left, bottom - top};
}

bool described(const WaylandConnection& connection)
{
    return std::all_of(connection.outputs().begin(), connection.outputs().end(),
                       [](const auto& output) { return output->width > 0 && output->height > 0; });
}

}  // namespace

WlrootsInputPoster::WlrootsInputPoster(std::string waylandDisplay) : waylandDisplay_(std::move(waylandDisplay)) {}

WlrootsInputPoster::~WlrootsInputPoster()
{
    std::lock_guard lock(mutex_);
    disconnect();
}

bool WlrootsInputPoster::connect()
{
    if (connection_) {
        // Outputs come and go (a virtual monitor): the layout is read before it is used.
        if (connection_->dispatchWithoutWaiting()) {
            try {
                if (!described(*connection_))
                    connection_->roundtrip();
                return true;
            } catch (const WaylandError&) {
            }
        }
        disconnect();
    }
    try {
        connection_ = std::make_unique<WaylandConnection>(waylandDisplay_);
    } catch (const WaylandError&) {
        return false;
    }
    if (!connection_->seat() || !connection_->virtualPointer()) {
        disconnect();
        return false;
    }
    pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(connection_->virtualPointer(), connection_->seat());
    if (connection_->virtualKeyboard())
        keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(connection_->virtualKeyboard(), connection_->seat());
    keymap_ = VirtualKeymap();
    keymapSent_ = false;
    return true;
}

void WlrootsInputPoster::disconnect()
{
    if (keyboard_)
        zwp_virtual_keyboard_v1_destroy(keyboard_);
    if (pointer_)
        zwlr_virtual_pointer_v1_destroy(pointer_);
    keyboard_ = nullptr;
    pointer_ = nullptr;
    if (connection_)
        wl_display_flush(connection_->display());
    connection_.reset();
}

void WlrootsInputPoster::flush()
{
    // A long text fills the socket: what is sent waits for the compositor to read, a while.
    while (wl_display_flush(connection_->display()) < 0) {
        pollfd writable{wl_display_get_fd(connection_->display()), POLLOUT, 0};
        if (errno != EAGAIN || ::poll(&writable, 1, 1000) <= 0) {
            disconnect();
            return;
        }
    }
}

std::uint32_t WlrootsInputPoster::now() const
{
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - epoch_).count());
}

void WlrootsInputPoster::moveTo(model::ScreenPoint point)
{
    const Box box = layoutBox(*connection_);
    if (box.width <= 0 || box.height <= 0)
        return;
    const auto along = [](double at, int origin, int extent) {
        return static_cast<std::uint32_t>(std::clamp(std::lround(at - origin), 0L, static_cast<long>(extent - 1)));
    };
    zwlr_virtual_pointer_v1_motion_absolute(pointer_, now(), along(point.x, box.x, box.width), along(point.y, box.y, box.height),
                                            static_cast<std::uint32_t>(box.width), static_cast<std::uint32_t>(box.height));
    zwlr_virtual_pointer_v1_frame(pointer_);
    location_ = point;
}

std::optional<model::ScreenPoint> WlrootsInputPoster::pointerLocation()
{
    // The compositor does not tell clients where the pointer is; this is where it was last put.
    std::lock_guard lock(mutex_);
    return location_;
}

void WlrootsInputPoster::prepare()
{
    std::lock_guard lock(mutex_);
    if (!connect())
        return;
    // The outputs may have moved since they were last read (sway places the outputs it was not
    // told where to put right of those it was, a virtual monitor among them): the first touch
    // is mapped onto the layout as it is now.
    try {
        connection_->roundtrip();
    } catch (const WaylandError&) {
        disconnect();
        return;
    }
    zwlr_virtual_pointer_v1_motion(pointer_, now(), 0, 0);
    zwlr_virtual_pointer_v1_frame(pointer_);
    flush();
}

void WlrootsInputPoster::warpPointer(model::ScreenPoint to) { postMouseEvent(model::MouseEventType::moved, to); }

void WlrootsInputPoster::postMouseEvent(model::MouseEventType type, model::ScreenPoint at)
{
    std::lock_guard lock(mutex_);
    if (!connect())
        return;
    moveTo(at);
    const auto button = [&](std::uint32_t which, bool down) {
        zwlr_virtual_pointer_v1_button(pointer_, now(), which, down ? pressed : released);
        zwlr_virtual_pointer_v1_frame(pointer_);
    };
    switch (type) {
    case model::MouseEventType::leftDown:
    case model::MouseEventType::leftUp:
        button(leftButton, type == model::MouseEventType::leftDown);
        break;
    case model::MouseEventType::rightDown:
    case model::MouseEventType::rightUp:
        button(rightButton, type == model::MouseEventType::rightDown);
        break;
    case model::MouseEventType::moved:
    case model::MouseEventType::leftDragged:
        break;
    }
    flush();
}

void WlrootsInputPoster::postScroll(std::int32_t vertical, std::int32_t horizontal)
{
    if (vertical == 0 && horizontal == 0)
        return;
    std::lock_guard lock(mutex_);
    if (!connect())
        return;
    // Pixel for pixel, as a finger's scroll that does not end, so that content moves as far as
    // under the finger on the phone and nothing kinetic follows. wlroots keeps the scroll of a
    // frame in the slot of the axis last named by an axis stop (or a wheel click), whatever axis
    // a plain axis request names: each axis goes in a frame of its own, named first by a stop
    // that the scroll then replaces.
    const auto scroll = [&](std::uint32_t axis, std::int32_t pixels) {
        if (pixels == 0)
            return;
        const std::uint32_t time = now();
        zwlr_virtual_pointer_v1_axis_stop(pointer_, time, axis);
        zwlr_virtual_pointer_v1_axis_source(pointer_, fingerSource);
        zwlr_virtual_pointer_v1_axis(pointer_, time, axis, wl_fixed_from_int(-pixels));
        zwlr_virtual_pointer_v1_frame(pointer_);
    };
    scroll(verticalScroll, vertical);
    scroll(horizontalScroll, horizontal);
    flush();
}

void WlrootsInputPoster::postKey(model::Key key, model::Modifiers modifiers)
{
    const desktop_common::Keysym keysym = desktop_common::keysymForKey(key);
    if (keysym == desktop_common::noSymbol)
        return;
    std::lock_guard lock(mutex_);
    if (connect())
        typeKeysyms({keysym}, modifiers.shortcut);
}

void WlrootsInputPoster::postText(std::string_view text, model::Modifiers modifiers)
{
    const auto keysyms = desktop_common::keysymsForText(text);
    if (keysyms.empty())
        return;
    std::lock_guard lock(mutex_);
    if (connect())
        typeKeysyms(keysyms, modifiers.shortcut);
}

void WlrootsInputPoster::typeKeysyms(const std::vector<desktop_common::Keysym>& keysyms, bool shortcut)
{
    if (!keyboard_)
        return;
    std::size_t typed = 0;
    // In parts that the layout can hold, the layout uploaded again before a part that needs it.
    for (auto part = keysyms.begin(); part != keysyms.end();) {
        std::vector<desktop_common::Keysym> distinct;
        auto end = part;
        for (; end != keysyms.end(); ++end) {
            if (std::find(distinct.begin(), distinct.end(), *end) != distinct.end())
                continue;
            if (distinct.size() + 1 >= VirtualKeymap::capacity)
                break;
            distinct.push_back(*end);
        }
        if (keymap_.include(distinct) || !keymapSent_) {
            const std::string layout = keymap_.text();
            // Sent with its ending zero byte.
            const desktop_common::SharedMemoryFile file("kestrio-keymap", layout.size() + 1);
            if (!file)
                return;
            std::memcpy(file.data(), layout.c_str(), file.size());
            zwp_virtual_keyboard_v1_keymap(keyboard_, keymapFormatXkbV1, file.descriptor(), static_cast<std::uint32_t>(file.size()));
            keymapSent_ = true;
        }
        const auto control = keymap_.keyOf(desktop_common::controlKeysym);
        for (; part != end; ++part) {
            const auto key = keymap_.keyOf(*part);
            if (!key)
                continue;
            // The compositor keeps no modifier state for a virtual keyboard: it is sent along.
            if (shortcut && control) {
                zwp_virtual_keyboard_v1_key(keyboard_, now(), *control, pressed);
                zwp_virtual_keyboard_v1_modifiers(keyboard_, controlMask, 0, 0, 0);
            }
            zwp_virtual_keyboard_v1_key(keyboard_, now(), *key, pressed);
            zwp_virtual_keyboard_v1_key(keyboard_, now(), *key, released);
            if (shortcut && control) {
                zwp_virtual_keyboard_v1_key(keyboard_, now(), *control, released);
                zwp_virtual_keyboard_v1_modifiers(keyboard_, 0, 0, 0, 0);
            }
            if (++typed % 64 == 0) {
                flush();
                if (!keyboard_)
                    return;
            }
        }
    }
    flush();
}

}  // namespace kestrio::platform::wlroots
