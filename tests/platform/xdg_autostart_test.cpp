#include "platform/linux/child_process_run.h"
#include "platform/linux/desktop_entry.h"
#include "platform/linux/xdg_autostart.h"
#include "support/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <pwd.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrio::platform {
namespace {

using test::readFile;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Status = model::LoginItemService::Status;

constexpr const char* mainGroup = "Desktop Entry";

class AutostartTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(root_.path().empty()); }

    XdgAutostart autostart(const fs::path& executable = "/usr/bin/kestrio") const { return XdgAutostart(folder_, executable); }

    void writeEntry(const std::string& text) const
    {
        fs::create_directories(folder_);
        std::ofstream(entry_, std::ios::binary) << text;
    }

    std::set<std::string> folderNames() const { return test::fileNames(folder_); }

    bool asTheUser(const std::function<bool()>& check) const
    {
        return test::holdsForAnUnprivilegedUser({root_.path(), folder_.parent_path(), folder_, entry_}, check);
    }

    test::TemporaryDirectory root_;
    fs::path folder_ = root_.path() / "config" / "autostart";
    fs::path entry_ = folder_ / "kestrio.desktop";
};

TEST_F(AutostartTest, RegisterWritesAnEntryThatStatusSeesAndUnregisterRemovesIt)
{
    auto item = autostart("/opt/My Apps/kestrio");
    EXPECT_EQ(item.status(), Status::notRegistered);
    EXPECT_EQ(item.unregisterItem(), std::nullopt) << "nothing registered is nothing to remove";
    ASSERT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(item.status(), Status::enabled);
    EXPECT_THAT(readFile(entry_), HasSubstr("\nExec=\"/opt/My Apps/kestrio\"\n"));
    const auto entry = DesktopEntry::parse(readFile(entry_));
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->firstGroup(), "Desktop Entry");
    for (const auto& [key, value] : {std::pair<const char*, const char*>{"Type", "Application"}, {"Icon", "kestrio"},
                                     {"Comment[ko]", "휴대폰을 두 번째 화면으로 사용"}, {"X-GNOME-Autostart-enabled", "true"}})
        EXPECT_EQ(entry->stringValue(mainGroup, key), value) << key;

    // The folders it made are the user's alone; the entry is readable like any desktop file.
    struct stat file {}, folder {}, config {};
    ASSERT_EQ(stat(entry_.c_str(), &file) | stat(folder_.c_str(), &folder) | stat(folder_.parent_path().c_str(), &config), 0);
    EXPECT_EQ(file.st_mode & 0777, 0644u);
    EXPECT_EQ((folder.st_mode | config.st_mode) & 0777, 0700u);

    // A desktop entry holds UTF-8 only; a path that is not cannot be registered. A temporary left
    // by a crash goes with the next write.
    std::ofstream(folder_ / "kestrio.desktop.tmp-a1B2c3") << "[Desktop Entry]\nType=Appl";
    EXPECT_THAT(autostart("/opt/caf\xE9/kestrio").registerItem(), ::testing::Optional(HasSubstr("UTF-8")));
    EXPECT_THAT(readFile(entry_), HasSubstr("\nExec=\"/opt/My Apps/kestrio\"\n"));
    ASSERT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(folderNames(), std::set<std::string>{"kestrio.desktop"});

    EXPECT_EQ(item.unregisterItem(), std::nullopt);
    EXPECT_FALSE(fs::exists(entry_));
    EXPECT_EQ(item.status(), Status::notRegistered);
}

