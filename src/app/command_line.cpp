#include "app/command_line.h"

#include <charconv>

namespace kestrio::app {

CommandLineResult parseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        bool hasInlineValue = false;
        std::string name = argument;
        if (const auto equals = argument.find('='); argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            hasInlineValue = true;
        }

        if (name == "--headless" && !hasInlineValue) {
            options.headless = true;
        } else if ((name == "--help" || name == "-h") && !hasInlineValue) {
            options.help = true;
        } else if (name == "--version" && !hasInlineValue) {
            options.version = true;
        } else if (name == "--check-for-updates" && !hasInlineValue) {
            options.checkForUpdates = true;
        } else if (name == "--no-port-mapping" && !hasInlineValue) {
            options.portMapping = false;
        } else if (argument == "--smoke-virtual-display") {
            options.smokeVirtualDisplay = true;
        } else if (name == "--port" || name == "--web-port" || name == "--quality" || name == "--fps" || name == "--mode") {
            if (!hasInlineValue) {
                if (i + 1 >= arguments.size())
                    return {std::nullopt, name + " needs a value"};
                value = arguments[++i];
            }
            if (name == "--mode") {
                const auto mode = link::sourceModeFromRawValue(value);
                if (!mode)
                    return {std::nullopt, "--mode takes virtualDisplay or mirror, not \"" + value + "\""};
                options.mode = *mode;
                continue;
            }
            if (name == "--quality") {
                const auto quality = capture::streamQualityFromRawValue(value);
                if (!quality)
                    return {std::nullopt, "--quality takes dataSaver, balanced or sharp, not \"" + value + "\""};
                options.quality = *quality;
                continue;
            }
            if (name == "--fps") {
                const auto rate = capture::streamFrameRateFromRawValue(value);
                if (!rate)
                    return {std::nullopt, "--fps takes 30 or 60, not \"" + value + "\""};
                options.frameRate = *rate;
                continue;
            }
            unsigned port = 0;
            const bool web = name == "--web-port";
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
            if (error != std::errc() || end != value.data() + value.size() || port < (web ? 0u : 1u) || port > 65535)
                return {std::nullopt, name + (web ? " takes a number from 0 to 65535" : " takes a number from 1 to 65535") + ", not \"" + value + "\""};
            (web ? options.webPort : options.port) = static_cast<std::uint16_t>(port);
        } else {
            return {std::nullopt, "unknown option \"" + argument + "\""};
        }
    }
    return {options, {}};
}

std::string usageText()
{
    return "Usage: kestrio [options]\n"
           "\n"
           "Shares this computer's screen with the Kestrio viewer on a phone, in a window that\n"
           "shows the connection and the settings. With no X display (DISPLAY unset) it runs\n"
           "without the window and shares a virtual screen of its own.\n"
           "\n"
           "Options:\n"
           "  --headless     run without a window until interrupted (SIGINT or SIGTERM), printing\n"
           "                 the status lines the window would show\n"
           "  --port N       listen for the viewer on TCP port N (default 59590)\n"
           "  --web-port N   serve the browser viewer's page on TCP port N (default 59591; 0: not\n"
           "                 served)\n"
           "  --mode M       virtualDisplay (default: a monitor of its own) or mirror\n"
           "  --quality Q    dataSaver, balanced (default) or sharp\n"
           "  --fps N        30 or 60 (default) frames per second\n"
           "  --no-port-mapping\n"
           "                 do not ask the home router to forward the port (no remote access)\n"
           "  --smoke-virtual-display\n"
           "                 create a 1280x720 virtual monitor, report it after 1 s and exit\n"
           "                 (0: the monitor is active, 4: it is not)\n"
           "  --check-for-updates\n"
           "                 ask the update feed whether a newer version exists, print the answer\n"
           "                 and exit (0: answered, 1: the check failed, 3: no feed configured)\n"
           "  --version      print the version and build number\n"
           "  -h, --help     show this text\n";
}

}  // namespace kestrio::app
