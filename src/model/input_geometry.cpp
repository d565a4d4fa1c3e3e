#include "model/input_geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrio::model {

std::optional<ScreenRect> displayRect(const std::vector<ScreenRect>& rects, ScreenPoint point)
{
    for (const auto& rect : rects)
        if (rect.contains(point))
            return rect;
    std::optional<ScreenRect> nearest;
    double best = std::numeric_limits<double>::infinity();
    for (const auto& rect : rects) {
        const double distance = std::hypot(rect.x + rect.width / 2 - point.x, rect.y + rect.height / 2 - point.y);
        if (distance < best) {
            best = distance;
            nearest = rect;
        }
    }
    return nearest;
}

ScreenPoint relativeMoveTarget(const std::vector<ScreenRect>& rects, std::optional<ScreenPoint> current, double dx, double dy)
{
    ScreenPoint start;
    ScreenPoint target;
    if (!rects.empty()) {
        double minX = rects.front().x, minY = rects.front().y, maxX = rects.front().maxX(), maxY = rects.front().maxY();
        for (const auto& rect : rects) {
            minX = std::min(minX, rect.x);
            minY = std::min(minY, rect.y);
            maxX = std::max(maxX, rect.maxX());
            maxY = std::max(maxY, rect.maxY());
        }
        start = current.value_or(ScreenPoint{(minX + maxX) / 2, (minY + maxY) / 2});
        target = {std::clamp(start.x + dx, minX, maxX), std::clamp(start.y + dy, minY, maxY)};
    } else {
        start = current.value_or(ScreenPoint{});
        target = {start.x + dx, start.y + dy};
    }
    if (dy > 0) {
        if (const auto display = displayRect(rects, start); display && start.y + dy >= display->maxY() - 1)
            target.y = display->maxY() - 1;
    }
    return target;
}

std::pair<std::int32_t, std::int32_t> scrollAmounts(double deltaX, double deltaY)
{
    const auto amount = [](double delta) { return static_cast<std::int32_t>(std::clamp(std::round(delta), -500.0, 500.0)); };
    return {amount(deltaX), amount(deltaY)};
}

}  // namespace kestrio::model
