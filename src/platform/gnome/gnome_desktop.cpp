#include "platform/gnome/gnome_desktop.h"
#include "platform/desktop_common/display_identifier.h"

#include <algorithm>

namespace kestrio::platform::gnome {

std::uint32_t displayIdentifier(const MutterMonitor& monitor)
{
    return desktop_common::displayIdentifier({monitor.connector, monitor.vendor, monitor.product, monitor.serial});
}

std::shared_ptr<GnomeDesktop> GnomeDesktop::connect() { return std::make_shared<GnomeDesktop>(MutterBus::connect()); }

void GnomeDesktop::add(const std::shared_ptr<Cast>& cast)
{
    std::lock_guard lock(mutex_);
    std::erase_if(casts_, [](const auto& weak) { return weak.expired(); });
    casts_.push_back(cast);
}

std::vector<std::shared_ptr<Cast>> GnomeDesktop::live()
{
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Cast>> result;
    for (const auto& weak : casts_) {
        if (auto cast = weak.lock())
            result.push_back(std::move(cast));
    }
    return result;
}

std::shared_ptr<Cast> GnomeDesktop::castOf(std::uint32_t displayID)
{
    for (auto& cast : live()) {
        if (cast->displayID == displayID)
            return cast;
    }
    return nullptr;
}

std::shared_ptr<Cast> GnomeDesktop::castAt(double x, double y)
{
    auto casts = live();
    for (auto& cast : casts) {
        if (cast->area.contains(x, y))
            return cast;
    }
    return casts.size() == 1 ? casts.front() : nullptr;
}

bool GnomeDesktop::isOwnVirtualMonitor(std::uint32_t displayID)
{
    auto cast = castOf(displayID);
    return cast && cast->virtualMonitor;
}

}  // namespace kestrio::platform::gnome
