#include "platform/x11/randr_requests.h"

#include <libxcvt/libxcvt.h>
#include <xcb/xcbext.h>

#include <sys/uio.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace kestrio::platform::x11 {

xcb_window_t rootWindow(xcb_connection_t* connection, int screenNumber)
{
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    return screens.rem ? screens.data->root : XCB_NONE;
}

bool succeeded(xcb_connection_t* connection, xcb_void_cookie_t cookie)
{
    xcb_generic_error_t* error = xcb_request_check(connection, cookie);
    std::free(error);
    return error == nullptr;
}

void roundTrip(xcb_connection_t* connection)
{
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
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

xcb_randr_mode_t createMode(xcb_connection_t* connection, xcb_window_t root, int width, int height, const std::string& name, bool cvt,
                            bool* created)
{
    if (created)
        *created = false;
    xcb_randr_mode_info_t mode{};
    mode.width = static_cast<std::uint16_t>(width);
    mode.height = static_cast<std::uint16_t>(height);
    if (cvt) {
        std::unique_ptr<libxcvt_mode_info, decltype(&std::free)> timings(libxcvt_gen_mode_info(width, height, 60.0f, false, false),
                                                                         &std::free);
        // CVT rounds the width to whole character cells; a mode of another width is of no use.
        if (!timings || timings->hdisplay != static_cast<std::uint32_t>(width) || timings->vdisplay != static_cast<std::uint32_t>(height))
            return XCB_NONE;
        mode.hsync_start = timings->hsync_start;
        mode.hsync_end = timings->hsync_end;
        mode.htotal = timings->htotal;
        mode.vsync_start = timings->vsync_start;
        mode.vsync_end = timings->vsync_end;
        mode.vtotal = timings->vtotal;
        mode.dot_clock = static_cast<std::uint32_t>(timings->dot_clock * 1000);  // kHz
        mode.mode_flags = static_cast<std::uint32_t>(timings->mode_flags);     // the same bits as RandR's
    } else {
        mode.hsync_start = static_cast<std::uint16_t>(width + 48);
        mode.hsync_end = static_cast<std::uint16_t>(width + 80);
        mode.htotal = static_cast<std::uint16_t>(width + 160);
        mode.vsync_start = static_cast<std::uint16_t>(height + 3);
        mode.vsync_end = static_cast<std::uint16_t>(height + 8);
        mode.vtotal = static_cast<std::uint16_t>(height + 40);
        mode.dot_clock = static_cast<std::uint32_t>(mode.htotal) * mode.vtotal * 60;
        mode.mode_flags = XCB_RANDR_MODE_FLAG_HSYNC_NEGATIVE | XCB_RANDR_MODE_FLAG_VSYNC_POSITIVE;
    }
    mode.name_len = static_cast<std::uint16_t>(name.size());
    auto reply = own(xcb_randr_create_mode_reply(
        connection, xcb_randr_create_mode(connection, root, mode, static_cast<std::uint32_t>(name.size()), name.data()), nullptr));
    if (reply) {
        if (created)
            *created = true;
        return reply->mode;
    }
    // Refused: the name may be taken.
    auto resources = screenResources(connection, root);
    if (!resources)
        return XCB_NONE;
    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(resources.get());
    const auto* names = reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(resources.get()));
    std::size_t offset = 0;
    for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(resources.get()); ++i) {
        const std::string_view existing(names + offset, modes[i].name_len);
        offset += modes[i].name_len;
        if (existing == name && modes[i].width == width && modes[i].height == height)
            return modes[i].id;
    }
    return XCB_NONE;
}

std::uint32_t millimetres(int pixels, std::uint32_t referenceMillimetres, int referencePixels)
{
    if (referenceMillimetres == 0 || referencePixels <= 0)
        return static_cast<std::uint32_t>(std::lround(pixels * 25.4 / 96.0));
    return static_cast<std::uint32_t>(std::lround(static_cast<double>(pixels) * referenceMillimetres / referencePixels));
}

ScreenResources screenResources(xcb_connection_t* connection, xcb_window_t root)
{
    return own(xcb_randr_get_screen_resources_current_reply(connection, xcb_randr_get_screen_resources_current(connection, root), nullptr));
}

std::string outputName(const xcb_randr_get_output_info_reply_t& output)
{
    auto& reply = const_cast<xcb_randr_get_output_info_reply_t&>(output);
    return {reinterpret_cast<const char*>(xcb_randr_get_output_info_name(&reply)),
            static_cast<std::size_t>(xcb_randr_get_output_info_name_length(&reply))};
}

std::optional<std::string> modeName(const xcb_randr_get_screen_resources_current_reply_t& resources, xcb_randr_mode_t mode)
{
    auto& reply = const_cast<xcb_randr_get_screen_resources_current_reply_t&>(resources);
    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(&reply);
    const char* names = reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(&reply));
    // The names follow one another, in the order of the modes.
    std::size_t offset = 0;
    for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(&reply); ++i) {
        if (modes[i].id == mode)
            return std::string(names + offset, modes[i].name_len);
        offset += modes[i].name_len;
    }
    return std::nullopt;
}

std::optional<ScreenDimensions> currentScreenSize(xcb_connection_t* connection, xcb_window_t root)
{
    auto geometry = own(xcb_get_geometry_reply(connection, xcb_get_geometry(connection, root), nullptr));
    if (!geometry)
        return std::nullopt;
    ScreenDimensions size{geometry->width, geometry->height};
    auto info = own(xcb_randr_get_screen_info_reply(connection, xcb_randr_get_screen_info(connection, root), nullptr));
    if (info && info->sizeID < xcb_randr_get_screen_info_sizes_length(info.get())) {
        const xcb_randr_screen_size_t& entry = xcb_randr_get_screen_info_sizes(info.get())[info->sizeID];
        size.widthMillimetres = entry.mwidth;
        size.heightMillimetres = entry.mheight;
    }
    return size;
}

bool setScreenSize(xcb_connection_t* connection, xcb_window_t root, const ScreenDimensions& size)
{
    return succeeded(connection, xcb_randr_set_screen_size_checked(connection, root, size.width, size.height, size.widthMillimetres,
                                                                   size.heightMillimetres));
}

}  // namespace kestrio::platform::x11
