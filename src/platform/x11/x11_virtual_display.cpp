#include "platform/x11/x11_virtual_display.h"
#include "platform/x11/xcb_reply.h"
#include "platform/x11/x11_connect.h"

#include "display/virtual_display_error.h"
#include "platform/x11/randr_displays.h"

#include <xcb/xcbext.h>

#include <sys/uio.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace kestrio::platform {
namespace {

using display::VirtualDisplayError;
using display::VirtualDisplayException;

bool succeeded(xcb_connection_t* connection, xcb_void_cookie_t cookie)
{
    xcb_generic_error_t* error = xcb_request_check(connection, cookie);
    std::free(error);
    return error == nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* connection, std::string_view name)
{
    auto reply = own(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// libxcb-randr 1.15 builds SetMonitor from an incomplete set of request parts, so the request is
// put together here: header, window, monitor info, outputs.
bool setMonitor(xcb_connection_t* connection, xcb_window_t root, const xcb_randr_monitor_info_t& info,
                const std::vector<xcb_randr_output_t>& outputs)
{
    std::vector<std::uint8_t> request(4 + sizeof(xcb_window_t) + sizeof(xcb_randr_monitor_info_t) +
                                      outputs.size() * sizeof(xcb_randr_output_t));
    xcb_randr_monitor_info_t header = info;
    header.nOutput = static_cast<std::uint16_t>(outputs.size());
    std::memcpy(request.data() + 4, &root, sizeof root);
    std::memcpy(request.data() + 8, &header, sizeof header);
    if (!outputs.empty())
        std::memcpy(request.data() + 8 + sizeof header, outputs.data(), outputs.size() * sizeof(xcb_randr_output_t));

    // xcb_send_request needs two spare parts in front of the request's own.
    iovec parts[3]{};
    parts[2].iov_base = request.data();
    parts[2].iov_len = request.size();
    xcb_protocol_request_t protocol{1, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    xcb_void_cookie_t cookie{xcb_send_request(connection, XCB_REQUEST_CHECKED, parts + 2, &protocol)};
    return cookie.sequence != 0 && succeeded(connection, cookie);
}

// A mode of `width` × `height` refreshing at exactly 60 Hz, with plausible blanking.
xcb_randr_mode_t createMode(xcb_connection_t* connection, xcb_window_t root, int width, int height, const std::string& name)
{
    xcb_randr_mode_info_t mode{};
    mode.width = static_cast<std::uint16_t>(width);
    mode.height = static_cast<std::uint16_t>(height);
    mode.hsync_start = static_cast<std::uint16_t>(width + 48);
    mode.hsync_end = static_cast<std::uint16_t>(width + 80);
    mode.htotal = static_cast<std::uint16_t>(width + 160);
    mode.vsync_start = static_cast<std::uint16_t>(height + 3);
    mode.vsync_end = static_cast<std::uint16_t>(height + 8);
    mode.vtotal = static_cast<std::uint16_t>(height + 40);
    mode.dot_clock = static_cast<std::uint32_t>(mode.htotal) * mode.vtotal * 60;
    mode.name_len = static_cast<std::uint16_t>(name.size());
    mode.mode_flags = XCB_RANDR_MODE_FLAG_HSYNC_NEGATIVE | XCB_RANDR_MODE_FLAG_VSYNC_POSITIVE;
    auto reply = own(xcb_randr_create_mode_reply(
        connection, xcb_randr_create_mode(connection, root, mode, static_cast<std::uint32_t>(name.size()), name.data()), nullptr));
    return reply ? reply->mode : XCB_NONE;
}

std::string sizeName(int width, int height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

std::uint32_t millimetres(int pixels, std::uint32_t referenceMillimetres, int referencePixels)
{
    if (referenceMillimetres == 0 || referencePixels <= 0)
        return static_cast<std::uint32_t>(std::lround(pixels * 25.4 / 96.0));
    return static_cast<std::uint32_t>(std::lround(static_cast<double>(pixels) * referenceMillimetres / referencePixels));
}

}  // namespace

std::unique_ptr<X11VirtualMonitor> X11VirtualMonitor::create(const std::string& displayName, display::VirtualResolution resolution)
{
    std::unique_ptr<X11VirtualMonitor> monitor(new X11VirtualMonitor());
    int screenNumber = 0;
    monitor->connection_ = connectToDisplay(displayName, &screenNumber);
    xcb_connection_t* connection = monitor->connection_;
    if (xcb_connection_has_error(connection))
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    const xcb_window_t root = screens.data->root;
    monitor->root_ = root;

    const int width = display::width(resolution);
    const int height = display::height(resolution);
    try {
        randrMonitors(connection, root);  // RandR 1.5 is there
    } catch (const std::runtime_error&) {
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    }
    monitor->name_ = internAtom(connection, display::virtualMonitorName);
    if (monitor->name_ == XCB_ATOM_NONE)
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    // A monitor of this name left by an earlier attempt or run would make SetMonitor fail.
    xcb_randr_delete_monitor(connection, root, monitor->name_);

    std::vector<display::DisplayInfo> monitors;
    try {
        monitors = randrMonitors(connection, root);
    } catch (const std::runtime_error&) {
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    }
    auto geometry = own(xcb_get_geometry_reply(connection, xcb_get_geometry(connection, root), nullptr));
    auto info = own(xcb_randr_get_screen_info_reply(connection, xcb_randr_get_screen_info(connection, root), nullptr));
    auto range = own(xcb_randr_get_screen_size_range_reply(connection, xcb_randr_get_screen_size_range(connection, root), nullptr));
    if (!geometry || !range)
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    monitor->width_ = geometry->width;
    monitor->height_ = geometry->height;
    if (info && info->sizeID < xcb_randr_get_screen_info_sizes_length(info.get())) {
        const xcb_randr_screen_size_t& size = xcb_randr_get_screen_info_sizes(info.get())[info->sizeID];
        monitor->widthMillimetres_ = size.mwidth;
        monitor->heightMillimetres_ = size.mheight;
    }

    int rightEdge = monitors.empty() ? monitor->width_ : 0;
    for (const auto& existing : monitors)
        rightEdge = std::max(rightEdge, existing.x + existing.width);
    const int grownWidth = std::max<int>(monitor->width_, rightEdge + width);
    const int grownHeight = std::max<int>(monitor->height_, height);
    if (grownWidth > range->max_width || grownHeight > range->max_height)
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);

    // From here on every change is undone by the destructor when a step fails.
    monitor->resolutionMode_ = createMode(connection, root, width, height, sizeName(width, height) + "_60");
    if (monitor->resolutionMode_ == XCB_NONE)
        throw VirtualDisplayException(VirtualDisplayError::settingsRejected);

    const auto grownWidthMillimetres = millimetres(grownWidth, monitor->widthMillimetres_, monitor->width_);
    const auto grownHeightMillimetres = millimetres(grownHeight, monitor->heightMillimetres_, monitor->height_);
    if (!succeeded(connection, xcb_randr_set_screen_size_checked(connection, root, static_cast<std::uint16_t>(grownWidth),
                                                                 static_cast<std::uint16_t>(grownHeight), grownWidthMillimetres,
                                                                 grownHeightMillimetres)))
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    monitor->grown_ = true;

    if (rightEdge == monitor->width_)
        monitor->stretchCrtcOver(grownWidth, grownHeight);

    xcb_randr_monitor_info_t virtualPart{};
    virtualPart.name = monitor->name_;
    virtualPart.x = static_cast<std::int16_t>(rightEdge);
    virtualPart.y = 0;
    virtualPart.width = static_cast<std::uint16_t>(width);
    virtualPart.height = static_cast<std::uint16_t>(height);
    virtualPart.width_in_millimeters = millimetres(width, monitor->widthMillimetres_, monitor->width_);
    virtualPart.height_in_millimeters = millimetres(height, monitor->heightMillimetres_, monitor->height_);
    if (!setMonitor(connection, root, virtualPart, {}))
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    monitor->monitorSet_ = true;
    return monitor;
}

// When one CRTC shows the whole screen from the origin, it is switched to a mode as large as the
// grown screen so that the pointer can reach the new part; the part it showed before stays a
// monitor of its own. Anything the server refuses here only costs the pointer access.
void X11VirtualMonitor::stretchCrtcOver(int grownWidth, int grownHeight)
{
    xcb_connection_t* connection = connection_;
    auto resources = own(xcb_randr_get_screen_resources_current_reply(
        connection, xcb_randr_get_screen_resources_current(connection, root_), nullptr));
    if (!resources)
        return;
    const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(resources.get());
    xcb_randr_crtc_t active = XCB_NONE;
    XcbReply<xcb_randr_get_crtc_info_reply_t> activeInfo;
    for (int i = 0; i < xcb_randr_get_screen_resources_current_crtcs_length(resources.get()); ++i) {
        auto crtcInfo = own(xcb_randr_get_crtc_info_reply(
            connection, xcb_randr_get_crtc_info(connection, crtcs[i], resources->config_timestamp), nullptr));
        if (!crtcInfo || crtcInfo->mode == XCB_NONE)
            continue;
        if (active != XCB_NONE)
            return;  // more than one: a real multi-head setup
        active = crtcs[i];
        activeInfo = std::move(crtcInfo);
    }
    if (active == XCB_NONE || activeInfo->x != 0 || activeInfo->y != 0 || activeInfo->width != width_ ||
        activeInfo->height != height_ || activeInfo->rotation != XCB_RANDR_ROTATION_ROTATE_0 ||
        xcb_randr_get_crtc_info_outputs_length(activeInfo.get()) != 1)
        return;
    const xcb_randr_output_t output = xcb_randr_get_crtc_info_outputs(activeInfo.get())[0];
    auto outputInfo = own(xcb_randr_get_output_info_reply(
        connection, xcb_randr_get_output_info(connection, output, resources->config_timestamp), nullptr));
    auto primary = own(xcb_randr_get_output_primary_reply(connection, xcb_randr_get_output_primary(connection, root_), nullptr));
    if (!outputInfo)
        return;
    const std::string outputName(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(outputInfo.get())),
                                 static_cast<std::size_t>(xcb_randr_get_output_info_name_length(outputInfo.get())));

    crtc_ = active;
    output_ = output;
    crtcMode_ = activeInfo->mode;
    crtcX_ = activeInfo->x;
    crtcY_ = activeInfo->y;
    crtcRotation_ = activeInfo->rotation;

    // The output's own name belongs to its automatic monitor, which the server refuses to shadow.
    physicalName_ = internAtom(connection, outputName + "-host");
    if (physicalName_ == XCB_ATOM_NONE)
        return undoCrtc();
    xcb_randr_delete_monitor(connection, root_, physicalName_);

    spanningMode_ = createMode(connection, root_, grownWidth, grownHeight, sizeName(grownWidth, grownHeight));
    if (spanningMode_ == XCB_NONE)
        return undoCrtc();
    spanningModeAdded_ = succeeded(connection, xcb_randr_add_output_mode_checked(connection, output, spanningMode_));
    if (!spanningModeAdded_)
        return undoCrtc();
    auto switched = own(xcb_randr_set_crtc_config_reply(
        connection,
        xcb_randr_set_crtc_config(connection, active, XCB_CURRENT_TIME, resources->config_timestamp, 0, 0, spanningMode_,
                                  XCB_RANDR_ROTATION_ROTATE_0, 1, &output),
        nullptr));
    crtcSwitched_ = switched && switched->status == XCB_RANDR_SET_CONFIG_SUCCESS;
    if (!crtcSwitched_)
        return undoCrtc();

    xcb_randr_monitor_info_t physicalPart{};
    physicalPart.name = physicalName_;
    physicalPart.primary = primary && primary->output == output;
    physicalPart.x = crtcX_;
    physicalPart.y = crtcY_;
    physicalPart.width = width_;
    physicalPart.height = height_;
    physicalPart.width_in_millimeters = widthMillimetres_;
    physicalPart.height_in_millimeters = heightMillimetres_;
    physicalMonitorSet_ = setMonitor(connection, root_, physicalPart, {output});
    if (!physicalMonitorSet_)
        undoCrtc();
}

void X11VirtualMonitor::undoCrtc()
{
    xcb_connection_t* connection = connection_;
    if (physicalMonitorSet_)
        xcb_randr_delete_monitor(connection, root_, physicalName_);
    physicalMonitorSet_ = false;
    if (crtcSwitched_) {
        auto resources = own(xcb_randr_get_screen_resources_current_reply(
            connection, xcb_randr_get_screen_resources_current(connection, root_), nullptr));
        std::free(xcb_randr_set_crtc_config_reply(
            connection,
            xcb_randr_set_crtc_config(connection, crtc_, XCB_CURRENT_TIME, resources ? resources->config_timestamp : XCB_CURRENT_TIME,
                                      crtcX_, crtcY_, crtcMode_, crtcRotation_, 1, &output_),
            nullptr));
    }
    crtcSwitched_ = false;
    if (spanningModeAdded_)
        xcb_randr_delete_output_mode(connection, output_, spanningMode_);
    spanningModeAdded_ = false;
    if (spanningMode_ != XCB_NONE)
        xcb_randr_destroy_mode(connection, spanningMode_);
    spanningMode_ = XCB_NONE;
}

void X11VirtualMonitor::undo()
{
    xcb_connection_t* connection = connection_;
    if (xcb_connection_has_error(connection))
        return;
    if (monitorSet_)
        xcb_randr_delete_monitor(connection, root_, name_);
    monitorSet_ = false;
    undoCrtc();
    if (grown_)
        xcb_randr_set_screen_size(connection, root_, width_, height_, widthMillimetres_, heightMillimetres_);
    grown_ = false;
    if (resolutionMode_ != XCB_NONE)
        xcb_randr_destroy_mode(connection, resolutionMode_);
    resolutionMode_ = XCB_NONE;
    // Round trip: the server has done all of it before the caller looks again.
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

X11VirtualMonitor::~X11VirtualMonitor()
{
    if (connection_) {
        undo();
        xcb_disconnect(connection_);
    }
}

}  // namespace kestrio::platform
