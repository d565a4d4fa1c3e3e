#include "platform/kde/kwin_connection.h"

#include "fake-input.h"
#include "wlr-data-control-unstable-v1.h"
#include "xdg-output-unstable-v1.h"
#include "zkde-screencast-unstable-v1.h"

#include <wayland-client.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace kestrio::platform::kde {

struct KwinConnection::Output {
    KwinConnection* connection = nullptr;
    wl_output* output = nullptr;
    zxdg_output_v1* xdgOutput = nullptr;
    KwinOutput described;
};

namespace {

constexpr auto syncWait = std::chrono::seconds(5);

template <typename Proxy>
Proxy* bind(wl_registry* registry, std::uint32_t name, const wl_interface* interface, std::uint32_t offered, std::uint32_t wanted)
{
    return static_cast<Proxy*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

// Listeners run on the reading thread with the lock held: they change what they describe and
// wake the waiters.
using Output = KwinConnection::Output;

void outputGeometry(void* data, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                    const char* make, const char* model, std::int32_t)
{
    auto* output = static_cast<Output*>(data);
    output->described.make = make ? make : "";
    output->described.model = model ? model : "";
}
void outputMode(void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {}
void outputDone(void* data, wl_output*)
{
    static_cast<Output*>(data)->connection->notify();
}
void outputScale(void* data, wl_output*, std::int32_t scale)
{
    static_cast<Output*>(data)->described.scale = scale;
}
void outputName(void* data, wl_output*, const char* name)
{
    static_cast<Output*>(data)->described.name = name ? name : "";
}
void outputDescription(void*, wl_output*, const char*) {}

void xdgPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y)
{
    auto* output = static_cast<Output*>(data);
    output->described.x = x;
    output->described.y = y;
}
void xdgSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height)
{
    auto* output = static_cast<Output*>(data);
    output->described.width = width;
    output->described.height = height;
}
void xdgDone(void* data, zxdg_output_v1*)
{
    static_cast<Output*>(data)->connection->notify();
}
void xdgName(void* data, zxdg_output_v1*, const char* name)
{
    auto* output = static_cast<Output*>(data);
    if (output->described.name.empty())
        output->described.name = name ? name : "";
}
void xdgDescription(void*, zxdg_output_v1*, const char*) {}

void keyboardEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
void keyboardLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
void keyboardKey(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
void keyboardModifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
void keyboardRepeat(void*, wl_keyboard*, std::int32_t, std::int32_t) {}

void seatName(void*, wl_seat*, const char*) {}

struct SyncAnswer {
    KwinConnection* connection = nullptr;
    std::function<void()> answered;
    bool done = false;
};
void syncDone(void* data, wl_callback*, std::uint32_t)
{
    auto* answer = static_cast<SyncAnswer*>(data);
    answer->done = true;
    if (answer->answered)
        answer->answered();
    answer->connection->notify();
}
const wl_callback_listener syncListener{syncDone};

// Globals only KWin offers (sway offers KDE's server-decoration protocol too).
bool kdeGlobal(std::string_view interface)
{
    return interface == "org_kde_plasma_shell" || interface == "kde_output_device_v2" || interface == "kde_output_order_v1";
}

}  // namespace

bool KwinConnection::serves(const std::string& display)
{
    wl_display* connection = wl_display_connect(display.empty() ? nullptr : display.c_str());
    if (!connection)
        return false;
    bool kwin = false;
    static const wl_registry_listener listener{
        [](void* data, wl_registry*, std::uint32_t, const char* interface, std::uint32_t) {
            *static_cast<bool*>(data) = *static_cast<bool*>(data) || kdeGlobal(interface);
        },
        [](void*, wl_registry*, std::uint32_t) {}};
    wl_registry* registry = wl_display_get_registry(connection);
    wl_registry_add_listener(registry, &listener, &kwin);
    wl_display_roundtrip(connection);
    wl_registry_destroy(registry);
    wl_display_disconnect(connection);
    return kwin;
}

KwinConnection::KwinConnection(const std::string& display)
{
    display_ = wl_display_connect(display.empty() ? nullptr : display.c_str());
    if (!display_)
        throw KwinError("no Wayland compositor answers at " + (display.empty() ? std::string("$WAYLAND_DISPLAY") : display));
    static const wl_registry_listener registryListener{&KwinConnection::global, &KwinConnection::globalRemove};
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &registryListener, this);
    // The globals, then what the outputs and the seat say of themselves; read here, before the
    // reading thread starts.
    if (wl_display_roundtrip(display_) < 0 || wl_display_roundtrip(display_) < 0) {
        wl_display_disconnect(display_);
        throw KwinError("the Wayland connection broke at once");
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == 0) {
        stopRead_.reset(ends[0]);
        stopWrite_.reset(ends[1]);
        reader_ = std::thread([this] { read(); });
    } else {
        broken_ = true;
    }
}