TEST_F(AutostartTest, StatusReportsWhatTheSessionWouldStart)
{
    const std::string entry = "[Desktop Entry]\nType=Application\nName=Kestrio\nExec=/usr/bin/kestrio\n";
    const std::pair<std::string, Status> cases[] = {
        {entry, Status::enabled},
        {entry + "Hidden=true\n", Status::notRegistered},
        {entry + "Hidden=1\n", Status::notRegistered},
        {entry + "Hidden=true\nHidden=false\n", Status::enabled},
        {entry + "X-GNOME-Autostart-enabled=0\n", Status::notRegistered},
        {entry + "X-GNOME-Autostart-enabled=true\n", Status::enabled},
        // GLib reads anything but true or 1 as false, and the session then leaves the entry off.
        {entry + "X-GNOME-Autostart-enabled=yes\n", Status::notRegistered},
        {entry + "[X-Other]\nHidden=true\n", Status::enabled},
        {entry + "not a key file line\n", Status::notRegistered},
        {"[X-Other]\nA=1\n" + entry, Status::notRegistered},
        {"[Desktop Entry]\nType=Link\nName=Kestrio\nURL=https://example.com\n", Status::notRegistered},
        {"[Desktop Entry]\nType=Application\nName=Kestrio\n", Status::notRegistered},
        {entry + "Comment=caf\xE9\n", Status::notRegistered},
        {"", Status::notRegistered},
    };
    for (const auto& [text, expected] : cases) {
        writeEntry(text);
        EXPECT_EQ(autostart().status(), expected) << text;
    }
    // What cannot be read at all is not registered either.
    fs::remove(entry_);
    ASSERT_EQ(mkfifo(entry_.c_str(), 0600), 0);
    EXPECT_EQ(autostart().status(), Status::notRegistered);
}

