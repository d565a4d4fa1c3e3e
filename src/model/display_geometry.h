#pragma once

#include "desktop/display_facility.h"
#include "model/input_geometry.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace kestrio::model {

// The bounds of the active displays for input: asked for on every pointer event and every 8 ms
// of relative motion, so they are read from the platform at most once a second, and at once when
// a display is asked for that the last reading did not have. Any thread.
class DisplayGeometry {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    explicit DisplayGeometry(std::shared_ptr<display::DisplayFacility> facility, Clock now = &std::chrono::steady_clock::now)
        : facility_(std::move(facility)), now_(std::move(now))
    {
    }

    static constexpr std::chrono::seconds maximumAge{1};

    // Every active display's bounds, in the platform's order.
    std::vector<ScreenRect> rects();
    // The bounds of one display; none when it is not active.
    std::optional<ScreenRect> bounds(std::uint32_t displayID);
    // The next use reads the platform again: displays may have moved (a stream starts after a
    // virtual monitor came or went, and the desktop placed the others anew).
    void forget();

private:
    // Under mutex_.
    void refreshIfOlderThan(std::chrono::steady_clock::duration age);

    std::shared_ptr<display::DisplayFacility> facility_;
    Clock now_;
    std::mutex mutex_;
    std::vector<display::DisplayInfo> displays_;
    std::optional<std::chrono::steady_clock::time_point> readAt_;
};

}  // namespace kestrio::model
