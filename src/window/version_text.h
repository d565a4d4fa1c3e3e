#pragma once

#include <string>

namespace kestrio::window {

// The version the window's header shows: "0.1.0 (1)".
struct VersionText {
    std::string shortVersion;  // empty: unknown
    std::string build;         // empty: unknown

    // Each part reads "-" when unknown.
    std::string text() const
    {
        return (shortVersion.empty() ? "-" : shortVersion) + " (" + (build.empty() ? "-" : build) + ")";
    }
};

}  // namespace kestrio::window
