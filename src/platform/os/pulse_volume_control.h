#pragma once

#include "model/volume_control.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kestrio::platform::os {

// The default sink's volume, through the command-line client pactl, which speaks to PulseAudio
// and to PipeWire's pulse server alike.
//
// pactl runs without a shell, with its standard input and error on /dev/null, in the C locale
// (its output is parsed), signals at their defaults and in a process group of its own. A run
// that has not finished within the timeout is killed with that whole group: a hung sound server
// costs one timeout, never the caller's thread. Every call may be made from any thread, also
// concurrently; nothing throws.
class PulseVolumeControl final : public model::VolumeControl {
public:
    static constexpr std::chrono::milliseconds defaultTimeout{2000};

    // Runs pactl, looked up on PATH, with this process's environment.
    PulseVolumeControl();
    // Runs `program`: a path, or a name looked up on PATH. `environment` holds NAME=VALUE
    // entries pactl sees on top of this process's environment, replacing variables of the same
    // name (PULSE_SERVER, XDG_RUNTIME_DIR and HOME choose the server and where the client keeps
    // its cookie). `timeout` bounds each run of the program.
    explicit PulseVolumeControl(std::string program, std::vector<std::string> environment = {},
                                std::chrono::milliseconds timeout = defaultTimeout);

    // The average of the channels' percentages, rounded. Nothing when pactl cannot be run, fails,
    // exceeds the timeout or prints something else than a volume.
    std::optional<int> outputVolume() override;
    // Sets every channel to `percent` (below 0 counts as 0), then the mute state. The mute state
    // is not attempted once the first run exceeded the timeout: the server is not answering.
    void setOutputVolume(int percent, bool muted) override;

private:
    std::string program_;
    std::vector<std::string> environment_;
    std::chrono::milliseconds timeout_;
};

}  // namespace kestrio::platform::os
