#include "platform/x11/spare_output.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <set>

namespace kestrio::platform::x11 {
namespace {

using CrtcInfo = XcbReply<xcb_randr_get_crtc_info_reply_t>;
using OutputInfo = XcbReply<xcb_randr_get_output_info_reply_t>;

CrtcInfo crtcInfo(xcb_connection_t* connection, xcb_randr_crtc_t crtc, xcb_timestamp_t configTimestamp)
{
    return own(xcb_randr_get_crtc_info_reply(connection, xcb_randr_get_crtc_info(connection, crtc, configTimestamp), nullptr));
}

OutputInfo outputInfo(xcb_connection_t* connection, xcb_randr_output_t output, xcb_timestamp_t configTimestamp)
{
    return own(xcb_randr_get_output_info_reply(connection, xcb_randr_get_output_info(connection, output, configTimestamp), nullptr));
}

std::vector<xcb_randr_crtc_t> crtcsOf(const xcb_randr_get_screen_resources_current_reply_t& resources)
{
    auto& reply = const_cast<xcb_randr_get_screen_resources_current_reply_t&>(resources);
    const auto* crtcs = xcb_randr_get_screen_resources_current_crtcs(&reply);
    return {crtcs, crtcs + xcb_randr_get_screen_resources_current_crtcs_length(&reply)};
}

std::vector<xcb_randr_output_t> outputsOf(const xcb_randr_get_screen_resources_current_reply_t& resources)
{
    auto& reply = const_cast<xcb_randr_get_screen_resources_current_reply_t&>(resources);
    const auto* outputs = xcb_randr_get_screen_resources_current_outputs(&reply);
    return {outputs, outputs + xcb_randr_get_screen_resources_current_outputs_length(&reply)};
}

// Whether a monitor on the output has announced itself (it has an EDID).
bool monitorAnnounced(xcb_connection_t* connection, xcb_randr_output_t output)
{
    const xcb_atom_t edid = internAtom(connection, "EDID");
    auto property = own(xcb_randr_get_output_property_reply(
        connection, xcb_randr_get_output_property(connection, output, edid, XCB_ATOM_ANY, 0, 1, 0, 0), nullptr));
    return property && property->num_items > 0;
}

// An output that shows nothing and has no monitor on it: a disconnected one, or one the driver
// calls connected with no monitor announcing itself (a virtual output, once used, and the dummy
// driver's outputs stay "connected" after they were lit).
bool spare(xcb_connection_t* connection, xcb_randr_output_t output, const xcb_randr_get_output_info_reply_t& info)
{
    if (info.crtc != XCB_NONE)
        return false;
    return info.connection == XCB_RANDR_CONNECTION_DISCONNECTED ||
           (info.connection == XCB_RANDR_CONNECTION_CONNECTED && !monitorAnnounced(connection, output));
}

// Held by the connection of a host whose output is lit: the server lets it go when that host's
// connection ends, however it ends, so an output of a host that still runs is never taken for one
// left behind.
constexpr std::string_view claimName = "_KESTRIO_LIT_OUTPUT";

bool claimedByARunningHost(xcb_connection_t* connection)
{
    auto owner = own(xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, internAtom(connection, claimName)),
                                                   nullptr));
    return owner && owner->owner != XCB_NONE;
}

