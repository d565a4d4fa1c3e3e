#include "platform/gnome/gnome_displays.h"

#include "display/virtual_display_error.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kestrio::platform::gnome {
namespace {

using display::VirtualDisplayError;
using display::VirtualDisplayException;

constexpr auto formatWait = std::chrono::seconds(5);
constexpr auto monitorWait = std::chrono::seconds(5);
constexpr auto monitorPoll = std::chrono::milliseconds(50);

class GnomeVirtualMonitor final : public display::VirtualMonitor {
public:
    explicit GnomeVirtualMonitor(std::shared_ptr<Cast> cast) : cast_(std::move(cast)) {}
    std::uint32_t displayID() const override { return cast_->displayID; }

private:
    std::shared_ptr<Cast> cast_;
};

bool listed(const std::vector<MutterMonitor>& monitors, const std::string& connector)
{
    return std::any_of(monitors.begin(), monitors.end(), [&](const auto& monitor) { return monitor.connector == connector; });
}

}  // namespace

std::vector<display::DisplayInfo> GnomeDisplayFacility::displays()
{
    std::vector<display::DisplayInfo> result;
    for (const auto& monitor : desktop_->bus().monitors()) {
        if (!monitor.active)
            continue;
        display::DisplayInfo info;
        info.id = displayIdentifier(monitor);
        info.x = monitor.x;
        info.y = monitor.y;
        info.width = monitor.logicalWidth;
        info.height = monitor.logicalHeight;
        info.name = monitor.displayName.empty() ? monitor.connector : monitor.displayName;
        info.ownVirtualMonitor = desktop_->isOwnVirtualMonitor(info.id);
        result.push_back(std::move(info));
    }
    return result;
}

std::unique_ptr<display::VirtualMonitor> GnomeDisplayFacility::createVirtualMonitor(display::VirtualResolution resolution, int)
{
    const pipewire::PipeWireStream::Size size{display::width(resolution), display::height(resolution)};
    try {
        const auto before = desktop_->bus().monitors();
        auto cast = std::make_shared<Cast>();
        cast->virtualMonitor = true;
        cast->session = desktop_->bus().startSession(Recording{});
        cast->stream = std::make_unique<pipewire::PipeWireStream>(cast->session->pipeWireNode(), size);
        const auto negotiated = cast->stream->waitForFormat(formatWait);
        if (!negotiated)
            throw VirtualDisplayException(VirtualDisplayError::creationFailed);
        if (negotiated->width != size.width || negotiated->height != size.height)
            throw VirtualDisplayException(VirtualDisplayError::settingsRejected);
        // The compositor adds the monitor once the stream runs; it places it right of the others.
        const auto deadline = std::chrono::steady_clock::now() + monitorWait;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto& monitor : desktop_->bus().monitors()) {
                if (!monitor.active || listed(before, monitor.connector))
                    continue;
                cast->displayID = displayIdentifier(monitor);
                cast->area = {monitor.x, monitor.y, monitor.logicalWidth, monitor.logicalHeight};
                desktop_->add(cast);
                return std::make_unique<GnomeVirtualMonitor>(std::move(cast));
            }
            std::this_thread::sleep_for(monitorPoll);
        }
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    } catch (const MutterError&) {
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    } catch (const pipewire::PipeWireError&) {
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    }
}

}  // namespace kestrio::platform::gnome
