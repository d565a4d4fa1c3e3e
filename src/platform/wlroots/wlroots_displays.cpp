#include "platform/wlroots/wlroots_displays.h"

#include "display/virtual_display_error.h"
#include "platform/desktop_common/display_identifier.h"
#include "platform/os/atomic_file.h"
#include "platform/os/runtime_folder.h"
#include "platform/wlroots/wayland_connection.h"

#include <algorithm>
#include <fstream>

namespace kestrio::platform::wlroots {
namespace {

using display::VirtualDisplayError;
using display::VirtualDisplayException;

std::uint32_t identifierOf(const SwayOutput& output)
{
    return desktop_common::displayIdentifier({output.name, output.make, output.model, output.serial});
}

class SwayVirtualMonitor final : public display::VirtualMonitor {
public:
    SwayVirtualMonitor(std::shared_ptr<WlrootsDisplayFacility::Outputs> outputs, std::string output, std::uint32_t id)
        : outputs_(std::move(outputs)), output_(std::move(output)), id_(id)
    {
    }
    ~SwayVirtualMonitor() override { outputs_->release(output_); }
    std::uint32_t displayID() const override { return id_; }

private:
    std::shared_ptr<WlrootsDisplayFacility::Outputs> outputs_;
    std::string output_;
    std::uint32_t id_;
};

}  // namespace

WlrootsDisplayFacility::WlrootsDisplayFacility(std::string socket, std::optional<std::filesystem::path> record)
    : outputs_(std::make_shared<Outputs>())
{
    outputs_->socket = std::move(socket);
    outputs_->record = record ? std::move(*record) : os::runtimeFolder() / "sway-outputs.json";
    std::lock_guard lock(outputs_->mutex);
    outputs_->load();
}

void WlrootsDisplayFacility::Outputs::load()
{
    const std::string compositor = SwayIpc::socketPath(socket);
    if (record.empty() || compositor.empty() || !os::openPrivateFolder(record.parent_path(), false))
        return;
    std::ifstream file(record);
    const auto saved = nlohmann::json::parse(file, nullptr, false);
    if (!saved.is_object() || saved.value("socket", "") != compositor || !saved.contains("outputs") || !saved["outputs"].is_array())
        return;
    for (const auto& output : saved["outputs"]) {
        if (output.is_string())
            ours.insert(output.get<std::string>());
    }
}

void WlrootsDisplayFacility::Outputs::save() const
{
    const std::string compositor = SwayIpc::socketPath(socket);
    if (record.empty() || compositor.empty() || !os::openPrivateFolder(record.parent_path(), true))
        return;
    const nlohmann::json saved{{"socket", compositor}, {"outputs", ours}};
    os::replaceFileAtomically(record, saved.dump(), 0600);
}

std::vector<display::DisplayInfo> WlrootsDisplayFacility::displays()
{
    if (SwayIpc::socketPath(outputs_->socket).empty())
        return waylandOutputs();
    SwayIpc ipc(outputs_->socket);
    std::vector<display::DisplayInfo> result;
    std::lock_guard lock(outputs_->mutex);
    for (const auto& output : ipc.outputs()) {
        if (!output.active)
            continue;
        result.push_back({identifierOf(output), output.x, output.y, output.width, output.height, output.name,
                          outputs_->ours.count(output.name) > 0});
    }
    return result;
}

std::vector<display::DisplayInfo> WlrootsDisplayFacility::waylandOutputs()
{
    std::vector<display::DisplayInfo> result;
    try {
        WaylandConnection connection;
        for (const auto& output : connection.outputs())
            result.push_back({desktop_common::displayIdentifier({output->name, output->make, output->model, ""}), output->x, output->y,
                              output->width, output->height, output->name});
    } catch (const WaylandError& error) {
        throw std::runtime_error(error.what());
    }
    return result;
}

std::unique_ptr<display::VirtualMonitor> WlrootsDisplayFacility::createVirtualMonitor(display::VirtualResolution resolution, int)
{
    // Only sway's IPC makes outputs; other compositors have no virtual monitors of ours.
    if (SwayIpc::socketPath(outputs_->socket).empty())
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    try {
        SwayIpc ipc(outputs_->socket);
        const auto before = ipc.outputs();
        std::string name;
        {
            std::lock_guard lock(outputs_->mutex);
            // A headless output of ours that no monitor holds (sway 1.7 keeps them): used again.
            for (const auto& output : before) {
                if (outputs_->ours.count(output.name) && !outputs_->inUse.count(output.name)) {
                    name = output.name;
                    break;
                }
            }
        }
        if (name.empty()) {
            if (!ipc.command("create_output").empty())
                throw VirtualDisplayException(VirtualDisplayError::creationFailed);
            for (const auto& output : ipc.outputs()) {
                if (std::none_of(before.begin(), before.end(), [&](const SwayOutput& old) { return old.name == output.name; }))
                    name = output.name;
            }
            if (name.empty())
                throw VirtualDisplayException(VirtualDisplayError::creationFailed);
            std::lock_guard lock(outputs_->mutex);
            outputs_->ours.insert(name);
            outputs_->save();
        }
        // Right of every other output.
        int right = 0;
        for (const auto& output : before) {
            if (output.active && output.name != name)
                right = std::max(right, output.x + output.width);
        }
        const std::string size = std::to_string(display::width(resolution)) + "x" + std::to_string(display::height(resolution));
        if (!ipc.command("output " + name + " enable mode " + size + " position " + std::to_string(right) + " 0").empty())
            throw VirtualDisplayException(VirtualDisplayError::settingsRejected);
        for (const auto& output : ipc.outputs()) {
            if (output.name != name)
                continue;
            if (output.modeWidth != display::width(resolution) || output.modeHeight != display::height(resolution))
                throw VirtualDisplayException(VirtualDisplayError::settingsRejected);
            std::lock_guard lock(outputs_->mutex);
            outputs_->inUse.insert(name);
            return std::make_unique<SwayVirtualMonitor>(outputs_, name, identifierOf(output));
        }
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    } catch (const SwayIpcError&) {
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    }
}

void WlrootsDisplayFacility::Outputs::release(const std::string& output)
{
    {
        std::lock_guard lock(mutex);
        inUse.erase(output);
    }
    try {
        SwayIpc ipc(socket);
        // Sway 1.8 and later remove the output; 1.7 knows no "unplug" and keeps it for reuse.
        if (ipc.command("output " + output + " unplug").empty()) {
            std::lock_guard lock(mutex);
            ours.erase(output);
            save();
        }
    } catch (const SwayIpcError&) {
        // The compositor is gone, and its outputs with it.
    }
}

}  // namespace kestrio::platform::wlroots
