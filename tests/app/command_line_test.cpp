#include "app/command_line.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace kestrio::app {
namespace {

auto fields(const CommandLine& o)
{
    return std::tuple(o.headless, o.help, o.version, o.smokeVirtualDisplay, o.checkForUpdates, o.portMapping, o.port, o.webPort, o.mode,
                      o.quality, o.frameRate);
}

TEST(CommandLine, AcceptsTheDocumentedOptions)
{
    const std::pair<std::vector<std::string>, std::function<void(CommandLine&)>> cases[] = {
        {{}, [](CommandLine&) {}},  // headed, port 59590, page on 59591, extended mode, balanced at 60, port mapping on
        {{"--headless", "--port", "60001"}, [](CommandLine& o) { o.headless = true, o.port = 60001; }},
        {{"--mode", "mirror"}, [](CommandLine& o) { o.mode = link::SourceMode::mirror; }},
        {{"--quality", "sharp", "--fps=30"},
         [](CommandLine& o) { o.quality = capture::StreamQuality::sharp, o.frameRate = capture::StreamFrameRate::thirty; }},
        {{"--no-port-mapping"}, [](CommandLine& o) { o.portMapping = false; }},
        {{"--headless", "--smoke-virtual-display"}, [](CommandLine& o) { o.headless = o.smokeVirtualDisplay = true; }},
        {{"--port=1", "-h"}, [](CommandLine& o) { o.port = 1, o.help = true; }},
        {{"--web-port", "60002"}, [](CommandLine& o) { o.webPort = 60002; }},
        {{"--web-port=0"}, [](CommandLine& o) { o.webPort = 0; }},
    };
    for (const auto& [arguments, change] : cases) {
        CommandLine expected;
        change(expected);
        const auto parsed = parseCommandLine(arguments);
        ASSERT_TRUE(parsed.options) << parsed.error;
        EXPECT_EQ(fields(*parsed.options), fields(expected)) << testing::PrintToString(arguments);
    }
}

TEST(CommandLine, RefusesWhatItDoesNotUnderstand)
{
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"--port"}, {"--port", "0"}, {"--port", "65536"}, {"--port", "12ab"}, {"--port="}, {"--port", "-5"}, {"--web-port", "65536"}, {"--web-port"},
             {"--headless=yes"}, {"--bogus"}, {"headless"}, {"--quality", "Sharp"}, {"--fps", "45"}, {"--quality"},
             {"--mode", "Mirror"}, {"--mode", "extended"}, {"--mode"},
             {"--smoke-virtual-display=1"}, {"--Smoke-virtual-display"}, {"--no-port-mapping=1"}}) {
        const auto parsed = parseCommandLine(arguments);
        EXPECT_FALSE(parsed.options) << arguments.front();
        EXPECT_FALSE(parsed.error.empty());
    }
}

}  // namespace
}  // namespace kestrio::app
