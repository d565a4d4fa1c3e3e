#include "platform/phones/xcrun_device_lister.h"

#include "phones/device_list_parser.h"
#include "platform/phones/system_device_lister.h"
#include "platform/phones/usbmux_device_lister.h"

#include "locale_support.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <fstream>
#include <future>
#include <regex>
#include <sys/stat.h>
#include <sstream>

namespace kestrio::phones {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TemporaryDirectory;
using namespace std::chrono_literals;

// How long a listing may take before the test calls it hung; far beyond any bound under test.
constexpr auto watchdog = 20s;

const fs::path fixtures = fs::path(KESTRIO_PHONE_FIXTURES);

std::string quoted(const fs::path& path)
{
    std::string text = "'";
    for (char c : path.string()) {
        if (c == '\'')
            text += "'\\''";
        else
            text += c;
    }
    return text + "'";
}

// A stand-in for xcrun: a shell script that first writes down its arguments, one a line, and
// what its standard input is, then runs `body`.
fs::path writeTool(const fs::path& directory, const std::string& body, bool executable = true)
{
    const fs::path tool = directory / "xcrun";
    std::ofstream script(tool);
    script << "#!/bin/sh\n"
           << "printf '%s\\n' \"$@\" > " << quoted(directory / "arguments") << "\n"
           << "readlink /proc/$$/fd/0 > " << quoted(directory / "stdin") << "\n"
           << body << "\n";
    script.close();
    chmod(tool.c_str(), executable ? 0755 : 0644);
    return tool;
}

class XcrunDeviceListerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tools_.path().empty());
        ASSERT_FALSE(reports_.path().empty());
    }

    // Lists in a thread of its own, so that a listing that hangs fails the test instead of
    // stalling it.
    DeviceListResult list(XcrunDeviceLister& lister)
    {
        auto listing = std::async(std::launch::async, [&] { return lister.listPairedDevices(); });
        if (listing.wait_for(watchdog) != std::future_status::ready)
            ADD_FAILURE() << "the listing did not end";
        return listing.get();
    }

    std::vector<std::string> arguments() const
    {
        std::vector<std::string> lines;
        std::istringstream text(readFile(tools_.path() / "arguments"));
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }

    // The report path the tool was given, checked for its place and form.
    fs::path reportPath() const
    {
        const auto given = arguments();
        const std::vector<std::string> fixed{"devicectl", "list", "devices", "--timeout", "10", "--json-output"};
        EXPECT_EQ(given.size(), fixed.size() + 1);
        if (given.size() != fixed.size() + 1)
            return {};
        EXPECT_EQ(std::vector<std::string>(given.begin(), given.end() - 1), fixed);
        const fs::path path = given.back();
        EXPECT_EQ(path.parent_path(), reports_.path());
        static const std::regex name(
            "kestrio-devices-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.json");
        EXPECT_TRUE(std::regex_match(path.filename().string(), name)) << path;
        EXPECT_EQ(readFile(tools_.path() / "stdin"), "/dev/null\n");
        return path;
    }

    void expectNoReportLeft() const { EXPECT_TRUE(fs::is_empty(reports_.path())) << "the report was not deleted"; }

    TemporaryDirectory tools_;
    TemporaryDirectory reports_;
    ScopedDefaultLocale locale_{"en_US"};
};

TEST_F(XcrunDeviceListerTest, ReadsTheReportTheToolWroteAndDeletesIt)
{
    const std::string fixture = readFile(fixtures / "devicectl_devices.json");
    ASSERT_FALSE(fixture.empty());
    const fs::path tool = writeTool(tools_.path(), "echo 'Devices found:'\necho 'a warning' >&2\n"
                                                   "eval report=\\${$#}\ncp " +
                                                       quoted(fixtures / "devicectl_devices.json") + " \"$report\"\nexit 0");
    XcrunDeviceLister lister(tool.string(), reports_.path().string());
    const DeviceListResult result = list(lister);
    EXPECT_EQ(result.error, std::nullopt);
    EXPECT_EQ(result.phones, parseDeviceList(fixture));
    EXPECT_EQ(result.phones.size(), 2u);
    const fs::path first = reportPath();
    expectNoReportLeft();

    // A fresh name each time, in $TMPDIR when no directory is given.
    test::ScopedEnvironment temporary("TMPDIR", reports_.path().string());
    XcrunDeviceLister inTemporaryDirectory(tool.string());
    EXPECT_EQ(list(inTemporaryDirectory).phones, result.phones);
    EXPECT_NE(reportPath(), first);
    expectNoReportLeft();
}

TEST_F(XcrunDeviceListerTest, AToolThatFailsOrCannotRunOrWritesNoReportGivesItsError)
{
    struct Case {
        const char* name;
        std::optional<std::string> script;  // none: no tool at all
        bool executable;
        const char* error;
        bool ran;
    };
    const Case cases[] = {
        // It got as far as starting a report: that goes too.
        {"failing", "eval report=\\${$#}\necho '{' > \"$report\"\necho 'ERROR: The device is locked.'\n"
                    "echo 'Unlock it and try again.' >&2\nexit 1",
         true, "ERROR: The device is locked.\nUnlock it and try again.\n", true},
        // Output that is not UTF-8 cannot be shown.
        {"garbled", "printf 'bad \\377\\376 bytes'\nexit 3", true, "devicectl failed", true},
        // Killed by a signal: a failure too, whatever the status bits happen to read as.
        {"killed", "kill -TERM $$", true, "devicectl failed", true},
        {"no report", "exit 0", true, "No such file or directory", true},
        {"not executable", "exit 0", false, "Permission denied", false},
        {"missing", std::nullopt, true, "No such file or directory", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(tools_.path() / "arguments");
        const fs::path tool = c.script ? writeTool(tools_.path(), *c.script, c.executable) : tools_.path() / "nowhere";
        XcrunDeviceLister lister(tool.string(), reports_.path().string());
        const DeviceListResult result = list(lister);
        EXPECT_TRUE(result.phones.empty());
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(fs::exists(tools_.path() / "arguments"), c.ran);
        if (c.ran)
            reportPath();
        expectNoReportLeft();
    }
}

TEST(SystemDeviceListerTest, UsesTheDeveloperToolsOnlyWhereTheyCanRun)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path tool = writeTool(directory.path(), "exit 0");
    EXPECT_NE(dynamic_cast<XcrunDeviceLister*>(makeSystemDeviceLister(tool.string()).get()), nullptr);
    chmod(tool.c_str(), 0644);
    for (const fs::path& unusable : {tool, directory.path(), directory.path() / "none"})
        EXPECT_NE(dynamic_cast<UsbmuxDeviceLister*>(makeSystemDeviceLister(unusable.string()).get()), nullptr) << unusable;
}

}  // namespace
}  // namespace kestrio::phones
