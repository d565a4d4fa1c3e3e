#include "platform/wlroots/wayland_connection.h"

#include "virtual-keyboard-unstable-v1.h"
#include "wlr-screencopy-unstable-v1.h"
#include "wlr-virtual-pointer-unstable-v1.h"
#include "xdg-output-unstable-v1.h"

#include <wayland-client.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrio::platform::wlroots {
namespace {

template <typename Proxy>
Proxy* bind(wl_registry* registry, std::uint32_t name, const wl_interface* interface, std::uint32_t offered, std::uint32_t wanted)
{
    return static_cast<Proxy*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

void outputGeometry(void* data, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                    const char* make, const char* model, std::int32_t)
{
    auto* output = static_cast<WaylandOutput*>(data);
    output->make = make ? make : "";
    output->model = model ? model : "";
}
void outputMode(void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {}
void outputDone(void*, wl_output*) {}
void outputScale(void*, wl_output*, std::int32_t) {}
// Bound at version 2: the name and description events do not come.
const wl_output_listener outputListener{outputGeometry, outputMode, outputDone, outputScale, nullptr, nullptr};

void xdgPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y)
{
    auto* output = static_cast<WaylandOutput*>(data);
    output->x = x;
    output->y = y;
}
void xdgSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height)
{
    auto* output = static_cast<WaylandOutput*>(data);
    output->width = width;
    output->height = height;
}
void xdgDone(void*, zxdg_output_v1*) {}
void xdgName(void* data, zxdg_output_v1*, const char* name) { static_cast<WaylandOutput*>(data)->name = name ? name : ""; }
void xdgDescription(void*, zxdg_output_v1*, const char*) {}
const zxdg_output_v1_listener xdgOutputListener{xdgPosition, xdgSize, xdgDone, xdgName, xdgDescription};

}  // namespace

WaylandConnection::WaylandConnection(const std::string& display)
{
    display_ = wl_display_connect(display.empty() ? nullptr : display.c_str());
    if (!display_)
        throw WaylandError("no Wayland compositor answers at " + (display.empty() ? std::string("$WAYLAND_DISPLAY") : display));
    static const wl_registry_listener registryListener{&WaylandConnection::global, &WaylandConnection::globalRemove};
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &registryListener, this);
    // The globals, then what the outputs say of themselves.
    roundtrip();
    roundtrip();
}

WaylandConnection::~WaylandConnection()
{
    for (auto& output : outputs_) {
        if (output->xdgOutput)
            zxdg_output_v1_destroy(output->xdgOutput);
        wl_output_destroy(output->output);
    }
    if (virtualKeyboard_)
        wl_proxy_destroy(reinterpret_cast<wl_proxy*>(virtualKeyboard_));
    if (virtualPointer_)
        zwlr_virtual_pointer_manager_v1_destroy(virtualPointer_);
    if (screencopy_)
        zwlr_screencopy_manager_v1_destroy(screencopy_);
    if (xdgOutputs_)
        zxdg_output_manager_v1_destroy(xdgOutputs_);
    if (seat_)
        wl_seat_destroy(seat_);
    if (shm_)
        wl_shm_destroy(shm_);
    wl_registry_destroy(registry_);
    wl_display_disconnect(display_);
}

void WaylandConnection::global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version)
{
    auto* self = static_cast<WaylandConnection*>(data);
    const std::string_view kind(interface);
    if (kind == wl_shm_interface.name && !self->shm_) {
        self->shm_ = bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
    } else if (kind == wl_seat_interface.name && !self->seat_) {
        self->seat_ = bind<wl_seat>(registry, name, &wl_seat_interface, version, 1);
    } else if (kind == zxdg_output_manager_v1_interface.name && !self->xdgOutputs_) {
        self->xdgOutputs_ = bind<zxdg_output_manager_v1>(registry, name, &zxdg_output_manager_v1_interface, version, 3);
        for (auto& output : self->outputs_)
            self->describe(*output);
    } else if (kind == zwlr_screencopy_manager_v1_interface.name && !self->screencopy_) {
        self->screencopy_ = bind<zwlr_screencopy_manager_v1>(registry, name, &zwlr_screencopy_manager_v1_interface, version, 3);
        self->screencopyVersion_ = std::min<std::uint32_t>(version, 3);
    } else if (kind == zwlr_virtual_pointer_manager_v1_interface.name && !self->virtualPointer_) {
        self->virtualPointer_ =
            bind<zwlr_virtual_pointer_manager_v1>(registry, name, &zwlr_virtual_pointer_manager_v1_interface, version, 1);
    } else if (kind == zwp_virtual_keyboard_manager_v1_interface.name && !self->virtualKeyboard_) {
        self->virtualKeyboard_ =
            bind<zwp_virtual_keyboard_manager_v1>(registry, name, &zwp_virtual_keyboard_manager_v1_interface, version, 1);
    } else if (kind == wl_output_interface.name) {
        auto output = std::make_unique<WaylandOutput>();
        output->global = name;
        output->output = bind<wl_output>(registry, name, &wl_output_interface, version, 2);
        wl_output_add_listener(output->output, &outputListener, output.get());
        self->describe(*output);
        self->outputs_.push_back(std::move(output));
    }
}

void WaylandConnection::globalRemove(void* data, wl_registry*, std::uint32_t name)
{
    auto* self = static_cast<WaylandConnection*>(data);
    auto& outputs = self->outputs_;
    const auto gone = std::find_if(outputs.begin(), outputs.end(), [&](const auto& output) { return output->global == name; });
    if (gone == outputs.end())
        return;
    if ((*gone)->xdgOutput)
        zxdg_output_v1_destroy((*gone)->xdgOutput);
    wl_output_destroy((*gone)->output);
    outputs.erase(gone);
}

void WaylandConnection::describe(WaylandOutput& output)
{
    if (!xdgOutputs_ || output.xdgOutput)
        return;
    output.xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputs_, output.output);
    zxdg_output_v1_add_listener(output.xdgOutput, &xdgOutputListener, &output);
}

void WaylandConnection::roundtrip()
{
    if (wl_display_roundtrip(display_) < 0)
        throw WaylandError(std::string("the Wayland connection broke: ") + std::strerror(wl_display_get_error(display_)));
}

bool WaylandConnection::dispatchWithoutWaiting()
{
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0)
            return false;
    }
    wl_display_flush(display_);
    pollfd ready{wl_display_get_fd(display_), POLLIN, 0};
    if (::poll(&ready, 1, 0) > 0) {
        if (wl_display_read_events(display_) < 0)
            return false;
    } else {
        wl_display_cancel_read(display_);
    }
    return wl_display_dispatch_pending(display_) >= 0 && wl_display_get_error(display_) == 0;
}

const WaylandOutput* WaylandConnection::output(const std::string& name) const
{
    for (const auto& output : outputs_) {
        if (output->name == name)
            return output.get();
    }
    return nullptr;
}

bool WaylandConnection::present(const wl_output* output) const
{
    return std::any_of(outputs_.begin(), outputs_.end(), [&](const auto& candidate) { return candidate->output == output; });
}

}  // namespace kestrio::platform::wlroots
