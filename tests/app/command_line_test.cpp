#include "app/command_line.h"

#include <gtest/gtest.h>

namespace kestrio::app {
namespace {

TEST(CommandLine, AcceptsTheDocumentedOptions)
{
    auto parsed = parseCommandLine({});
    ASSERT_TRUE(parsed.options);
    EXPECT_FALSE(parsed.options->headless);
    EXPECT_EQ(parsed.options->port, 59590);

    parsed = parseCommandLine({"--headless", "--port", "60001"});
    ASSERT_TRUE(parsed.options);
    EXPECT_TRUE(parsed.options->headless);
    EXPECT_EQ(parsed.options->port, 60001);

    EXPECT_EQ(parsed.options->mode, link::SourceMode::virtualDisplay);
    parsed = parseCommandLine({"--mode", "mirror"});
    ASSERT_TRUE(parsed.options);
    EXPECT_EQ(parsed.options->mode, link::SourceMode::mirror);

    parsed = parseCommandLine({"--quality", "sharp", "--fps=30"});
    ASSERT_TRUE(parsed.options);
    EXPECT_EQ(parsed.options->quality, capture::StreamQuality::sharp);
    EXPECT_EQ(parsed.options->frameRate, capture::StreamFrameRate::thirty);

    EXPECT_TRUE(parsed.options->portMapping);
    parsed = parseCommandLine({"--no-port-mapping"});
    ASSERT_TRUE(parsed.options);
    EXPECT_FALSE(parsed.options->portMapping);

    parsed = parseCommandLine({"--headless", "--smoke-virtual-display"});
    ASSERT_TRUE(parsed.options);
    EXPECT_TRUE(parsed.options->smokeVirtualDisplay);

    parsed = parseCommandLine({"--port=1", "-h"});
    ASSERT_TRUE(parsed.options);
    EXPECT_EQ(parsed.options->port, 1);
    EXPECT_TRUE(parsed.options->help);
}

TEST(CommandLine, RefusesWhatItDoesNotUnderstand)
{
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"--port"}, {"--port", "0"}, {"--port", "65536"}, {"--port", "12ab"}, {"--port="}, {"--port", "-5"},
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
