#pragma once

#include "updates/update_checker.h"

#include <string>

namespace kestrio::updates {

// What the window and the status lines say about updates: a Korean line, then an English one.
struct UpdateStatusText {
    std::string korean;
    std::string english;
    // The newer version's download address; empty unless one is available.
    std::string downloadURL;
    bool isFailure = false;

    bool empty() const { return korean.empty() && english.empty(); }
    friend bool operator==(const UpdateStatusText&, const UpdateStatusText&) = default;
};

// The texts for a check's state; empty while no check has run.
UpdateStatusText describe(const UpdateState& state);

// Shown instead of the check when the build reads no feed: the system's packages bring updates.
UpdateStatusText packageManagerUpdates();

}  // namespace kestrio::updates
