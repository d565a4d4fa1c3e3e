#include "model/display_geometry.h"

namespace kestrio::model {

namespace {

ScreenRect rectOf(const display::DisplayInfo& display)
{
    return {static_cast<double>(display.x), static_cast<double>(display.y), static_cast<double>(display.width),
            static_cast<double>(display.height)};
}

}  // namespace

void DisplayGeometry::refreshIfOlderThan(std::chrono::steady_clock::duration age)
{
    const auto now = now_();
    if (readAt_ && now - *readAt_ < age)
        return;
    readAt_ = now;
    try {
        displays_ = facility_->displays();
    } catch (const std::exception&) {
        displays_.clear();
    }
}

void DisplayGeometry::forget()
{
    std::lock_guard lock(mutex_);
    readAt_.reset();
}

std::vector<ScreenRect> DisplayGeometry::rects()
{
    std::lock_guard lock(mutex_);
    refreshIfOlderThan(maximumAge);
    std::vector<ScreenRect> result;
    for (const auto& display : displays_)
        result.push_back(rectOf(display));
    return result;
}

std::optional<ScreenRect> DisplayGeometry::bounds(std::uint32_t displayID)
{
    std::lock_guard lock(mutex_);
    refreshIfOlderThan(maximumAge);
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& display : displays_)
            if (display.id == displayID)
                return rectOf(display);
        // A display the last reading did not have (a monitor made since): read again, once.
        refreshIfOlderThan(std::chrono::steady_clock::duration::zero());
    }
    return std::nullopt;
}

}  // namespace kestrio::model
