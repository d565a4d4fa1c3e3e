#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrio::platform::wlroots {

// The compositor's IPC socket could not be used; the text says why.
class SwayIpcError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An output as sway describes it.
struct SwayOutput {
    std::string name;  // "HEADLESS-1", "DP-1"
    std::string make;
    std::string model;
    std::string serial;
    bool active = false;
    int x = 0;  // in the desktop's layout, logical pixels
    int y = 0;
    int width = 0;
    int height = 0;
    int modeWidth = 0;  // the current mode, in pixels
    int modeHeight = 0;
    double scale = 1;
};

// One connection to sway's IPC socket (the i3 IPC framing: "i3-ipc", length, type, JSON).
class SwayIpc {
public:
    // The socket named by $SWAYSOCK (or `path`). Throws SwayIpcError.
    explicit SwayIpc(std::string path = {});
    // `path`, or else $SWAYSOCK, which names the compositor's run (sway-ipc.UID.PID.sock); empty
    // when there is neither.
    static std::string socketPath(std::string path = {});
    ~SwayIpc();
    SwayIpc(const SwayIpc&) = delete;
    SwayIpc& operator=(const SwayIpc&) = delete;

    // Runs a command; the error sway gives for the first one that failed, or empty.
    std::string command(const std::string& text);
    std::vector<SwayOutput> outputs();
    // The compositor's version as major, minor.
    std::pair<int, int> version();

private:
    nlohmann::json request(std::uint32_t type, const std::string& payload);

    int fd_ = -1;
};

}  // namespace kestrio::platform::wlroots
