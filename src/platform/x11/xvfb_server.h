#pragma once

#include "platform/x11/x_authority.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace kestrio::platform::x11 {

struct ScreenSize {
    int width = 0;
    int height = 0;
    bool operator==(const ScreenSize&) const = default;
};

// A private virtual X server (Xvfb) owned by this process: on a display number of its own, so
// that several can run side by side, and gone when the object is. It admits only clients that
// present its cookie, which is in authorityFile() and nowhere else.
class XvfbServer {
public:
    struct Options {
        ScreenSize initialSize{1920, 1080};
        // Xvfb cannot grow its screen beyond the size it started with. When set (and larger than
        // initialSize), the server starts at this size and switches to a mode of initialSize, so
        // that the root window can later be grown up to it through RandR.
        std::optional<ScreenSize> maximumSize;
        int depth = 24;
        // How long each xrandr run that sets up the screen may take before it is killed and the
        // start fails.
        std::chrono::milliseconds commandTimeout{5000};
    };

    // Starts the server and waits until it accepts connections. Returns nothing when it could not
    // be started; `error` then says why.
    static std::unique_ptr<XvfbServer> start(const Options& options, std::string& error);
    static std::unique_ptr<XvfbServer> start(const Options& options);
    static std::unique_ptr<XvfbServer> start();

    // Terminates the server and reaps it.
    ~XvfbServer();

    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N", for DISPLAY or xcb_connect.
    const std::string& displayName() const { return displayName_; }
    pid_t processID() const { return pid_; }
    // The authority file that admits clients, for XAUTHORITY; removed with the server.
    const std::string& authorityFile() const;
    // Points this process's XAUTHORITY at authorityFile(), so that its own X clients (xcb, Qt)
    // and the children it starts from now on are admitted. Changes the environment: call it
    // while no other thread reads the environment.
    void authorizeThisProcess() const;

    // Ends the server if it still runs and starts a new one on the same display, with the same
    // cookie and screen, for a server that died. False, with `error` saying why, when it could not.
    bool restart(std::string& error);

private:
    XvfbServer(const Options& options, std::unique_ptr<XAuthority> authority);
    bool launch(std::optional<int> display, std::string& error);

    Options options_;
    pid_t pid_ = -1;
    std::string displayName_;
    std::unique_ptr<XAuthority> authority_;
};

}  // namespace kestrio::platform::x11
