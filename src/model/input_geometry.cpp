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

std::optional<std::uint16_t> keyCode(char32_t scalar)
{
    // Lower-casing as the Unicode tables do, for the characters whose lower case is in the table:
    // the capitals, and the Kelvin sign, which lower-cases to k.
    if (scalar >= U'A' && scalar <= U'Z')
        scalar += U'a' - U'A';
    else if (scalar == U'\u212A')
        scalar = U'k';
    switch (scalar) {
    case U'a': return 0;
    case U's': return 1;
    case U'd': return 2;
    case U'f': return 3;
    case U'h': return 4;
    case U'g': return 5;
    case U'z': return 6;
    case U'x': return 7;
    case U'c': return 8;
    case U'v': return 9;
    case U'b': return 11;
    case U'q': return 12;
    case U'w': return 13;
    case U'e': return 14;
    case U'r': return 15;
    case U'y': return 16;
    case U't': return 17;
    case U'o': return 31;
    case U'u': return 32;
    case U'i': return 34;
    case U'p': return 35;
    case U'l': return 37;
    case U'j': return 38;
    case U'k': return 40;
    case U'n': return 45;
    case U'm': return 46;
    case U'1': return 18;
    case U'2': return 19;
    case U'3': return 20;
    case U'4': return 21;
    case U'5': return 23;
    case U'6': return 22;
    case U'7': return 26;
    case U'8': return 28;
    case U'9': return 25;
    case U'0': return 29;
    case U' ': return 49;
    default: return std::nullopt;
    }
}

}  // namespace kestrio::model
