#include "platform/kde/kde_displays.h"

#include "display/virtual_display_error.h"

#include <algorithm>

namespace kestrio::platform::kde {
namespace {

using display::VirtualDisplayError;
using display::VirtualDisplayException;

constexpr auto outputWait = std::chrono::seconds(2);

class KwinVirtualMonitor final : public display::VirtualMonitor {
public:
    explicit KwinVirtualMonitor(std::shared_ptr<KdeDesktop::VirtualMonitor> monitor) : monitor_(std::move(monitor)) {}
    std::uint32_t displayID() const override { return monitor_->displayID; }

private:
    std::shared_ptr<KdeDesktop::VirtualMonitor> monitor_;
};

}  // namespace

std::vector<display::DisplayInfo> KdeDisplayFacility::displays()
{
    auto& connection = *desktop_->connection();
    auto held = connection.lock();
    try {
        connection.sync(held);
    } catch (const KwinError& error) {
        throw std::runtime_error(error.what());
    }
    std::vector<display::DisplayInfo> result;
    for (const auto& output : connection.outputs()) {
        if (output.width <= 0 || output.height <= 0)
            continue;
        result.push_back({displayIdentifier(output), output.x, output.y, output.width, output.height, output.name,
                          isOwnVirtualOutput(output)});
    }
    return result;
}

std::unique_ptr<display::VirtualMonitor> KdeDisplayFacility::createVirtualMonitor(display::VirtualResolution resolution, int)
{
    const auto connection = desktop_->connection();
    std::vector<std::uint32_t> before;
    {
        auto held = connection->lock();
        for (const auto& output : connection->outputs())
            before.push_back(output.global);
    }
    auto monitor = std::make_shared<KdeDesktop::VirtualMonitor>();
    try {
        monitor->stream = KwinScreencast::ofVirtualOutput(connection, std::string(display::virtualMonitorName),
                                                          display::width(resolution), display::height(resolution));
    } catch (const KwinError&) {
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    }
    // The output KWin added for it, once it has described itself.
    auto held = connection->lock();
    std::optional<KwinOutput> added;
    connection->waitFor(held, outputWait, [&] {
        for (const auto& output : connection->outputs()) {
            if (std::find(before.begin(), before.end(), output.global) == before.end() && output.width > 0 && !output.name.empty())
                added = output;
        }
        return added.has_value();
    });
    if (!added)
        throw VirtualDisplayException(VirtualDisplayError::creationFailed);
    monitor->displayID = displayIdentifier(*added);
    held.unlock();
    desktop_->add(monitor);
    return std::make_unique<KwinVirtualMonitor>(std::move(monitor));
}

}  // namespace kestrio::platform::kde
