#pragma once

#include "desktop/display_facility.h"
#include "runtime/clock.h"
#include "runtime/task.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrio::display {

// The displays a user can share in mirror mode, and the one chosen. The program's own virtual
// monitors never appear: those this run made (their IDs are remembered) and those an earlier
// run left behind (recognised by their name). Runs on the model's executor.
class DisplayList {
public:
    // `captureAllowed` tells whether screen capture is permitted at all; it decides which
    // message a failed query shows.
    DisplayList(std::shared_ptr<DisplayFacility> facility, std::shared_ptr<runtime::Clock> clock,
                std::function<bool()> captureAllowed);

    static constexpr int waitQueries = 60;
    static constexpr runtime::Duration waitInterval = std::chrono::milliseconds(250);

    // Reloads the list and keeps the selection valid. A failed query keeps the list and the
    // selection and only sets the message (and screenPermissionNeeded). True when the list loaded.
    bool refreshDisplays();

    // The display with this ID once the platform lists it (unfiltered: a new virtual monitor is
    // found although it never enters the list). Queries up to 60 times, 0.25 s apart; throws
    // VirtualDisplayException(notVisible) after that, the query's own error at once, and
    // TaskCancelled when cancelled while waiting.
    runtime::Task<DisplayInfo> waitForDisplay(std::uint32_t id);

    // The display mirror mode captures: the selected one, else the first, else none.
    std::optional<DisplayInfo> currentDisplay() const;

    // A monitor this run created: never offered, even once it is gone.
    void rememberVirtualDisplay(std::uint32_t id) { knownVirtualDisplayIDs_.insert(id); }

    const std::vector<DisplayInfo>& displays() const { return displays_; }
    std::uint32_t selectedDisplayID() const { return selectedDisplayID_; }
    void select(std::uint32_t id) { selectedDisplayID_ = id; }
    const std::set<std::uint32_t>& knownVirtualDisplayIDs() const { return knownVirtualDisplayIDs_; }
    bool screenPermissionNeeded() const { return screenPermissionNeeded_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }

    // The picker's two lines for the display at `index` (from 0): "디스플레이 1 · 1920×1080" and
    // "Display 1 · 1920×1080".
    static std::string koreanLabel(std::size_t index, const DisplayInfo& display);
    static std::string englishLabel(std::size_t index, const DisplayInfo& display);

private:
    std::shared_ptr<DisplayFacility> facility_;
    std::shared_ptr<runtime::Clock> clock_;
    std::function<bool()> captureAllowed_;

    std::vector<DisplayInfo> displays_;
    std::uint32_t selectedDisplayID_ = 0;
    std::set<std::uint32_t> knownVirtualDisplayIDs_;
    bool screenPermissionNeeded_ = false;
    std::optional<std::string> errorMessage_;
};

}  // namespace kestrio::display
