#include "platform/kde/kde_desktop.h"

#include "desktop/display_facility.h"
#include "platform/desktop_common/display_identifier.h"

#include <algorithm>

namespace kestrio::platform::kde {

std::uint32_t displayIdentifier(const KwinOutput& output)
{
    return desktop_common::displayIdentifier({output.name, output.make, output.model, ""});
}

bool isOwnVirtualOutput(const KwinOutput& output)
{
    const std::string_view own = display::virtualMonitorName;
    return output.name.size() >= own.size() && output.name.compare(output.name.size() - own.size(), own.size(), own) == 0;
}

void KdeDesktop::add(const std::shared_ptr<VirtualMonitor>& monitor)
{
    std::lock_guard lock(mutex_);
    std::erase_if(monitors_, [](const auto& held) { return held.expired(); });
    monitors_.push_back(monitor);
}

std::shared_ptr<KdeDesktop::VirtualMonitor> KdeDesktop::virtualMonitor(std::uint32_t displayID)
{
    std::lock_guard lock(mutex_);
    for (const auto& held : monitors_) {
        if (auto monitor = held.lock(); monitor && monitor->displayID == displayID)
            return monitor;
    }
    return nullptr;
}

}  // namespace kestrio::platform::kde
