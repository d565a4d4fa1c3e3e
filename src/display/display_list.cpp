#include "display/display_list.h"

#include "display/virtual_display_error.h"

#include <algorithm>

namespace kestrio::display {

DisplayList::DisplayList(std::shared_ptr<DisplayFacility> facility, std::shared_ptr<runtime::Clock> clock,
                         std::function<bool()> captureAllowed)
    : facility_(std::move(facility)), clock_(std::move(clock)), captureAllowed_(std::move(captureAllowed))
{
}

bool DisplayList::refreshDisplays()
{
    std::vector<DisplayInfo> listed;
    try {
        listed = facility_->displays();
    } catch (const std::exception& error) {
        screenPermissionNeeded_ = captureAllowed_ ? !captureAllowed_() : false;
        errorMessage_ = screenPermissionNeeded_ ? std::string("화면 기록 권한이 필요함")
                                                : std::string("화면 목록을 읽을 수 없음 \u00B7 ") + error.what();
        return false;
    }
    std::erase_if(listed, [&](const DisplayInfo& display) { return knownVirtualDisplayIDs_.contains(display.id); });
    std::erase_if(listed, [](const DisplayInfo& display) { return display.ownVirtualMonitor; });
    displays_ = std::move(listed);

    const bool selectionListed = std::any_of(displays_.begin(), displays_.end(),
                                             [&](const DisplayInfo& display) { return display.id == selectedDisplayID_; });
    if (selectedDisplayID_ == 0 || !selectionListed)
        selectedDisplayID_ = displays_.empty() ? 0 : displays_.front().id;
    return true;
}

runtime::Task<DisplayInfo> DisplayList::waitForDisplay(std::uint32_t id)
{
    for (int query = 0; query < waitQueries; ++query) {
        for (const auto& display : facility_->displays())
            if (display.id == id)
                co_return display;
        co_await runtime::sleepFor(clock_, waitInterval);
    }
    throw VirtualDisplayException(VirtualDisplayError::notVisible);
}

std::optional<DisplayInfo> DisplayList::currentDisplay() const
{
    for (const auto& display : displays_)
        if (display.id == selectedDisplayID_)
            return display;
    if (!displays_.empty())
        return displays_.front();
    return std::nullopt;
}

namespace {

std::string labelTail(std::size_t index, const DisplayInfo& display)
{
    return std::to_string(index + 1) + " \u00B7 " + std::to_string(display.width) + "\u00D7" + std::to_string(display.height);
}

}  // namespace

std::string DisplayList::koreanLabel(std::size_t index, const DisplayInfo& display)
{
    return "디스플레이 " + labelTail(index, display);
}

std::string DisplayList::englishLabel(std::size_t index, const DisplayInfo& display)
{
    return "Display " + labelTail(index, display);
}

}  // namespace kestrio::display
