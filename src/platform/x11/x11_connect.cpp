#include "platform/x11/x11_connect.h"

#include <mutex>

namespace kestrio::platform::x11 {

xcb_connection_t* connectToDisplay(const std::string& displayName, int* screenNumber)
{
    static std::mutex connecting;
    std::lock_guard lock(connecting);
    return xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), screenNumber);
}

}  // namespace kestrio::platform::x11
