#include "platform/linux/desktop_url_opener.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrio::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readFile;
using test::ScopedEnvironment;
using test::TemporaryDirectory;

// A stand-in for xdg-open: writes down its arguments, then exits. The record appears in one
// step, once everything is written.
class StandInOpener {
public:
    explicit StandInOpener(const fs::path& directory) : program_(directory / "xdg-open"), record_(directory / "record")
    {
        const std::string record = record_.string();
        std::ofstream script(program_);
        script << "#!/bin/sh\n"
                  "PATH=/usr/bin:/bin\n"
                  "printf '%s\\0' \"$#\" \"$@\" > '" << record << ".new'\n"
                  "mv '" << record << ".new' '" << record << "'\n";
        script.close();
        fs::permissions(program_, fs::perms::owner_all);
    }

    const fs::path& program() const { return program_; }

    // The arguments after the program name, once the opener has run; nothing if it did not
    // within a generous bound.
    std::optional<std::vector<std::string>> takeArguments() const
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        std::error_code error;
        while (!fs::exists(record_, error)) {
            if (std::chrono::steady_clock::now() > deadline)
                return std::nullopt;
            std::this_thread::sleep_for(2ms);
        }
        const std::string text = readFile(record_);
        fs::remove(record_, error);
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
            fields.push_back(text.substr(start, end - start));
        if (fields.empty() || std::to_string(fields.size() - 1) != fields.front())
            return std::vector<std::string>{"malformed record: " + text};
        fields.erase(fields.begin());
        return fields;
    }

private:
    fs::path program_;
    fs::path record_;
};

TEST(DesktopUrlOpenerTest, TheUrlArrivesAsOneUntouchedArgumentToXdgOpen)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    StandInOpener standIn(directory.path());
    const std::string canary = (directory.path() / "shell-ran").string();
    const std::vector<std::string> urls{
        "https://example.com/search?q=kestrio&lang=ko#top",
        "https://example.com/a b/'single' \"double\" $(touch " + canary + ") `touch " + canary + "` ; touch " + canary +
            " | & < > * ? ~ \\ %20",
        "https://example.com/검색?q=키스트리오 · 안내‑서",
        "https://example.com/line\nbreak\ttab",
    };
    DesktopUrlOpener opener(standIn.program().string());
    for (const auto& url : urls) {
        opener.open(url);
        EXPECT_EQ(standIn.takeArguments(), std::vector<std::string>{url});
    }
    EXPECT_FALSE(fs::exists(canary));

    // By default, the one on PATH; none there is no failure.
    ScopedEnvironment path("PATH", directory.path().string());
    DesktopUrlOpener().open(urls.front());
    EXPECT_EQ(standIn.takeArguments(), std::vector<std::string>{urls.front()});
    DesktopUrlOpener("").open(urls.front());
}

}  // namespace
}  // namespace kestrio::platform
