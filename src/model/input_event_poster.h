#pragma once

#include <optional>

namespace kestrio::model {

// A point in the desktop's global space (origin top-left of the desktop).
struct ScreenPoint {
    double x = 0;
    double y = 0;
    bool operator==(const ScreenPoint&) const = default;
};

enum class MouseButton { left, right };

// Posts synthetic input into the desktop's event stream.
class InputEventPoster {
public:
    virtual ~InputEventPoster() = default;
    // Where the pointer is, when it can be read.
    virtual std::optional<ScreenPoint> pointerLocation() = 0;
    virtual void postMouseButton(MouseButton button, bool down, ScreenPoint at) = 0;
};

}  // namespace kestrio::model