bool switchOff(xcb_connection_t* connection, xcb_window_t root, xcb_randr_crtc_t crtc)
{
    auto resources = screenResources(connection, root);
    auto reply = own(xcb_randr_set_crtc_config_reply(
        connection,
        xcb_randr_set_crtc_config(connection, crtc, XCB_CURRENT_TIME, resources ? resources->config_timestamp : XCB_CURRENT_TIME, 0, 0,
                                  XCB_NONE, XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
        nullptr));
    return reply && reply->status == XCB_RANDR_SET_CONFIG_SUCCESS;
}

// Gives the screen the size it had before (`before`), or, without one, the size the lit outputs
// span; never less than they span, so that no output is cut off.
void restoreScreenSize(xcb_connection_t* connection, xcb_window_t root, const std::optional<ScreenDimensions>& before)
{
    const auto current = currentScreenSize(connection, root);
    auto resources = screenResources(connection, root);
    if (!current || !resources)
        return;
    int spannedWidth = 0, spannedHeight = 0;
    for (const auto crtc : crtcsOf(*resources)) {
        const auto info = crtcInfo(connection, crtc, resources->config_timestamp);
        if (info && info->mode != XCB_NONE) {
            spannedWidth = std::max(spannedWidth, info->x + info->width);
            spannedHeight = std::max(spannedHeight, info->y + info->height);
        }
    }
    if (!before && (spannedWidth == 0 || spannedHeight == 0))
        return;
    ScreenDimensions target = before.value_or(ScreenDimensions{});
    target.width = static_cast<std::uint16_t>(std::max<int>(target.width, spannedWidth));
    target.height = static_cast<std::uint16_t>(std::max<int>(target.height, spannedHeight));
    if (!before || target.width != before->width || target.height != before->height) {
        target.widthMillimetres = millimetres(target.width, current->widthMillimetres, current->width);
        target.heightMillimetres = millimetres(target.height, current->heightMillimetres, current->height);
    }
    if (target.width != current->width || target.height != current->height)
        setScreenSize(connection, root, target);
}

}  // namespace