KwinConnection::~KwinConnection()
{
    if (stopWrite_)
        (void)!::write(stopWrite_.get(), "x", 1);
    if (reader_.joinable())
        reader_.join();
    for (auto& output : outputs_) {
        if (output->xdgOutput)
            zxdg_output_v1_destroy(output->xdgOutput);
        wl_output_destroy(output->output);
    }
    if (keyboard_)
        wl_keyboard_destroy(keyboard_);
    if (dataControl_)
        zwlr_data_control_manager_v1_destroy(dataControl_);
    if (fakeInput_)
        wl_proxy_destroy(reinterpret_cast<wl_proxy*>(fakeInput_));
    if (screencast_)
        zkde_screencast_unstable_v1_destroy(screencast_);
    if (xdgOutputs_)
        zxdg_output_manager_v1_destroy(xdgOutputs_);
    if (seat_)
        wl_seat_destroy(seat_);
    wl_registry_destroy(registry_);
    wl_display_flush(display_);
    wl_display_disconnect(display_);
}

void KwinConnection::read()
{
    const int fd = wl_display_get_fd(display_);
    for (;;) {
        {
            std::lock_guard held(mutex_);
            while (wl_display_prepare_read(display_) != 0) {
                if (wl_display_dispatch_pending(display_) < 0)
                    break;
            }
            wl_display_flush(display_);
        }
        pollfd ready[2]{{fd, POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
        const int polled = ::poll(ready, 2, -1);
        if (polled < 0 && errno == EINTR) {
            wl_display_cancel_read(display_);
            continue;
        }
        if (polled < 0 || (ready[1].revents & POLLIN)) {
            wl_display_cancel_read(display_);
            return;
        }
        if (ready[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (wl_display_read_events(display_) < 0) {
                std::lock_guard held(mutex_);
                broken_ = true;
                changed_.notify_all();
                return;
            }
        } else {
            wl_display_cancel_read(display_);
        }
        std::lock_guard held(mutex_);
        if (wl_display_dispatch_pending(display_) < 0 || wl_display_get_error(display_) != 0) {
            broken_ = true;
            changed_.notify_all();
            return;
        }
    }
}

bool KwinConnection::waitFor(std::unique_lock<std::mutex>& held, std::chrono::milliseconds timeout,
                             const std::function<bool()>& done)
{
    changed_.wait_for(held, timeout, [&] { return broken_ || done(); });
    return !broken_ && done();
}

bool KwinConnection::flush()
{
    if (broken_)
        return false;
    // A long burst fills the socket: what is sent waits for the compositor to read, a while.
    while (wl_display_flush(display_) < 0) {
        pollfd writable{wl_display_get_fd(display_), POLLOUT, 0};
        if (errno != EAGAIN || ::poll(&writable, 1, 1000) <= 0) {
            broken_ = true;
            return false;
        }
    }
    return true;
}

void KwinConnection::sync(std::unique_lock<std::mutex>& held, std::function<void()> answered)
{
    SyncAnswer answer{this, std::move(answered)};
    wl_callback* callback = wl_display_sync(display_);
    wl_callback_add_listener(callback, &syncListener, &answer);
    const bool done = flush() && waitFor(held, syncWait, [&] { return answer.done; });
    wl_callback_destroy(callback);
    if (!done)
        throw KwinError(broken_ ? "the connection to KWin broke" : "KWin did not answer");
}

void KwinConnection::sync()
{
    auto held = lock();
    sync(held);
}

std::vector<KwinOutput> KwinConnection::outputs() const
{
    std::vector<KwinOutput> result;
    for (const auto& output : outputs_)
        result.push_back(output->described);
    return result;
}

wl_output* KwinConnection::outputObject(std::uint32_t global) const
{
    for (const auto& output : outputs_) {
        if (output->described.global == global)
            return output->output;
    }
    return nullptr;
}

void KwinConnection::global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version)
{
    auto* self = static_cast<KwinConnection*>(data);
    const std::string_view kind(interface);
    if (kdeGlobal(kind)) {
        self->kwin_ = true;
    } else if (kind == wl_seat_interface.name && !self->seat_) {
        self->seat_ = bind<wl_seat>(registry, name, &wl_seat_interface, version, 1);
        static const wl_seat_listener seatListener{&KwinConnection::seatCapabilities, seatName};
        wl_seat_add_listener(self->seat_, &seatListener, self);
    } else if (kind == zxdg_output_manager_v1_interface.name && !self->xdgOutputs_) {
        self->xdgOutputs_ = bind<zxdg_output_manager_v1>(registry, name, &zxdg_output_manager_v1_interface, version, 3);
        for (auto& output : self->outputs_)
            self->describe(*output);
    } else if (kind == zkde_screencast_unstable_v1_interface.name && !self->screencast_) {
        self->screencast_ = bind<zkde_screencast_unstable_v1>(registry, name, &zkde_screencast_unstable_v1_interface, version, 3);
        self->screencastVersion_ = std::min<std::uint32_t>(version, 3);
    } else if (kind == org_kde_kwin_fake_input_interface.name && !self->fakeInput_) {
        self->fakeInput_ = bind<org_kde_kwin_fake_input>(registry, name, &org_kde_kwin_fake_input_interface, version, 4);
    } else if (kind == zwlr_data_control_manager_v1_interface.name && !self->dataControl_) {
        self->dataControl_ = bind<zwlr_data_control_manager_v1>(registry, name, &zwlr_data_control_manager_v1_interface, version, 2);
    } else if (kind == wl_output_interface.name) {
        static const wl_output_listener outputListener{outputGeometry, outputMode, outputDone,
                                                       outputScale, outputName, outputDescription};
        auto output = std::make_unique<Output>();
        output->connection = self;
        output->described.global = name;
        output->output = bind<wl_output>(registry, name, &wl_output_interface, version, 4);
        wl_output_add_listener(output->output, &outputListener, output.get());
        self->describe(*output);
        self->outputs_.push_back(std::move(output));
    }
    self->changed_.notify_all();
}

void KwinConnection::globalRemove(void* data, wl_registry*, std::uint32_t name)
{
    auto* self = static_cast<KwinConnection*>(data);
    auto& outputs = self->outputs_;
    const auto gone =
        std::find_if(outputs.begin(), outputs.end(), [&](const auto& output) { return output->described.global == name; });
    if (gone == outputs.end())
        return;
    if ((*gone)->xdgOutput)
        zxdg_output_v1_destroy((*gone)->xdgOutput);
    wl_output_destroy((*gone)->output);
    outputs.erase(gone);
    self->changed_.notify_all();
}

void KwinConnection::describe(Output& output)
{
    if (!xdgOutputs_ || output.xdgOutput)
        return;
    static const zxdg_output_v1_listener xdgOutputListener{xdgPosition, xdgSize, xdgDone,
                                                           xdgName, xdgDescription};
    output.xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputs_, output.output);
    zxdg_output_v1_add_listener(output.xdgOutput, &xdgOutputListener, &output);
}

void KwinConnection::seatCapabilities(void* data, wl_seat* seat, std::uint32_t capabilities)
{
    auto* self = static_cast<KwinConnection*>(data);
    // The layout KWin types fake keys with: what any client's keyboard is told. Asked for only
    // once the seat has a keyboard (asking before is an error that ends the connection).
    if (self->keyboard_ || !(capabilities & WL_SEAT_CAPABILITY_KEYBOARD))
        return;
    static const wl_keyboard_listener keyboardListener{&KwinConnection::keymapGiven, keyboardEnter, keyboardLeave,
                                                      keyboardKey, keyboardModifiers, keyboardRepeat};
    self->keyboard_ = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(self->keyboard_, &keyboardListener, self);
}

void KwinConnection::keymapGiven(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd, std::uint32_t size)
{
    auto* self = static_cast<KwinConnection*>(data);
    const os::UniqueFd owned(fd);
    if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 || size == 0 || size > (1u << 24))
        return;
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped == MAP_FAILED)
        return;
    // Sent with its ending zero byte.
    const auto* text = static_cast<const char*>(mapped);
    self->keymap_.assign(text, ::strnlen(text, size));
    ++self->keymapVersion_;
    ::munmap(mapped, size);
    self->changed_.notify_all();
}

}  // namespace kestrio::platform::kde
