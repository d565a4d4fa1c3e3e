#include "platform/x11/randr_displays.h"
#include "platform/x11/randr_requests.h"
#include "platform/x11/x11_connect.h"
#include "platform/x11/xcb_reply.h"

#include "platform/os/runtime_folder.h"
#include "platform/x11/x11_virtual_display.h"

#include <xcb/randr.h>

#include <cstdlib>
#include <stdexcept>

namespace kestrio::platform::x11 {
namespace {

std::string atomName(xcb_connection_t* connection, xcb_atom_t atom)
{
    auto reply = own(xcb_get_atom_name_reply(connection, xcb_get_atom_name(connection, atom), nullptr));
    if (!reply)
        return {};
    return std::string(xcb_get_atom_name_name(reply.get()), static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}

}  // namespace

std::vector<display::DisplayInfo> randrMonitors(xcb_connection_t* connection, xcb_window_t root)
{
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_randr_id);
    if (!extension || !extension->present)
        throw std::runtime_error("the X server has no RandR extension");
    auto version = own(xcb_randr_query_version_reply(connection, xcb_randr_query_version(connection, 1, 5), nullptr));
    if (!version || version->major_version < 1 || (version->major_version == 1 && version->minor_version < 5))
        throw std::runtime_error("the X server's RandR is older than 1.5");
    auto monitors = own(xcb_randr_get_monitors_reply(connection, xcb_randr_get_monitors(connection, root, 1), nullptr));
    if (!monitors)
        throw std::runtime_error("the X server did not list its monitors");

    std::vector<display::DisplayInfo> list;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t& monitor = *it.data;
        display::DisplayInfo info;
        info.id = monitor.name;
        info.x = monitor.x;
        info.y = monitor.y;
        info.width = monitor.width;
        info.height = monitor.height;
        info.name = atomName(connection, monitor.name);
        info.ownVirtualMonitor = info.name == display::virtualMonitorName;
        list.push_back(std::move(info));
    }
    return list;
}

RandrDisplayFacility::RandrDisplayFacility(std::string displayName, std::optional<std::filesystem::path> records)
    : displayName_(std::move(displayName)), records_(records ? std::move(*records) : os::runtimeFolder() / "x11-outputs.json")
{
}

std::vector<display::DisplayInfo> RandrDisplayFacility::displays()
{
    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(connectToDisplay(displayName_, &screenNumber),
                                                                             &xcb_disconnect);
    if (xcb_connection_has_error(connection.get()))
        throw std::runtime_error("cannot connect to the X server" + (displayName_.empty() ? std::string() : " " + displayName_));
    const xcb_window_t root = rootWindow(connection.get(), screenNumber);
    if (root == XCB_NONE)
        throw std::runtime_error("the X server has no screen " + std::to_string(screenNumber));
    return randrMonitors(connection.get(), root);
}

std::unique_ptr<display::VirtualMonitor> RandrDisplayFacility::createVirtualMonitor(display::VirtualResolution resolution, int)
{
    // The monitor's identity is its name, which is fixed; each attempt removes whatever carries
    // that name and sets up a new monitor, so the attempt number has nothing left to tell apart.
    return X11VirtualMonitor::create(displayName_, resolution, records_);
}

std::vector<std::string> RandrDisplayFacility::undoLeftovers()
{
    return X11VirtualMonitor::undoLeftovers(displayName_, records_);
}

}  // namespace kestrio::platform::x11
