#include "platform/linux/child_process_run.h"
#include "platform/linux/desktop_entry.h"
#include "platform/linux/xdg_autostart.h"
#include "platform/platform_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <pwd.h>

namespace kestrio::platform {
namespace {

using test::readFile;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Status = model::LoginItemService::Status;

class AutostartTest : public ::testing::Test {
protected:
    XdgAutostart autostart(const fs::path& executable = "/usr/bin/kestrio") const { return XdgAutostart(folder_, executable); }

    void writeEntry(const std::string& text) const
    {
        fs::create_directories(folder_);
        std::ofstream(entry_, std::ios::binary) << text;
    }

    test::TemporaryDirectory root_;
    fs::path folder_ = root_.path() / "config" / "autostart";
    fs::path entry_ = folder_ / "kestrio.desktop";
};

TEST_F(AutostartTest, RegisterWritesAPrivateEntryThatStatusSeesAndUnregisterRemovesIt)
{
    auto item = autostart("/opt/My Apps/kestrio");
    EXPECT_EQ(item.status(), Status::notRegistered);
    EXPECT_EQ(item.unregisterItem(), std::nullopt) << "nothing registered is nothing to remove";
    ASSERT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(item.status(), Status::enabled);
    EXPECT_EQ(readFile(entry_), "[Desktop Entry]\nType=Application\nName=Kestrio\nName[ko]=Kestrio\n"
                                "Comment=Use your phone as a second screen\nComment[ko]=휴대폰을 두 번째 화면으로 사용\n"
                                "Exec=\"/opt/My Apps/kestrio\"\nIcon=kestrio\nTerminal=false\nCategories=Utility;\n"
                                "X-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(testing::fileMode(entry_), 0644u);
    EXPECT_EQ(testing::fileMode(folder_) | testing::fileMode(folder_.parent_path()), 0700u);
    // A desktop entry holds UTF-8 only. A temporary left by a crash goes with the next write.
    std::ofstream(folder_ / "kestrio.desktop.tmp-a1B2c3") << "[Desktop Entry]\nType=Appl";
    EXPECT_THAT(autostart("/opt/caf\xE9/kestrio").registerItem(), ::testing::Optional(HasSubstr("UTF-8")));
    ASSERT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(test::fileNames(folder_), std::set<std::string>{"kestrio.desktop"});
    EXPECT_EQ(item.unregisterItem(), std::nullopt);
    EXPECT_EQ(item.status(), Status::notRegistered);
}

TEST_F(AutostartTest, StatusReportsWhatTheSessionWouldStart)
{
    const std::string entry = "[Desktop Entry]\nType=Application\nName=Kestrio\nExec=/usr/bin/kestrio\n";
    const std::pair<std::string, Status> cases[] = {
        {entry, Status::enabled},
        {entry + "Hidden=1\n", Status::notRegistered},
        {entry + "Hidden=true\nHidden=false\n", Status::enabled},
        {entry + "X-GNOME-Autostart-enabled=0\n", Status::notRegistered},
        // GLib reads anything but true or 1 as false, and the session then leaves the entry off.
        {entry + "X-GNOME-Autostart-enabled=yes\n", Status::notRegistered},
        {entry + "[X-Other]\nHidden=true\n", Status::enabled},
        {"[X-Other]\nA=1\n" + entry, Status::notRegistered},
        {"[Desktop Entry]\nType=Link\nName=Kestrio\nURL=https://example.com\n", Status::notRegistered},
        {"[Desktop Entry]\nType=Application\nName=Kestrio\n", Status::notRegistered},
        {entry + "Comment=caf\xE9\n", Status::notRegistered},
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
    writeEntry("# Started late\n[Desktop Entry]\nType=Application\nName = Old name\nName[de]=Kestrio (alt)\n"
               "Exec=/old/kestrio --old-flag\nHidden=true\nX-GNOME-Autostart-Delay=5\nX-GNOME-Autostart-enabled=false\n"
               "Comment=Mine\n\n[X-Custom Group]\nKey=value\n");
    ASSERT_EQ(chmod(entry_.c_str(), 0600), 0);
    ASSERT_EQ(autostart().registerItem(), std::nullopt);
    EXPECT_EQ(readFile(entry_), "# Started late\n[Desktop Entry]\nType=Application\nName=Kestrio\nName[de]=Kestrio (alt)\n"
                                "Exec=/usr/bin/kestrio\nX-GNOME-Autostart-Delay=5\nX-GNOME-Autostart-enabled=true\n"
                                "Comment=Mine\nName[ko]=Kestrio\nComment[ko]=휴대폰을 두 번째 화면으로 사용\n"
                                "Icon=kestrio\nTerminal=false\nCategories=Utility;\n\n[X-Custom Group]\nKey=value\n");
    EXPECT_EQ(testing::fileMode(entry_), 0600u);
    // What does not read as a key file at all holds nothing to keep.
    writeEntry("this is not a desktop entry\n\xff\n");
    ASSERT_EQ(autostart().registerItem(), std::nullopt);
    EXPECT_EQ(autostart().status(), Status::enabled);
}

TEST_F(AutostartTest, WhatStandsInTheWayIsReportedAndLeftAlone)
{
    fs::create_directories(folder_.parent_path());
    std::ofstream(folder_) << "not a folder";
    EXPECT_THAT(autostart().registerItem(),
                ::testing::Optional(::testing::AllOf(HasSubstr(folder_.string()), HasSubstr(std::strerror(ENOTDIR)))));
    EXPECT_EQ(readFile(folder_), "not a folder");
    fs::remove(folder_);
    fs::create_directories(entry_ / "inside");
    EXPECT_THAT(autostart().registerItem(), ::testing::Optional(HasSubstr(entry_.string())));
    EXPECT_TRUE(autostart().unregisterItem().has_value());
    EXPECT_TRUE(fs::is_directory(entry_ / "inside"));

    // An entry that cannot be read may hold what the user keeps in it.
    fs::remove_all(entry_);
    writeEntry("[Desktop Entry]\nType=Application\nExec=/old/kestrio\nX-GNOME-Autostart-Delay=5\n");
    const auto refused = [this](const std::optional<std::string>& error) {
        return error && error->find(entry_.string()) != std::string::npos && error->find(std::strerror(EACCES)) != std::string::npos;
    };
    const auto asTheUser = [this](const std::function<bool()>& check) {
        return test::holdsForAnUnprivilegedUser({root_.path(), folder_.parent_path(), folder_, entry_}, check);
    };
    ASSERT_EQ(chmod(entry_.c_str(), 0), 0);
    EXPECT_TRUE(asTheUser([&] { return refused(autostart().registerItem()) && autostart().status() == Status::notRegistered; }));
    ASSERT_EQ(chmod(entry_.c_str(), 0644) | chmod(folder_.c_str(), 0500), 0);
    EXPECT_TRUE(asTheUser([&] { return refused(autostart().registerItem()) && refused(autostart().unregisterItem()); }));
    ASSERT_EQ(chmod(folder_.c_str(), 0700), 0);
    EXPECT_EQ(readFile(entry_), "[Desktop Entry]\nType=Application\nExec=/old/kestrio\nX-GNOME-Autostart-Delay=5\n");
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
    const fs::path probe = root_.path() / "probe";
    fs::create_directories(program.parent_path());
    testing::writeScript(program, "printf '%s|%s' \"$0\" \"$#\" > \"$PROBE.new\" && mv \"$PROBE.new\" \"$PROBE\"\n");
    ASSERT_EQ(autostart(program).registerItem(), std::nullopt);
    const auto validated = runChildProcess("desktop-file-validate", {entry_.string()}, {.capture = ChildProcessOptions::Capture::outputAndErrors});
    EXPECT_EQ(validated.exitStatus, 0);
    EXPECT_EQ(validated.output, "");
    const auto launch = runChildProcess("gio", {"launch", entry_.string()}, {}, 30s, {"PROBE=" + probe.string()});
    EXPECT_EQ(launch.exitStatus, 0) << launch.output;
    EXPECT_EQ(testing::takeRecord(probe), program.string() + "|0");
}

TEST_F(AutostartTest, DefaultsFollowXdgThenHomeThenAccountAndStartThisProgram)
{
    test::ScopedEnvironment config("XDG_CONFIG_HOME", "relative/config");
    test::ScopedEnvironment home("HOME", "/home/someone");
    EXPECT_EQ(XdgAutostart::defaultFolder(), fs::path("/home/someone/.config/autostart"));
    unsetenv("HOME");
    EXPECT_EQ(XdgAutostart::defaultFolder(), fs::path(getpwuid(getuid())->pw_dir) / ".config/autostart");
    setenv("XDG_CONFIG_HOME", root_.path().c_str(), 1);
    ASSERT_EQ(XdgAutostart().registerItem(), std::nullopt);
    const auto exec = DesktopEntry::parse(readFile(root_.path() / "autostart" / "kestrio.desktop"))->stringValue("Desktop Entry", "Exec");
    EXPECT_TRUE(fs::equivalent(exec.value_or(""), "/proc/self/exe")) << exec.value_or("(none)");
}

}  // namespace
}  // namespace kestrio::platform
