#include "link/viewer_control_event.h"

#include <charconv>
#include <initializer_list>
#include <type_traits>

namespace kestrio::link {

namespace {

void appendNumber(std::string& out, double value)
{
    // Shortest text that reads back as the same double, and no locale involved.
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

std::string call(std::string_view name, std::initializer_list<double> values)
{
    std::string out(name);
    out.push_back('(');
    bool first = true;
    for (double value : values) {
        if (!first)
            out.append(", ");
        first = false;
        appendNumber(out, value);
    }
    out.push_back(')');
    return out;
}

std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

}  // namespace

std::string_view rawValue(SourceMode mode)
{
    switch (mode) {
    case SourceMode::virtualDisplay:
        return "virtualDisplay";
    case SourceMode::mirror:
        return "mirror";
    }
    return {};
}

std::optional<SourceMode> sourceModeFromRawValue(std::string_view raw)
{
    for (auto mode : {SourceMode::virtualDisplay, SourceMode::mirror}) {
        if (raw == rawValue(mode))
            return mode;
    }
    return std::nullopt;
}

std::string_view rawValue(ViewerKeyboardKey key)
{
    switch (key) {
    case ViewerKeyboardKey::backspace:
        return "BACKSPACE";
    case ViewerKeyboardKey::returnKey:
        return "RETURN";
    case ViewerKeyboardKey::commandDown:
        return "COMMAND_DOWN";
    case ViewerKeyboardKey::commandUp:
        return "COMMAND_UP";
    }
    return {};
}

std::optional<ViewerKeyboardKey> viewerKeyboardKeyFromRawValue(std::string_view raw)
{
    for (auto key : {ViewerKeyboardKey::backspace, ViewerKeyboardKey::returnKey, ViewerKeyboardKey::commandDown,
             ViewerKeyboardKey::commandUp}) {
        if (raw == rawValue(key))
            return key;
    }
    return std::nullopt;
}

std::string describe(const ViewerControlEvent& event)
{
    return std::visit(
        [](const auto& e) -> std::string {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, control::Move>)
                return call("move", {e.x, e.y});
            else if constexpr (std::is_same_v<T, control::Click>)
                return call("click", {e.x, e.y});
            else if constexpr (std::is_same_v<T, control::MouseDown>)
                return call("mouseDown", {e.x, e.y});
            else if constexpr (std::is_same_v<T, control::MouseUp>)
                return call("mouseUp", {e.x, e.y});
            else if constexpr (std::is_same_v<T, control::RightClick>)
                return call("rightClick", {e.x, e.y});
            else if constexpr (std::is_same_v<T, control::Scroll>)
                return call("scroll", {e.x, e.y, e.deltaX, e.deltaY});
            else if constexpr (std::is_same_v<T, control::MoveRelative>)
                return call("moveRelative", {e.dx, e.dy});
            else if constexpr (std::is_same_v<T, control::Wheel>)
                return call("wheel", {e.deltaX, e.deltaY});
            else if constexpr (std::is_same_v<T, control::Text>)
                return "text(" + quoted(e.text) + ")";
            else if constexpr (std::is_same_v<T, control::Key>)
                return "key(" + std::string(rawValue(e.key)) + ")";
            else if constexpr (std::is_same_v<T, control::SourceMode>)
                return "sourceMode(" + std::string(rawValue(e.mode)) + ")";
            else if constexpr (std::is_same_v<T, control::StopStreaming>)
                return "stopStreaming";
            else if constexpr (std::is_same_v<T, control::ClickCurrent>)
                return "clickCurrent";
            else if constexpr (std::is_same_v<T, control::RightClickCurrent>)
                return "rightClickCurrent";
            else if constexpr (std::is_same_v<T, control::VolumeUp>)
                return "volumeUp";
            else {
                static_assert(std::is_same_v<T, control::VolumeDown>, "every event needs a description");
                return "volumeDown";
            }
        },
        event);
}

}  // namespace kestrio::link
