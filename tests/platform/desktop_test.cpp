#include "platform/os/desktop_entry.h"
#include "platform/os/desktop_url_opener.h"
#include "platform/os/json_settings_store.h"
#include "platform/os/xdg_autostart.h"
#include "platform/platform_test.h"

#include <gmock/gmock.h>

#include <cstring>
#include <pwd.h>

namespace kestrio::platform::os {
namespace {

using namespace std::string_literals;
using ::testing::HasSubstr;
using Status = model::LoginItemService::Status;
constexpr const char* mainGroup = "Desktop Entry";

TEST(DesktopEntryTest, ReadsValuesAsGlibDoesAndRefusesWhatIsNotAKeyFile)
{
    const auto entry = DesktopEntry::parse("# leading comment\r\n\n[Desktop Entry]\r\n  Type =\tApplication\nName=First\n"
                                           "Name=Second\nName[sr@latin]=Kestrio\nComment=\\sa\\tb\\nc\\rd\\\\e f \n"
                                           "Keywords=one\\;two;\nBroken=ends in \\\nUnknown=\\q\n   # indented\nEmpty=\n"
                                           "Hidden=true  \nFlag1=1\nFlagYes=yes\n[Other]\nName=Other\n"
                                           "[Desktop Entry]  \nExec=kestrio\nHidden=false");
    ASSERT_TRUE(entry.has_value());
    const std::pair<const char*, std::optional<std::string>> strings[] = {
        {"Type", "Application"}, {"Name", "Second"}, {"Name[sr@latin]", "Kestrio"}, {"Exec", "kestrio"},
        {"name", std::nullopt}, {"Comment", " a\tb\nc\rd\\e f "}, {"Keywords", "one\\;two;"},
        {"Broken", std::nullopt}, {"Unknown", std::nullopt}, {"Empty", ""},
    };
    for (const auto& [key, value] : strings)
        EXPECT_EQ(entry->stringValue(mainGroup, key), value) << key;
    EXPECT_EQ(entry->stringValue("Other", "Name"), "Other");
    const std::pair<const char*, std::optional<bool>> flags[] = {
        {"Hidden", false}, {"Flag1", true}, {"FlagYes", std::nullopt}, {"Missing", std::nullopt}};
    for (const auto& [key, value] : flags)
        EXPECT_EQ(entry->boolValue(mainGroup, key), value) << key;

    for (const std::string& text :
         {"[Desktop Entry]\nkestrio\n"s, "Type=Application\n[Desktop Entry]\n"s, "[Desktop Entry]\n=Application\n"s,
          "[Desktop Entry]\nName [ko]=x\n"s, "[Desktop Entry]\nName[ko=x\n"s, "[Desktop Entry]\nName[]=x\n"s,
          "[Desktop Entry]\nNa]me=x\n"s, "[Desktop Entry]\nName[ko]x=x\n"s, "[Desktop Entry\n"s, "[]\n"s,
          "[Desktop [Entry]\n"s, "[Desktop Entry] x\n"s, "[Desktop\x01 Entry]\n"s, "[Desktop Entry]\nName=caf\xE9\n"s,
          "[Desktop Entry]\nName=a\0b\n"s})
        EXPECT_FALSE(DesktopEntry::parse(text).has_value()) << text;
}

TEST(DesktopEntryTest, AMissingFirstGroupIsAddedBeforeTheOthersAndValuesReadBackUnchanged)
{
    auto entry = DesktopEntry::parse("# header\n[X-Other]\nA=1\n");
    ASSERT_TRUE(entry && entry->makeFirstGroup(mainGroup) && entry->setString(mainGroup, "Type", "Application"));
    EXPECT_EQ(entry->text(), "# header\n[Desktop Entry]\nType=Application\n\n[X-Other]\nA=1\n");
    for (const std::string value : {" leading and trailing ", "tab\tnew line\ncarriage\rback\\slash", "\\s is not an escape here",
                                    "키스트리오 · 민지‑의 폰", "semi;colons;", ""}) {
        ASSERT_TRUE(entry->setString("X-New", "Value", value));
        EXPECT_EQ(DesktopEntry::parse(entry->text())->stringValue("X-New", "Value"), value);
    }
    // GLib turns "%%" back into '%' in Exec; the desktop's own run below covers the other quoting.
    for (const auto& [argument, quoted] : {std::pair{"/opt/100%/kestrio", "/opt/100%%/kestrio"},
                                           {"/opt/100% sure/kestrio", "\"/opt/100%% sure/kestrio\""}, {"", "\"\""}})
        EXPECT_EQ(quoteExecArgument(argument), quoted) << argument;
}

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
    // GLib reads anything but true or 1 as false, and the session then leaves the entry off.
    for (const auto& [text, expected] : std::initializer_list<std::pair<std::string, Status>>{
             {entry, Status::enabled}, {entry + "Hidden=true\n", Status::notRegistered},
             {entry + "X-GNOME-Autostart-enabled=yes\n", Status::notRegistered},
             {"[X-Other]\nA=1\n" + entry, Status::notRegistered},
             {"[Desktop Entry]\nType=Link\nName=Kestrio\nURL=https://example.com\n", Status::notRegistered},
             {"[Desktop Entry]\nType=Application\nName=Kestrio\n", Status::notRegistered},
             {entry + "Comment=caf\xE9\n", Status::notRegistered}}) {
        writeEntry(text);
        EXPECT_EQ(autostart().status(), expected) << text;
    }
    fs::remove(entry_);
    ASSERT_EQ(mkfifo(entry_.c_str(), 0600), 0);
    EXPECT_EQ(autostart().status(), Status::notRegistered);
}

TEST_F(AutostartTest, RegisteringAgainTurnsTheEntryBackOnAndKeepsTheUsersLines)
{
    writeEntry("# Started late\n[X-Custom Group]\nKey=value\n\n[Desktop Entry]\nType=Application\nName = Old name\n"
               "Name[de]=Kestrio (alt)\nExec=/old/kestrio --old-flag\nHidden=true\nX-GNOME-Autostart-Delay=5\n"
               "X-GNOME-Autostart-enabled=false\nName=Repeated\nComment=Mine\n");
    ASSERT_EQ(chmod(entry_.c_str(), 0600), 0);
    ASSERT_EQ(autostart().registerItem(), std::nullopt);
    EXPECT_EQ(readFile(entry_), "# Started late\n[Desktop Entry]\nType=Application\nName=Kestrio\nName[de]=Kestrio (alt)\n"
                                "Exec=/usr/bin/kestrio\nX-GNOME-Autostart-Delay=5\nX-GNOME-Autostart-enabled=true\n"
                                "Comment=Mine\nName[ko]=Kestrio\nComment[ko]=휴대폰을 두 번째 화면으로 사용\n"
                                "Icon=kestrio\nTerminal=false\nCategories=Utility;\n\n[X-Custom Group]\nKey=value\n\n");
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
    // An entry that cannot be read may hold what the user keeps in it.
    const std::string kept = "[Desktop Entry]\nType=Application\nExec=/old/kestrio\nX-GNOME-Autostart-Delay=5\n";
    writeEntry(kept);
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
    EXPECT_EQ(readFile(entry_), kept);
}

// The desktop's own tools take the entry, and the desktop starts the program from a path that
// needs every kind of quoting the Exec line has but '%' (GLib looks the program up before it
// turns "%%" back into '%').
TEST_F(AutostartTest, TheDesktopValidatesTheEntryAndStartsTheRegisteredProgram)
{
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

// Both files are found as the XDG base directories say, and the session starts this program.
TEST_F(AutostartTest, DefaultsFollowXdgThenHomeThenAccountAndStartThisProgram)
{
    const fs::path account = getpwuid(getuid())->pw_dir;
    for (const auto& [xdg, user, folder] : {std::tuple<const char*, const char*, fs::path>{"/xdg/config", "/home/someone", "/xdg/config"},
                                            {"relative/config", "/home/someone", "/home/someone/.config"},
                                            {"relative/config", nullptr, account / ".config"}}) {
        test::ScopedEnvironment setXdg("XDG_CONFIG_HOME", xdg), setHome("HOME", user);
        EXPECT_EQ(XdgAutostart::defaultFolder(), folder / "autostart");
        EXPECT_EQ(JsonSettingsStore::defaultPath(), folder / "kestrio" / "settings.json");
    }
    test::ScopedEnvironment setXdg("XDG_CONFIG_HOME", root_.path().string());
    ASSERT_EQ(XdgAutostart().registerItem(), std::nullopt);
    const auto exec = DesktopEntry::parse(readFile(root_.path() / "autostart" / "kestrio.desktop"))->stringValue(mainGroup, "Exec");
    EXPECT_TRUE(fs::equivalent(exec.value_or(""), "/proc/self/exe")) << exec.value_or("(none)");
}

TEST(DesktopUrlOpenerTest, TheUrlArrivesAsOneUntouchedArgumentToXdgOpenOnPath)
{
    test::TemporaryDirectory directory;
    const std::string record = (directory.path() / "record").string(), canary = (directory.path() / "ran").string();
    testing::writeScript(directory.path() / "xdg-open",
                         "printf '%s\\0' \"$@\" > '" + record + ".new'\n/bin/mv '" + record + ".new' '" + record + "'\n");
    const std::string url = "https://example.com/검색?q=키스트리오 · 'single' \"double\" $(touch " + canary + ") `touch " +
                            canary + "` ; touch " + canary + " | & < > * ? ~ \\ %20\nbreak\ttab";
    test::ScopedEnvironment path("PATH", directory.path().string());
    DesktopUrlOpener().open(url);
    EXPECT_EQ(testing::takeRecord(record), url + '\0');
    EXPECT_FALSE(std::filesystem::exists(canary));
    DesktopUrlOpener("/nonexistent/xdg-open").open(url);
}

}  // namespace
}  // namespace kestrio::platform::os
