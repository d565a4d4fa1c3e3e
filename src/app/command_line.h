#pragma once

#include "capture/stream_settings.h"
#include "link/viewer_control_event.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrio::app {

struct CommandLine {
    bool headless = false;
    bool help = false;
    bool version = false;
    bool smokeVirtualDisplay = false;
    bool checkForUpdates = false;
    bool portMapping = true;  // ask the home router to forward the port for remote access
    std::uint16_t port = 59590;
    // The browser viewer's page; 0: not served.
    std::uint16_t webPort = 59591;
    // The stream settings this run starts with; they are not stored.
    link::SourceMode mode = link::SourceMode::virtualDisplay;
    capture::StreamQuality quality = capture::StreamQuality::balanced;
    capture::StreamFrameRate frameRate = capture::StreamFrameRate::sixty;
};

struct CommandLineResult {
    std::optional<CommandLine> options;  // absent when the arguments are not understood
    std::string error;                   // why, for the user
};

// Reads the arguments after the program name.
CommandLineResult parseCommandLine(const std::vector<std::string>& arguments);

std::string usageText();

}  // namespace kestrio::app
