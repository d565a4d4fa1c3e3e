#include "platform/linux/desktop_url_opener.h"
#include "platform/platform_test.h"

#include <gtest/gtest.h>

namespace kestrio::platform {
namespace {

TEST(DesktopUrlOpenerTest, TheUrlArrivesAsOneUntouchedArgumentToXdgOpen)
{
    test::TemporaryDirectory directory;
    const auto program = directory.path() / "xdg-open";
    const std::string record = (directory.path() / "record").string(), canary = (directory.path() / "ran").string();
    testing::writeScript(program, "printf '%s\\0' \"$@\" > '" + record + ".new'\n/bin/mv '" + record + ".new' '" + record + "'\n");
    const std::string url = "https://example.com/검색?q=키스트리오 · 'single' \"double\" $(touch " + canary + ") `touch " +
                            canary + "` ; touch " + canary + " | & < > * ? ~ \\ %20\nbreak\ttab";
    DesktopUrlOpener(program.string()).open(url);
    EXPECT_EQ(testing::takeRecord(record), url + '\0');
    EXPECT_FALSE(std::filesystem::exists(canary));
    // By default, the one on PATH; none there is no failure.
    test::ScopedEnvironment path("PATH", directory.path().string());
    DesktopUrlOpener().open(url);
    EXPECT_EQ(testing::takeRecord(record), url + '\0');
    DesktopUrlOpener("").open(url);
}

}  // namespace
}  // namespace kestrio::platform
