#pragma once

#include "platform/gnome/mutter_bus.h"
#include "platform/pipewire/pipewire_stream.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace kestrio::platform::gnome {

// A rectangle of the desktop, in logical pixels.
struct DesktopArea {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool contains(double px, double py) const { return px >= x && py >= y && px < x + width && py < y + height; }
};

// One monitor being cast: the compositor's session for it (through which input reaches it) and
// its picture stream.
struct Cast {
    std::uint32_t displayID = 0;
    DesktopArea area;
    bool virtualMonitor = false;  // made by this host
    std::unique_ptr<MutterSession> session;
    std::unique_ptr<pipewire::PipeWireStream> stream;
};

// The identifier a monitor keeps across runs: from its connector and the vendor, product and
// serial it reports (FNV-1a). Never 0.
std::uint32_t displayIdentifier(const MutterMonitor& monitor);

// The GNOME desktop as the backend's parts share it: the connection to the compositor's
// services, and the monitors being cast now, so that capture reuses a virtual monitor's stream
// and input finds the stream under a point.
class GnomeDesktop {
public:
    // Throws MutterError when the session bus cannot be reached.
    static std::shared_ptr<GnomeDesktop> connect();
    explicit GnomeDesktop(std::shared_ptr<MutterBus> bus) : bus_(std::move(bus)) {}

    MutterBus& bus() { return *bus_; }

    // Casts are listed while someone holds them.
    void add(const std::shared_ptr<Cast>& cast);
    std::shared_ptr<Cast> castOf(std::uint32_t displayID);
    // The cast whose monitor holds the point, else the one cast there is, if only one.
    std::shared_ptr<Cast> castAt(double x, double y);
    bool isOwnVirtualMonitor(std::uint32_t displayID);

private:
    std::vector<std::shared_ptr<Cast>> live();

    std::shared_ptr<MutterBus> bus_;
    std::mutex mutex_;
    std::vector<std::weak_ptr<Cast>> casts_;
};

}  // namespace kestrio::platform::gnome
