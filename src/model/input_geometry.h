#pragma once

#include "desktop/input_event_poster.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kestrio::model {

// A rectangle in the desktop's global space.
struct ScreenRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    bool empty() const { return width <= 0 || height <= 0; }
    // Half-open, like the platform's rectangle test: the right and bottom edges are outside.
    bool contains(ScreenPoint point) const { return point.x >= x && point.x < maxX() && point.y >= y && point.y < maxY(); }
    bool operator==(const ScreenRect&) const = default;
};

// The first rectangle that contains `point`, else the one whose centre is nearest (the earlier
// on a tie), else none.
std::optional<ScreenRect> displayRect(const std::vector<ScreenRect>& rects, ScreenPoint point);

// Where a relative pointer move of (dx, dy) from `current` ends: inside the union of the
// displays, and never out of the current display through its bottom edge.
ScreenPoint relativeMoveTarget(const std::vector<ScreenRect>& rects, std::optional<ScreenPoint> current, double dx, double dy);

// The pixel amounts of a scroll: each delta rounded half away from zero and clamped to ±500.
std::pair<std::int32_t, std::int32_t> scrollAmounts(double deltaX, double deltaY);

}  // namespace kestrio::model