TEST_F(AutostartTest, RegisteringAgainTurnsTheEntryBackOnAndKeepsTheUsersLines)
{
    writeEntry("# Started late, so that the panel is up first\n[Desktop Entry]\nType=Application\nName = Old name\n"
               "Name[de]=Kestrio (alt)\nExec=/old/place/kestrio --old-flag\nHidden=true\nX-GNOME-Autostart-Delay=5\n"
               "X-GNOME-Autostart-enabled=false\nComment=Mine\n\n[X-Custom Group]\nKey=value\n");
    ASSERT_EQ(chmod(entry_.c_str(), 0600), 0);
    ASSERT_EQ(autostart().registerItem(), std::nullopt);
    EXPECT_EQ(autostart().status(), Status::enabled);
    EXPECT_EQ(readFile(entry_), "# Started late, so that the panel is up first\n[Desktop Entry]\nType=Application\n"
                                "Name=Kestrio\nName[de]=Kestrio (alt)\nExec=/usr/bin/kestrio\nX-GNOME-Autostart-Delay=5\n"
                                "X-GNOME-Autostart-enabled=true\nComment=Mine\nName[ko]=Kestrio\n"
                                "Comment[ko]=휴대폰을 두 번째 화면으로 사용\nIcon=kestrio\nTerminal=false\n"
                                "Categories=Utility;\n\n[X-Custom Group]\nKey=value\n");
    struct stat file {};
    ASSERT_EQ(stat(entry_.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);

    // What does not read as a key file at all holds nothing to keep.
    writeEntry("this is not a desktop entry\n\xff\n");
    ASSERT_EQ(autostart().registerItem(), std::nullopt);
    EXPECT_EQ(autostart().status(), Status::enabled);
}

TEST_F(AutostartTest, WhatStandsInTheWayIsReportedAndLeftAlone)
{
    // A file where the folder should be.
    fs::create_directories(folder_.parent_path());
    std::ofstream(folder_) << "not a folder";
    auto error = autostart().registerItem();
    ASSERT_TRUE(error.has_value());
    EXPECT_THAT(*error, HasSubstr(folder_.string()));
    EXPECT_THAT(*error, HasSubstr(std::strerror(ENOTDIR)));
    EXPECT_EQ(readFile(folder_), "not a folder");
    EXPECT_EQ(autostart().unregisterItem(), std::nullopt);

    // A folder where the entry should be.
    fs::remove(folder_);
    fs::create_directories(entry_ / "inside");
    error = autostart().registerItem();
    ASSERT_TRUE(error.has_value());
    EXPECT_THAT(*error, HasSubstr(entry_.string()));
    EXPECT_TRUE(autostart().unregisterItem().has_value());
    EXPECT_TRUE(fs::is_directory(entry_ / "inside"));
    EXPECT_TRUE(XdgAutostart(fs::path(), "/usr/bin/kestrio").registerItem().has_value());
    EXPECT_TRUE(XdgAutostart(folder_, fs::path()).registerItem().has_value());
}

TEST_F(AutostartTest, WithoutPermissionNothingIsReplacedAndTheReasonIsGiven)
{
    // An entry that cannot be read may hold what the user keeps in it.
    writeEntry("[Desktop Entry]\nType=Application\nExec=/old/kestrio\nX-GNOME-Autostart-Delay=5\n");
    const std::string before = readFile(entry_);
    const auto refused = [this](const std::optional<std::string>& error) {
        return error && error->find(entry_.string()) != std::string::npos &&
               error->find(std::strerror(EACCES)) != std::string::npos;
    };
    ASSERT_EQ(chmod(entry_.c_str(), 0), 0);
    EXPECT_TRUE(asTheUser([&] { return refused(autostart().registerItem()) && autostart().status() == Status::notRegistered; }));
    ASSERT_EQ(chmod(entry_.c_str(), 0644) | chmod(folder_.c_str(), 0500), 0);
    EXPECT_TRUE(asTheUser([&] { return refused(autostart().registerItem()) && refused(autostart().unregisterItem()); }));
    ASSERT_EQ(chmod(folder_.c_str(), 0700), 0);
    EXPECT_EQ(readFile(entry_), before);
    EXPECT_EQ(folderNames(), std::set<std::string>{"kestrio.desktop"});
}

// The desktop's own tools take the entry, and the desktop starts the program from a path that
// needs every kind of quoting the Exec line has. No '%': GLib looks the program up before it
// turns "%%" back into '%', so it would not start one whose path holds it.
TEST_F(AutostartTest, TheDesktopValidatesTheEntryAndStartsTheRegisteredProgram)
{
    if (runChildProcess("gio", {"version"}, {}, 20s).exitStatus != 0 ||
        runChildProcess("desktop-file-validate", {}, {}, 20s).outcome == ChildProcessResult::Outcome::notStarted)
        GTEST_SKIP() << "needs gio (libglib2.0-bin) and desktop-file-validate (desktop-file-utils)";
    const fs::path program = root_.path() / R"(my apps 앱 $HOME "q" 'a' `b` \c (d) ~e;f&g|h*?#<i>=j)" / "kestrio";
    fs::create_directories(program.parent_path());
    // The program reports the path it was started by, and its argument count, in one step.
    const fs::path probe = root_.path() / "probe";
    std::ofstream(program) << "#!/bin/sh\nprintf '%s|%s' \"$0\" \"$#\" > \"$PROBE.new\" && mv \"$PROBE.new\" \"$PROBE\"\n";
    fs::permissions(program, fs::perms::owner_all);

    ASSERT_EQ(autostart(program).registerItem(), std::nullopt);
    ChildProcessOptions both;
    both.capture = ChildProcessOptions::Capture::outputAndErrors;
    const auto validated = runChildProcess("desktop-file-validate", {entry_.string()}, both);
    EXPECT_EQ(validated.exitStatus, 0);
    EXPECT_EQ(validated.output, "");
    const auto launch = runChildProcess("gio", {"launch", entry_.string()}, {}, 30s, {"PROBE=" + probe.string()});
    EXPECT_EQ(launch.exitStatus, 0) << launch.output;
    // The launch does not wait for the program; the bound only keeps a failed launch from hanging.
    for (const auto deadline = std::chrono::steady_clock::now() + 30s;
         launch.exitStatus == 0 && !fs::exists(probe) && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(readFile(probe), program.string() + "|0");
}

TEST_F(AutostartTest, DefaultsFollowXdgThenHomeThenAccountAndStartThisProgram)
{
    test::ScopedEnvironment config("XDG_CONFIG_HOME", "relative/config");
    test::ScopedEnvironment home("HOME", "/home/someone");
    EXPECT_EQ(XdgAutostart::defaultFolder(), fs::path("/home/someone/.config/autostart"));
    unsetenv("HOME");
    EXPECT_EQ(XdgAutostart::defaultFolder(), fs::path(getpwuid(getuid())->pw_dir) / ".config/autostart");

    setenv("XDG_CONFIG_HOME", (root_.path() / "xdg").c_str(), 1);
    XdgAutostart byDefault;
    ASSERT_EQ(byDefault.registerItem(), std::nullopt);
    EXPECT_EQ(byDefault.entryPath(), root_.path() / "xdg" / "autostart" / "kestrio.desktop");
    const auto entry = DesktopEntry::parse(readFile(byDefault.entryPath()));
    ASSERT_TRUE(entry.has_value());
    const auto exec = entry->stringValue(mainGroup, "Exec");
    ASSERT_TRUE(exec.has_value());
    EXPECT_TRUE(fs::equivalent(*exec, "/proc/self/exe")) << *exec;
}

}  // namespace
}  // namespace kestrio::platform
