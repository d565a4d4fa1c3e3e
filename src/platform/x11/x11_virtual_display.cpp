#include "platform/x11/x11_virtual_display.h"
#include "platform/x11/randr_requests.h"
#include "platform/x11/x11_connect.h"

#include "display/virtual_display_error.h"
#include "platform/x11/randr_displays.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace kestrio::platform::x11 {
namespace {

using display::VirtualDisplayError;
using display::VirtualDisplayException;

std::string sizeName(int width, int height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

// Xvfb drives no monitor: its one output, "screen", is only its framebuffer.
bool isVirtualFramebuffer(xcb_connection_t* connection, xcb_window_t root)
{
    auto resources = screenResources(connection, root);
    if (!resources || xcb_randr_get_screen_resources_current_outputs_length(resources.get()) != 1)
        return false;
    const xcb_randr_output_t output = xcb_randr_get_screen_resources_current_outputs(resources.get())[0];
    auto info = own(xcb_randr_get_output_info_reply(
        connection, xcb_randr_get_output_info(connection, output, resources->config_timestamp), nullptr));
    return info && outputName(*info) == "screen";
}

}  // namespace

std::vector<std::string> X11VirtualMonitor::undoLeftovers(const std::string& displayName, const std::filesystem::path& records)
{
    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(connectToDisplay(displayName, &screenNumber),
                                                                             &xcb_disconnect);
    const xcb_window_t root = xcb_connection_has_error(connection.get()) ? XCB_NONE : rootWindow(connection.get(), screenNumber);
    if (root == XCB_NONE)
        return {};
    try {
        randrMonitors(connection.get(), root);  // RandR 1.5 is there
    } catch (const std::runtime_error&) {
        return {};
    }
    xcb_randr_delete_monitor(connection.get(), root, internAtom(connection.get(), display::virtualMonitorName));
    return undoLeftoverOutputs(connection.get(), root, LitOutputRecords(records), LitOutputRecords::serverKey(displayName));
}

std::unique_ptr<X11VirtualMonitor> X11VirtualMonitor::create(const std::string& displayName, display::VirtualResolution resolution,
                                                             const std::filesystem::path& records)
{
    std::unique_ptr<X11VirtualMonitor> monitor(new X11VirtualMonitor());
    int screenNumber = 0;
    monitor->connection_ = connectToDisplay(displayName, &screenNumber);
    xcb_connection_t* connection = monitor->connection_;
    if (xcb_connection_has_error(connection))
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    const xcb_window_t root = rootWindow(connection, screenNumber);
    if (root == XCB_NONE)
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
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
    const LitOutputRecords recordFile(records);
    const std::string server = LitOutputRecords::serverKey(displayName);
    undoLeftoverOutputs(connection, root, recordFile, server);
    const bool framebufferOnly = isVirtualFramebuffer(connection, root);

    std::vector<display::DisplayInfo> monitors;
    try {
        monitors = randrMonitors(connection, root);
    } catch (const std::runtime_error&) {
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    }
    const auto screen = currentScreenSize(connection, root);
    auto range = own(xcb_randr_get_screen_size_range_reply(connection, xcb_randr_get_screen_size_range(connection, root), nullptr));
    if (!screen || !range)
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    monitor->width_ = screen->width;
    monitor->height_ = screen->height;
    monitor->widthMillimetres_ = screen->widthMillimetres;
    monitor->heightMillimetres_ = screen->heightMillimetres;

    int rightEdge = monitors.empty() ? monitor->width_ : 0;
    for (const auto& existing : monitors)
        rightEdge = std::max(rightEdge, existing.x + existing.width);
    const int grownWidth = std::max<int>(monitor->width_, rightEdge + width);
    const int grownHeight = std::max<int>(monitor->height_, height);
    if (grownWidth > range->max_width || grownHeight > range->max_height)
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);

    xcb_randr_monitor_info_t virtualPart{};
    virtualPart.name = monitor->name_;
    virtualPart.x = static_cast<std::int16_t>(rightEdge);
    virtualPart.y = 0;
    virtualPart.width = static_cast<std::uint16_t>(width);
    virtualPart.height = static_cast<std::uint16_t>(height);
    virtualPart.width_in_millimeters = millimetres(width, monitor->widthMillimetres_, monitor->width_);
    virtualPart.height_in_millimeters = millimetres(height, monitor->heightMillimetres_, monitor->height_);

    // From here on every change is undone by the destructor when a step fails.
    if (!framebufferOnly) {
        monitor->spareOutput_ = SpareOutput::light(connection, root, width, height, rightEdge, recordFile, server);
        if (monitor->spareOutput_) {
            // The monitor takes the output's place in the list, under the host's name.
            if (!setMonitor(connection, root, virtualPart, {monitor->spareOutput_->output()}))
                throw VirtualDisplayException(VirtualDisplayError::creationFailed);
            monitor->monitorSet_ = true;
            return monitor;
        }
    }

    monitor->resolutionMode_ =
        createMode(connection, root, width, height, sizeName(width, height) + "_60", false, &monitor->resolutionModeCreated_);
    if (monitor->resolutionMode_ == XCB_NONE)
        throw VirtualDisplayException(VirtualDisplayError::settingsRejected);

    const ScreenDimensions grown{static_cast<std::uint16_t>(grownWidth), static_cast<std::uint16_t>(grownHeight),
                                 millimetres(grownWidth, monitor->widthMillimetres_, monitor->width_),
                                 millimetres(grownHeight, monitor->heightMillimetres_, monitor->height_)};
    if (!setScreenSize(connection, root, grown))
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    monitor->grown_ = true;

    if (framebufferOnly && rightEdge == monitor->width_)
        monitor->stretchCrtcOver(grownWidth, grownHeight);

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
    auto resources = screenResources(connection, root_);
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

    crtc_ = active;
    output_ = output;
    crtcMode_ = activeInfo->mode;
    crtcX_ = activeInfo->x;
    crtcY_ = activeInfo->y;
    crtcRotation_ = activeInfo->rotation;

    // The output's own name belongs to its automatic monitor, which the server refuses to shadow.
    physicalName_ = internAtom(connection, x11::outputName(*outputInfo) + "-host");
    if (physicalName_ == XCB_ATOM_NONE)
        return undoCrtc();
    xcb_randr_delete_monitor(connection, root_, physicalName_);

    spanningMode_ = createMode(connection, root_, grownWidth, grownHeight, sizeName(grownWidth, grownHeight), false, &spanningModeCreated_);
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
        auto resources = screenResources(connection, root_);
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
    if (spanningMode_ != XCB_NONE && spanningModeCreated_)
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
    spareOutput_.reset();
    undoCrtc();
    if (grown_)
        xcb_randr_set_screen_size(connection, root_, width_, height_, widthMillimetres_, heightMillimetres_);
    grown_ = false;
    if (resolutionMode_ != XCB_NONE && resolutionModeCreated_)
        xcb_randr_destroy_mode(connection, resolutionMode_);
    resolutionMode_ = XCB_NONE;
    // Round trip: the server has done all of it before the caller looks again.
    roundTrip(connection);
}

X11VirtualMonitor::~X11VirtualMonitor()
{
    if (connection_) {
        undo();
        spareOutput_.reset();  // it talks over the connection
        xcb_disconnect(connection_);
    }
}

}  // namespace kestrio::platform::x11
