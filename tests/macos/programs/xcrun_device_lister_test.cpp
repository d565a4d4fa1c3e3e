// The device list of a Mac's developer tools, with a stand-in for xcrun.
#include "platform/macos/xcrun_device_lister.h"
#include "platform/usbmux/usbmux_device_lister.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <future>
#include <optional>
#include <regex>

namespace kestrio::platform::macos {
namespace {

namespace fs = std::filesystem;
using phones::DeviceListResult;
using test::readFile;
using test::TemporaryDirectory;
using namespace std::chrono_literals;

// Lists in a thread of its own, so that a listing that hangs fails the test instead of stalling
// it; below libimobiledevice's own 30 seconds for a lockdown answer.
DeviceListResult list(phones::DeviceLister& lister)
{
    auto listing = std::async(std::launch::async, [&] { return lister.listPairedDevices(); });
    if (listing.wait_for(20s) != std::future_status::ready)
        ADD_FAILURE() << "the listing did not end";
    return listing.get();
}

// A stand-in for xcrun: writes down its arguments, one a line, and whether its standard input
// is /dev/null, sets $report to its last argument, then runs `body`.
fs::path writeTool(const fs::path& directory, const std::string& body, bool executable = true)
{
    const fs::path tool = directory / "xcrun";
    std::ofstream(tool) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << (directory / "arguments").string() << "'\n"
                        << "{ [ /dev/fd/0 -ef /dev/null ] && echo null || echo other; } > '" << (directory / "stdin").string()
                        << "'\neval report=\\${$#}\n" << body << "\n";
    chmod(tool.c_str(), executable ? 0755 : 0644);
    return tool;
}

class XcrunDeviceListerTest : public ::testing::Test {
protected:
    // The report path the tool was given, checked for its place and form.
    fs::path reportPath() const
    {
        const auto given = std::regex_replace(readFile(tools_.path() / "arguments"), std::regex("\n"), " ");
        static const std::regex form("devicectl list devices --timeout 10 --json-output (.*/)kestrio-devices-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-"
                                     "[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.json ");
        std::smatch match;
        EXPECT_TRUE(std::regex_match(given, match, form)) << given;
        EXPECT_EQ(fs::path(match.str(1)), reports_.path() / "");
        EXPECT_EQ(readFile(tools_.path() / "stdin"), "null\n");
        EXPECT_TRUE(fs::is_empty(reports_.path())) << "the report was not deleted";
        return given;
    }

    TemporaryDirectory tools_, reports_;
};

TEST_F(XcrunDeviceListerTest, ReadsAndDeletesTheReportTheToolWroteOrGivesItsError)
{
    const fs::path fixture = fs::path(KESTRIO_DEVICE_LIST_FIXTURES) / "devicectl_devices.json";
    struct Case {
        std::optional<std::string> script;  // none: no tool at all
        bool executable;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {"echo 'Devices found:'\necho 'a warning' >&2\ncp '" + fixture.string() + "' \"$report\"", true, std::nullopt},
        // It got as far as starting a report: that goes too.
        {"echo '{' > \"$report\"\necho 'ERROR: The device is locked.'\necho 'Unlock it and try again.' >&2\nexit 1", true,
         "ERROR: The device is locked.\nUnlock it and try again.\n"},
        {"printf 'bad \\377\\376 bytes'\nexit 3", true, "devicectl failed"},
        {"kill -TERM $$", true, "devicectl failed"},
        {"exit 0", true, "No such file or directory"},
        {"exit 0", false, "Permission denied"},
        {std::nullopt, true, "No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script.value_or("none"));
        fs::remove(tools_.path() / "arguments");
        XcrunDeviceLister lister((c.script ? writeTool(tools_.path(), *c.script, c.executable) : tools_.path() / "nowhere").string(),
                                 reports_.path().string());
        const DeviceListResult result = list(lister);
        EXPECT_EQ(result.phones.size(), c.error ? 0u : 2u);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(fs::exists(tools_.path() / "arguments"), c.script && c.executable);
        if (c.script && c.executable)
            reportPath();
        EXPECT_TRUE(fs::is_empty(reports_.path()));
    }

    // A fresh name each time, in $TMPDIR when no folder is given.
    test::ScopedEnvironment temporary("TMPDIR", reports_.path().string());
    XcrunDeviceLister inTemporaryDirectory(writeTool(tools_.path(), "").string());
    list(inTemporaryDirectory);
    const auto first = reportPath();
    list(inTemporaryDirectory);
    EXPECT_NE(reportPath(), first);
}

TEST(MacDeviceListerTest, UsesTheDeveloperToolsOnlyWhereTheyCanRun)
{
    TemporaryDirectory directory;
    const fs::path tool = writeTool(directory.path(), "exit 0");
    EXPECT_NE(dynamic_cast<XcrunDeviceLister*>(makeMacDeviceLister(tool.string()).get()), nullptr);
    chmod(tool.c_str(), 0644);
    for (const fs::path& unusable : {tool, directory.path(), directory.path() / "none"})
        EXPECT_NE(dynamic_cast<platform::usbmux::UsbmuxDeviceLister*>(makeMacDeviceLister(unusable.string()).get()), nullptr) << unusable;
}

}  // namespace
}  // namespace kestrio::platform::macos
