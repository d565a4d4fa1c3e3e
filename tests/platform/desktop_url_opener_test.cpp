#include "platform/linux/desktop_url_opener.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace kestrio::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The arguments a stand-in for xdg-open was started with, each followed by a NUL; empty when it
// did not run within a generous bound. The record appears in one step, once everything is written.
std::string takeRecord(const fs::path& record)
{
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!fs::exists(record) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    std::string text = test::readFile(record);
    fs::remove(record);
    return text;
}

TEST(DesktopUrlOpenerTest, TheUrlArrivesAsOneUntouchedArgumentToXdgOpen)
{
    test::TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path program = directory.path() / "xdg-open";
    const std::string record = (directory.path() / "record").string();
    std::ofstream(program) << "#!/bin/sh\nPATH=/usr/bin:/bin\nprintf '%s\\0' \"$@\" > '" << record << ".new'\n"
                           << "mv '" << record << ".new' '" << record << "'\n";
    fs::permissions(program, fs::perms::owner_all);
    const std::string canary = (directory.path() / "shell-ran").string();
    const std::string urls[] = {
        "https://example.com/a b/'single' \"double\" $(touch " + canary + ") `touch " + canary + "` ; touch " + canary +
            " | & < > * ? ~ \\ %20\nbreak\ttab",
        "https://example.com/검색?q=키스트리오 · 안내‑서",
    };
    DesktopUrlOpener opener(program.string());
    for (const auto& url : urls) {
        opener.open(url);
        EXPECT_EQ(takeRecord(record), url + '\0');
    }
    EXPECT_FALSE(fs::exists(canary));

    // By default, the one on PATH; none there is no failure.
    test::ScopedEnvironment path("PATH", directory.path().string());
    DesktopUrlOpener().open(urls[1]);
    EXPECT_EQ(takeRecord(record), urls[1] + '\0');
    DesktopUrlOpener("").open(urls[1]);
}

}  // namespace
}  // namespace kestrio::platform
