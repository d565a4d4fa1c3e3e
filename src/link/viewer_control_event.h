#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kestrio::link {

// What the host shows the viewer: its own virtual monitor or a mirror of a real display.
enum class SourceMode { virtualDisplay, mirror };

// "virtualDisplay" or "mirror".
std::string_view rawValue(SourceMode mode);
// Exact and case-sensitive; any other text yields nullopt.
std::optional<SourceMode> sourceModeFromRawValue(std::string_view raw);

// The special keys the viewer can press. commandDown and commandUp are the separate press and
// release of the Command key, so the viewer can hold it across other input.
enum class ViewerKeyboardKey { backspace, returnKey, commandDown, commandUp };

// "BACKSPACE", "RETURN", "COMMAND_DOWN" or "COMMAND_UP".
std::string_view rawValue(ViewerKeyboardKey key);
// Exact and case-sensitive; any other text yields nullopt.
std::optional<ViewerKeyboardKey> viewerKeyboardKeyFromRawValue(std::string_view raw);

// Positions x and y are fractions of the shared picture, 0 to 1 inclusive from the left or top
// edge. Deltas and offsets are signed, at most 500 in magnitude.
namespace control {
struct Move {
    double x;
    double y;
    bool operator==(const Move&) const = default;
};
struct Click {
    double x;
    double y;
    bool operator==(const Click&) const = default;
};
struct MouseDown {
    double x;
    double y;
    bool operator==(const MouseDown&) const = default;
};
struct MouseUp {
    double x;
    double y;
    bool operator==(const MouseUp&) const = default;
};
struct RightClick {
    double x;
    double y;
    bool operator==(const RightClick&) const = default;
};
struct Scroll {
    double x;
    double y;
    double deltaX;
    double deltaY;
    bool operator==(const Scroll&) const = default;
};
struct MoveRelative {
    double dx;
    double dy;
    bool operator==(const MoveRelative&) const = default;
};
struct Wheel {
    double deltaX;
    double deltaY;
    bool operator==(const Wheel&) const = default;
};
// Never empty, always valid UTF-8, at most maxTextCharacters Unicode scalars (a longer text is
// cut there).
struct Text {
    static constexpr std::size_t maxTextCharacters = 4096;
    std::string text;
    bool operator==(const Text&) const = default;
};
struct Key {
    ViewerKeyboardKey key;
    bool operator==(const Key&) const = default;
};
struct SourceMode {
    link::SourceMode mode;
    bool operator==(const SourceMode&) const = default;
};
struct StopStreaming {
    bool operator==(const StopStreaming&) const = default;
};
struct ClickCurrent {
    bool operator==(const ClickCurrent&) const = default;
};
struct RightClickCurrent {
    bool operator==(const RightClickCurrent&) const = default;
};
struct VolumeUp {
    bool operator==(const VolumeUp&) const = default;
};
struct VolumeDown {
    bool operator==(const VolumeDown&) const = default;
};
}  // namespace control

// One input action from the viewer. The alternative's index is the event's case number, so
// the order here is part of the interface.
using ViewerControlEvent = std::variant<control::Move, control::Click, control::MouseDown, control::MouseUp,
    control::RightClick, control::Scroll, control::MoveRelative, control::Wheel, control::Text, control::Key,
    control::SourceMode, control::StopStreaming, control::ClickCurrent, control::RightClickCurrent,
    control::VolumeUp, control::VolumeDown>;

// Short readable form, e.g. "move(0.5, 1)", "key(BACKSPACE)", "stopStreaming".
std::string describe(const ViewerControlEvent& event);

}  // namespace kestrio::link