std::unique_ptr<SpareOutput> SpareOutput::light(xcb_connection_t* connection, xcb_window_t root, int width, int height, int x,
                                                const LitOutputRecords& records, std::string server)
{
    ServerGrab grab(connection);
    auto resources = screenResources(connection, root);
    if (!resources)
        return nullptr;
    std::set<xcb_randr_crtc_t> freeCrtcs;
    for (const auto crtc : crtcsOf(*resources)) {
        const auto info = crtcInfo(connection, crtc, resources->config_timestamp);
        if (info && info->mode == XCB_NONE && xcb_randr_get_crtc_info_outputs_length(info.get()) == 0)
            freeCrtcs.insert(crtc);
    }
    std::unique_ptr<SpareOutput> lit(new SpareOutput(connection, root, records, std::move(server)));
    lit->claim_ = xcb_generate_id(connection);
    xcb_create_window(connection, 0, lit->claim_, root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_set_selection_owner(connection, lit->claim_, internAtom(connection, claimName), XCB_CURRENT_TIME);
    for (const auto output : outputsOf(*resources)) {
        const auto info = outputInfo(connection, output, resources->config_timestamp);
        if (!info || !spare(connection, output, *info))
            continue;
        const auto* crtcs = xcb_randr_get_output_info_crtcs(info.get());
        const auto* end = crtcs + xcb_randr_get_output_info_crtcs_length(info.get());
        const auto* crtc = std::find_if(crtcs, end, [&](xcb_randr_crtc_t c) { return freeCrtcs.count(c) > 0; });
        if (crtc != end) {
            lit->output_ = output;
            lit->crtc_ = *crtc;
            lit->record_.output = x11::outputName(*info);
            break;
        }
    }
    const auto before = currentScreenSize(connection, root);
    auto range = own(xcb_randr_get_screen_size_range_reply(connection, xcb_randr_get_screen_size_range(connection, root), nullptr));
    if (lit->output_ == XCB_NONE || !before || !range)
        return nullptr;
    ScreenDimensions grown = *before;
    grown.width = static_cast<std::uint16_t>(std::max<int>(before->width, x + width));
    grown.height = static_cast<std::uint16_t>(std::max<int>(before->height, height));
    if (grown.width > range->max_width || grown.height > range->max_height)
        return nullptr;
    grown.widthMillimetres = millimetres(grown.width, before->widthMillimetres, before->width);
    grown.heightMillimetres = millimetres(grown.height, before->heightMillimetres, before->height);

    // Recorded before anything changes: a crash in the middle leaves a record of it. Without a
    // record (no private runtime folder) the next run still finds the output by its mode's name.
    lit->record_.mode = std::string(hostModePrefix) + std::to_string(width) + "x" + std::to_string(height);
    lit->record_.screenBefore = *before;
    lit->recorded_ = lit->records_.save(lit->server_, lit->record_);

    lit->mode_ = createMode(connection, root, width, height, lit->record_.mode, true);
    if (lit->mode_ == XCB_NONE)
        return nullptr;
    lit->modeAdded_ = succeeded(connection, xcb_randr_add_output_mode_checked(connection, lit->output_, lit->mode_));
    if (!lit->modeAdded_)
        return nullptr;
    if (grown.width != before->width || grown.height != before->height) {
        lit->screenGrown_ = setScreenSize(connection, root, grown);
        if (!lit->screenGrown_)
            return nullptr;
    }
    resources = screenResources(connection, root);
    if (!resources)
        return nullptr;
    auto set = own(xcb_randr_set_crtc_config_reply(
        connection,
        xcb_randr_set_crtc_config(connection, lit->crtc_, XCB_CURRENT_TIME, resources->config_timestamp, static_cast<std::int16_t>(x), 0,
                                  lit->mode_, XCB_RANDR_ROTATION_ROTATE_0, 1, &lit->output_),
        nullptr));
    lit->crtcSet_ = set && set->status == XCB_RANDR_SET_CONFIG_SUCCESS;
    if (!lit->crtcSet_)
        return nullptr;
    return lit;
}

SpareOutput::~SpareOutput()
{
    if (xcb_connection_has_error(connection_))
        return;
    ServerGrab grab(connection_);
    undo();
}

void SpareOutput::undo()
{
    if (crtcSet_)
        switchOff(connection_, root_, crtc_);
    if (modeAdded_)
        xcb_randr_delete_output_mode(connection_, output_, mode_);
    if (mode_ != XCB_NONE)
        xcb_randr_destroy_mode(connection_, mode_);
    if (screenGrown_)
        restoreScreenSize(connection_, root_, record_.screenBefore);
    if (recorded_)
        records_.remove(server_);
    if (claim_ != XCB_NONE)
        xcb_destroy_window(connection_, claim_);
    claim_ = XCB_NONE;
    crtcSet_ = modeAdded_ = screenGrown_ = recorded_ = false;
    mode_ = XCB_NONE;
}

std::vector<std::string> undoLeftoverOutputs(xcb_connection_t* connection, xcb_window_t root, const LitOutputRecords& records,
                                             const std::string& server)
{
    std::vector<std::string> switchedOff;
    ServerGrab grab(connection);
    auto resources = screenResources(connection, root);
    if (!resources || claimedByARunningHost(connection))
        return switchedOff;
    std::set<xcb_randr_mode_t> hostModes;
    const auto* modes = xcb_randr_get_screen_resources_current_modes(resources.get());
    for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(resources.get()); ++i) {
        if (modeName(*resources, modes[i].id).value_or("").starts_with(hostModePrefix))
            hostModes.insert(modes[i].id);
    }
    // An output the host lit offers the host's mode; the CRTC may name another mode of the same
    // timings (Xorg reports the first of the output's modes that matches).
    for (const auto output : outputsOf(*resources)) {
        const auto info = outputInfo(connection, output, resources->config_timestamp);
        if (!info)
            continue;
        const auto* offered = xcb_randr_get_output_info_modes(info.get());
        const std::vector<xcb_randr_mode_t> ours = [&] {
            std::vector<xcb_randr_mode_t> found;
            std::copy_if(offered, offered + xcb_randr_get_output_info_modes_length(info.get()), std::back_inserter(found),
                         [&](xcb_randr_mode_t mode) { return hostModes.count(mode) > 0; });
            return found;
        }();
        if (ours.empty())
            continue;
        if (info->crtc != XCB_NONE) {
            switchOff(connection, root, info->crtc);
            switchedOff.push_back(outputName(*info));
        }
        for (const auto mode : ours)
            xcb_randr_delete_output_mode(connection, output, mode);
    }
    for (const auto mode : hostModes)
        xcb_randr_destroy_mode(connection, mode);
    // The record's size also when no output was lit yet: the run may have ended after growing the
    // screen. Without a mode of the host's the record is from an earlier server.
    const auto record = records.find(server);
    if (!switchedOff.empty() || (record && !hostModes.empty()))
        restoreScreenSize(connection, root, record ? std::optional(record->screenBefore) : std::nullopt);
    records.remove(server);
    return switchedOff;
}

}  // namespace kestrio::platform::x11
