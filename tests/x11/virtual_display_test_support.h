#pragma once

// Looking at an X server from outside the code under test: xrandr's view, the pointer as another
// client sees it, and the root window's size.

#include <string>
#include <vector>

namespace kestrio::platform::testing {

// What `xrandr <arguments>` prints on `displayName`, and whether it exited with 0.
struct CommandResult {
    bool ok = false;
    std::string output;
};
CommandResult xrandr(const std::string& displayName, const std::string& arguments);

struct Point {
    int x = -1;
    int y = -1;
};
Point pointerPosition(const std::string& displayName);

struct Size {
    int width = 0;
    int height = 0;
};
Size rootSize(const std::string& displayName);

// Names of the RandR modes the server knows.
std::vector<std::string> modeNames(const std::string& displayName);

}  // namespace kestrio::platform::testing
