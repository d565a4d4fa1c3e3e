#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;

namespace kestrio::platform::gnome {

// A failed call to one of the compositor's services; the text says which and why.
class MutterError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A monitor as the compositor's display configuration describes it, with the place and size it
// has in the desktop (logical pixels) when it is in use.
struct MutterMonitor {
    std::string connector;  // "DP-1", "Meta-0"
    std::string vendor;
    std::string product;
    std::string serial;
    std::string displayName;
    int width = 0;  // the current mode, in pixels
    int height = 0;
    bool active = false;  // part of a logical monitor
    int x = 0;            // in the desktop, logical pixels
    int y = 0;
    int logicalWidth = 0;
    int logicalHeight = 0;
    double scale = 1;
};

// What a screen-cast session records.
struct Recording {
    // A monitor by connector; empty: a new virtual monitor, of the size the stream negotiates.
    std::string connector;
};

class MutterBus;
class MutterClipboard;

// A remote-desktop session of the compositor with its screen-cast session and one stream. Input
// is posted through it onto the stream; the stream's pictures come through PipeWire. Stopped when
// destroyed (a virtual monitor it recorded then goes away).
class MutterSession {
public:
    MutterSession(std::shared_ptr<MutterBus> bus, std::string remoteDesktopPath, std::string streamPath,
                  std::uint32_t pipeWireNode);
    ~MutterSession();
    MutterSession(const MutterSession&) = delete;
    MutterSession& operator=(const MutterSession&) = delete;

    std::uint32_t pipeWireNode() const { return node_; }

    // Input, sent without waiting for an answer; in order. Positions are in the stream's space.
    void pointerMotionAbsolute(double x, double y);
    void pointerMotionRelative(double dx, double dy);
    // `button`: the evdev code (BTN_LEFT 0x110, BTN_RIGHT 0x111).
    void pointerButton(int button, bool pressed);
    // Smooth scroll in pixels (positive dy scrolls towards the end of the content).
    // A smooth scroll in pixels, as a finger on a touchpad makes: positive dy scrolls towards the
    // end of the content, positive dx to the right.
    void pointerAxis(double dx, double dy);
    void keyboardKeysym(std::uint32_t keysym, bool pressed);
    // Hands `text` over through the session's clipboard and the paste shortcut, and puts back
    // what the clipboard held. False when the compositor refused.
    bool pasteText(const std::string& text);

private:
    void notify(const char* method, GVariant* arguments);

    std::shared_ptr<MutterBus> bus_;
    std::string remoteDesktopPath_;
    std::string streamPath_;
    std::uint32_t node_;
    std::unique_ptr<MutterClipboard> clipboard_;  // made on first use
};

// One private connection to the session bus, through which the compositor's display
// configuration, screen-cast and remote-desktop services are used. The compositor ends the
// sessions of a connection when it closes, so nothing outlives this process.
class MutterBus : public std::enable_shared_from_this<MutterBus> {
public:
    // Throws MutterError when the session bus cannot be reached.
    static std::shared_ptr<MutterBus> connect();
    ~MutterBus();

    // The services that are missing from the bus, by name; empty when all three are there.
    std::vector<std::string> missingServices();

    // The monitors, in the compositor's order. Throws MutterError.
    std::vector<MutterMonitor> monitors();

    // Starts a session recording `what`, with the cursor drawn into the pictures, and waits
    // (a few seconds at most) for its PipeWire stream. Throws MutterError.
    std::unique_ptr<MutterSession> startSession(const Recording& what);

    GDBusConnection* connection() const { return connection_; }

private:
    explicit MutterBus(GDBusConnection* connection) : connection_(connection) {}
    GDBusConnection* connection_;
};

}  // namespace kestrio::platform::gnome
