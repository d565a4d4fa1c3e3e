#include "platform/wlroots/virtual_keymap.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>

namespace kestrio::platform::wlroots {
namespace {

// xkb keycodes start at 8, evdev codes at 0.
constexpr std::uint32_t firstKeycode = 8;

}  // namespace

VirtualKeymap::VirtualKeymap() : keys_{desktop_common::controlKeysym} {}

bool VirtualKeymap::include(const std::vector<desktop_common::Keysym>& keysyms)
{
    std::vector<desktop_common::Keysym> missing;
    for (const desktop_common::Keysym keysym : keysyms) {
        if (keysym != desktop_common::noSymbol && !keyOf(keysym) && std::find(missing.begin(), missing.end(), keysym) == missing.end())
            missing.push_back(keysym);
    }
    if (missing.empty())
        return false;
    if (keys_.size() + missing.size() > capacity)
        keys_.resize(1);
    for (const desktop_common::Keysym keysym : missing) {
        if (keys_.size() < capacity)
            keys_.push_back(keysym);
    }
    return true;
}

std::optional<std::uint32_t> VirtualKeymap::keyOf(desktop_common::Keysym keysym) const
{
    const auto found = std::find(keys_.begin(), keys_.end(), keysym);
    if (found == keys_.end())
        return std::nullopt;
    return static_cast<std::uint32_t>(found - keys_.begin()) + 1;  // evdev 0 is no key
}

std::string VirtualKeymap::text() const
{
    const auto keycode = [](std::size_t index) { return std::to_string(index + 1 + firstKeycode); };
    std::string keycodes = "xkb_keycodes \"kestrio\" {\n    minimum = 8;\n    maximum = " + keycode(keys_.size()) + ";\n";
    std::string symbols = "xkb_symbols \"kestrio\" {\n";
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        char name[64];
        if (xkb_keysym_get_name(keys_[i], name, sizeof name) <= 0)
            continue;
        keycodes += "    <K" + std::to_string(i) + "> = " + keycode(i) + ";\n";
        symbols += "    key <K" + std::to_string(i) + "> { [ " + name + " ] };\n";
    }
    symbols += "    modifier_map Control { <K0> };\n};\n";
    keycodes += "};\n";
    return "xkb_keymap {\n" + keycodes + "xkb_types \"kestrio\" { include \"complete\" };\n" +
           "xkb_compatibility \"kestrio\" { include \"complete\" };\n" + symbols + "};\n";
}

}  // namespace kestrio::platform::wlroots
