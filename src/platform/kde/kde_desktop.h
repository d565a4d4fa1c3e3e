#pragma once

#include "platform/kde/kwin_connection.h"
#include "platform/kde/kwin_screencast.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrio::platform::kde {

// The identifier a monitor keeps across runs: from its output's name, make and model. Never 0.
std::uint32_t displayIdentifier(const KwinOutput& output);
// Whether the output is a virtual monitor of this program (KWin names it after the name asked for).
bool isOwnVirtualOutput(const KwinOutput& output);

// The KDE desktop as the backend's parts share it: the connection to KWin, and the virtual
// monitors this host made, whose streams capture takes instead of asking for new ones.
class KdeDesktop {
public:
    // Throws KwinError when KWin cannot be reached.
    explicit KdeDesktop(const std::string& display = {}) : connection_(std::make_shared<KwinConnection>(display)) {}

    const std::shared_ptr<KwinConnection>& connection() const { return connection_; }

    struct VirtualMonitor {
        std::uint32_t displayID = 0;
        std::shared_ptr<KwinScreencast> stream;
    };
    // Listed while someone holds them.
    void add(const std::shared_ptr<VirtualMonitor>& monitor);
    std::shared_ptr<VirtualMonitor> virtualMonitor(std::uint32_t displayID);

private:
    std::shared_ptr<KwinConnection> connection_;
    std::mutex mutex_;
    std::vector<std::weak_ptr<VirtualMonitor>> monitors_;
};

}  // namespace kestrio::platform::kde
