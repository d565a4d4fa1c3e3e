#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace kestrio::platform::desktop_common {

// The identifier a monitor keeps across runs, from what it reports of itself (its connector and
// its vendor, product and serial, in that order): FNV-1a over the parts, each ended by a byte no
// text holds, so ("ab", "c") and ("a", "bc") differ. Never 0.
inline std::uint32_t displayIdentifier(std::initializer_list<std::string_view> parts)
{
    std::uint32_t hash = 2166136261u;
    for (std::string_view part : parts) {
        for (unsigned char byte : part) {
            hash ^= byte;
            hash *= 16777619u;
        }
        hash ^= 0xff;
        hash *= 16777619u;
    }
    return hash == 0 ? 1 : hash;
}

}  // namespace kestrio::platform::desktop_common
