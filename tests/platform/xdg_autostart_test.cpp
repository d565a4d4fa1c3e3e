#include "platform/linux/xdg_autostart.h"
#include "support/test_support.h"

#include "platform/linux/desktop_entry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <poll.h>
#include <pwd.h>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace kestrio::platform {
namespace {

using test::readFile;

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Status = model::LoginItemService::Status;

constexpr const char* mainGroup = "Desktop Entry";
constexpr uid_t nobody = 65534;

void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::optional<fs::path> findOnPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        fs::path candidate = fs::path(folders.substr(start, end - start)) / name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

struct ProgramResult {
    int exitCode = -1;
    std::string output;  // standard output and error together
};

ProgramResult runProgram(const std::vector<std::string>& arguments)
{
    ProgramResult result;
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = -1;
    int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    if (spawned == 0) {
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
            if (got > 0)
                result.output.append(buffer, static_cast<std::size_t>(got));
        }
        int status = 0;
        if (::waitpid(child, &status, 0) == child && WIFEXITED(status))
            result.exitCode = WEXITSTATUS(status);
    }
    ::close(pipeEnds[0]);
    return result;
}

std::string desktopEntryText(const std::string& executable, const std::string& extra = "")
{
    return "[Desktop Entry]\nType=Application\nName=Kestrio\nExec=" + executable + "\n" + extra;
}

class AutostartTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "kestrio-autostart-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        folder_ = root_ / "config" / "autostart";
        entry_ = folder_ / "kestrio.desktop";
    }

    void TearDown() override
    {
        std::error_code error;
        fs::permissions(folder_, fs::perms::owner_all, error);
        fs::remove_all(root_, error);
    }

    XdgAutostart autostart(const fs::path& executable = "/usr/bin/kestrio") const
    {
        return XdgAutostart(folder_, executable);
    }

    void writeEntry(const std::string& text) const
    {
        fs::create_directories(folder_);
        writeFile(entry_, text);
    }

    std::set<std::string> folderNames() const
    {
        std::set<std::string> names;
        for (const auto& item : fs::directory_iterator(folder_))
            names.insert(item.path().filename().string());
        return names;
    }

    std::optional<DesktopEntry> readEntry() const { return DesktopEntry::parse(readFile(entry_)); }

    struct Outcome {
        bool ran = false;
        std::optional<std::string> error;
    };

    // Runs `operation` as the user would, for whom file modes count. Root reads and writes
    // anything, so as root it runs in a child process as the unprivileged "nobody", who is made
    // the owner of the test's files first: only their modes stand in the way then.
    Outcome asTheUser(const std::function<std::optional<std::string>()>& operation) const
    {
        Outcome outcome;
        if (::geteuid() != 0) {
            outcome.error = operation();
            outcome.ran = true;
            return outcome;
        }
        for (const fs::path& path : {root_, root_ / "config", folder_, entry_}) {
            if (::lchown(path.c_str(), nobody, nobody) != 0 && errno != ENOENT)
                return outcome;
        }
        int pipeEnds[2];
        if (::pipe(pipeEnds) != 0)
            return outcome;
        pid_t child = ::fork();
        if (child == 0) {
            ::close(pipeEnds[0]);
            if (::setgid(nobody) != 0 || ::setuid(nobody) != 0)
                ::_exit(1);
            auto error = operation();
            std::string report = error ? "E" + *error : "S";
            ::_exit(::write(pipeEnds[1], report.data(), report.size()) == static_cast<ssize_t>(report.size()) ? 0 : 1);
        }
        ::close(pipeEnds[1]);
        std::string report;
        char buffer[1024];
        ssize_t got;
        while ((got = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0)
            report.append(buffer, static_cast<std::size_t>(got));
        ::close(pipeEnds[0]);
        int status = 0;
        if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0
            || report.empty())
            return outcome;
        outcome.ran = true;
        if (report[0] == 'E')
            outcome.error = report.substr(1);
        return outcome;
    }

    fs::path root_;
    fs::path folder_;
    fs::path entry_;
};

// --- Registering and unregistering ---

TEST_F(AutostartTest, RegisterWritesAnEntryThatStatusSeesAndUnregisterRemovesIt)
{
    auto item = autostart();
    EXPECT_EQ(item.status(), Status::notRegistered);
    // Nothing registered is nothing to remove.
    EXPECT_EQ(item.unregisterItem(), std::nullopt);

    ASSERT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(item.status(), Status::enabled);
    EXPECT_EQ(folderNames(), std::set<std::string>{"kestrio.desktop"});
    auto entry = readEntry();
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->firstGroup(), "Desktop Entry");
    EXPECT_EQ(entry->stringValue(mainGroup, "Type"), "Application");
    EXPECT_EQ(entry->stringValue(mainGroup, "Exec"), "/usr/bin/kestrio");
    EXPECT_EQ(entry->stringValue(mainGroup, "Icon"), "kestrio");
    EXPECT_EQ(entry->boolValue(mainGroup, "X-GNOME-Autostart-enabled"), true);
    EXPECT_EQ(entry->stringValue(mainGroup, "Comment[ko]"), "휴대폰을 두 번째 화면으로 사용");

    // The folders it made are the user's alone; the entry is readable like any desktop file.
    struct stat file {}, folder {}, config {};
    ASSERT_EQ(stat(entry_.c_str(), &file) | stat(folder_.c_str(), &folder) | stat((root_ / "config").c_str(), &config), 0);
    EXPECT_EQ(file.st_mode & 0777, 0644u);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(config.st_mode & 0777, 0700u);

    // Registering again changes nothing.
    std::string first = readFile(entry_);
    ASSERT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(readFile(entry_), first);

    EXPECT_EQ(item.unregisterItem(), std::nullopt);
    EXPECT_FALSE(fs::exists(entry_));
    EXPECT_EQ(item.status(), Status::notRegistered);
    EXPECT_EQ(item.unregisterItem(), std::nullopt);
}

TEST_F(AutostartTest, StatusReportsWhatTheSessionWouldStart)
{
    const std::string exec = "/usr/bin/kestrio";
    const std::pair<std::string, Status> cases[] = {
        {desktopEntryText(exec), Status::enabled},
        {desktopEntryText(exec, "Hidden=true\n"), Status::notRegistered},
        {desktopEntryText(exec, "Hidden=1\n"), Status::notRegistered},
        {desktopEntryText(exec, "Hidden=false\n"), Status::enabled},
        {desktopEntryText(exec, "Hidden=true\nHidden=false\n"), Status::enabled},
        {desktopEntryText(exec, "X-GNOME-Autostart-enabled=false\n"), Status::notRegistered},
        {desktopEntryText(exec, "X-GNOME-Autostart-enabled=0\n"), Status::notRegistered},
        {desktopEntryText(exec, "X-GNOME-Autostart-enabled=true\n"), Status::enabled},
        // GLib reads anything but true or 1 as false, and the session then leaves the entry off.
        {desktopEntryText(exec, "X-GNOME-Autostart-enabled=yes\n"), Status::notRegistered},
        {desktopEntryText(exec, "X-GNOME-Autostart-Delay=5\n[X-Other]\nHidden=true\n"), Status::enabled},
        {desktopEntryText(exec, "not a key file line\n"), Status::notRegistered},
        {"[X-Other]\nA=1\n" + desktopEntryText(exec), Status::notRegistered},
        {"[Desktop Entry]\nType=Link\nName=Kestrio\nURL=https://example.com\n", Status::notRegistered},
        {"[Desktop Entry]\nType=Application\nName=Kestrio\n", Status::notRegistered},
        {desktopEntryText(exec, "Comment=caf\xE9\n"), Status::notRegistered},
        {"", Status::notRegistered},
    };
    for (const auto& [text, expected] : cases) {
        writeEntry(text);
        EXPECT_EQ(autostart().status(), expected) << text;
    }

    // What cannot be read at all is not registered either.
    fs::remove(entry_);
    fs::create_directory(entry_);
    EXPECT_EQ(autostart().status(), Status::notRegistered);
    fs::remove(entry_);
    ASSERT_EQ(mkfifo(entry_.c_str(), 0600), 0);
    EXPECT_EQ(autostart().status(), Status::notRegistered);
}

TEST_F(AutostartTest, RegisteringAgainTurnsTheEntryBackOnAndKeepsTheUsersLines)
{
    writeEntry("# Started late, so that the panel is up first\n"
               "[Desktop Entry]\n"
               "Type=Application\n"
               "Name = Old name\n"
               "Name[de]=Kestrio (alt)\n"
               "Exec=/old/place/kestrio --old-flag\n"
               "Hidden=true\n"
               "X-GNOME-Autostart-Delay=5\n"
               "X-GNOME-Autostart-enabled=false\n"
               "Comment=Mine\n"
               "\n"
               "[X-Custom Group]\n"
               "Key=value\n");
    ASSERT_EQ(chmod(entry_.c_str(), 0600), 0);
    auto item = autostart();
    EXPECT_EQ(item.status(), Status::notRegistered);

    ASSERT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(item.status(), Status::enabled);
    EXPECT_EQ(readFile(entry_), "# Started late, so that the panel is up first\n"
                                "[Desktop Entry]\n"
                                "Type=Application\n"
                                "Name=Kestrio\n"
                                "Name[de]=Kestrio (alt)\n"
                                "Exec=/usr/bin/kestrio\n"
                                "X-GNOME-Autostart-Delay=5\n"
                                "X-GNOME-Autostart-enabled=true\n"
                                "Comment=Mine\n"
                                "Name[ko]=Kestrio\n"
                                "Comment[ko]=휴대폰을 두 번째 화면으로 사용\n"
                                "Icon=kestrio\n"
                                "Terminal=false\n"
                                "Categories=Utility;\n"
                                "\n"
                                "[X-Custom Group]\n"
                                "Key=value\n");
    struct stat file {};
    ASSERT_EQ(stat(entry_.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
}

TEST_F(AutostartTest, AnEntryTheSessionCannotReadIsMadeReadable)
{
    // [Desktop Entry] must come first for the session to take the file.
    writeEntry("[X-Other]\nA=1\n\n[Desktop Entry]\nX-GNOME-Autostart-Delay=5\nHidden=true\n");
    ASSERT_EQ(autostart().registerItem(), std::nullopt);
    EXPECT_EQ(autostart().status(), Status::enabled);
    auto entry = readEntry();
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->firstGroup(), "Desktop Entry");
    EXPECT_EQ(entry->stringValue(mainGroup, "X-GNOME-Autostart-Delay"), "5");
    EXPECT_EQ(entry->stringValue("X-Other", "A"), "1");

    // What does not read as a key file at all holds nothing to keep.
    writeEntry("this is not a desktop entry\n\xff\n");
    ASSERT_EQ(autostart().registerItem(), std::nullopt);
    EXPECT_EQ(autostart().status(), Status::enabled);
    fs::remove(entry_);
    ASSERT_EQ(autostart().registerItem(), std::nullopt);
    std::string fresh = readFile(entry_);
    writeEntry("this is not a desktop entry\n\xff\n");
    ASSERT_EQ(autostart().registerItem(), std::nullopt);
    EXPECT_EQ(readFile(entry_), fresh);
}

TEST_F(AutostartTest, ExecQuotesAPathWithASpace)
{
    ASSERT_EQ(autostart("/opt/My Apps/kestrio").registerItem(), std::nullopt);
    EXPECT_THAT(readFile(entry_), HasSubstr("\nExec=\"/opt/My Apps/kestrio\"\n"));
    EXPECT_EQ(autostart().status(), Status::enabled);

    // A desktop entry holds UTF-8 only; a path that is not cannot be registered.
    EXPECT_THAT(autostart("/opt/caf\xE9/kestrio").registerItem(), ::testing::Optional(HasSubstr("UTF-8")));
    EXPECT_THAT(readFile(entry_), HasSubstr("\nExec=\"/opt/My Apps/kestrio\"\n"));
}

// --- Failures ---

TEST_F(AutostartTest, AReadOnlyFolderFailsWithTheOldEntryUntouched)
{
    writeEntry(desktopEntryText("/old/kestrio", "Hidden=true\n"));
    const std::string before = readFile(entry_);

    ASSERT_EQ(chmod(folder_.c_str(), 0500), 0);
    auto registered = asTheUser([this] { return autostart().registerItem(); });
    ASSERT_TRUE(registered.ran);
    ASSERT_TRUE(registered.error.has_value());
    EXPECT_THAT(*registered.error, HasSubstr(entry_.string()));
    EXPECT_THAT(*registered.error, HasSubstr(std::strerror(EACCES)));
    EXPECT_EQ(readFile(entry_), before);
    EXPECT_EQ(folderNames(), std::set<std::string>{"kestrio.desktop"});

    auto unregistered = asTheUser([this] { return autostart().unregisterItem(); });
    ASSERT_TRUE(unregistered.ran);
    ASSERT_TRUE(unregistered.error.has_value());
    EXPECT_THAT(*unregistered.error, HasSubstr(entry_.string()));
    EXPECT_EQ(readFile(entry_), before);
}

TEST_F(AutostartTest, AnEntryThatCannotBeReadIsNotReplaced)
{
    // Whatever the user keeps in it would be lost.
    writeEntry(desktopEntryText("/old/kestrio", "X-GNOME-Autostart-Delay=5\n"));
    const std::string before = readFile(entry_);
    ASSERT_EQ(chmod(entry_.c_str(), 0), 0);

    auto registered = asTheUser([this] { return autostart().registerItem(); });
    ASSERT_TRUE(registered.ran);
    ASSERT_TRUE(registered.error.has_value());
    EXPECT_THAT(*registered.error, HasSubstr(entry_.string()));
    EXPECT_THAT(*registered.error, HasSubstr(std::strerror(EACCES)));
    auto status = asTheUser([this]() -> std::optional<std::string> {
        if (autostart().status() != Status::notRegistered)
            return "reported as registered";
        return std::nullopt;
    });
    EXPECT_TRUE(status.ran);
    EXPECT_EQ(status.error, std::nullopt);
    ASSERT_EQ(chmod(entry_.c_str(), 0600), 0);
    EXPECT_EQ(readFile(entry_), before);
    EXPECT_EQ(folderNames(), std::set<std::string>{"kestrio.desktop"});
}

TEST_F(AutostartTest, WhatStandsInTheWayIsReported)
{
    // A file where a folder should be.
    fs::create_directories(root_ / "config");
    writeFile(root_ / "config" / "autostart", "not a folder");
    auto blocked = autostart();
    auto error = blocked.registerItem();
    ASSERT_TRUE(error.has_value());
    EXPECT_THAT(*error, HasSubstr(folder_.string()));
    EXPECT_THAT(*error, HasSubstr(std::strerror(ENOTDIR)));
    EXPECT_EQ(readFile(root_ / "config" / "autostart"), "not a folder");
    EXPECT_EQ(blocked.status(), Status::notRegistered);
    EXPECT_EQ(blocked.unregisterItem(), std::nullopt);

    // A folder or a FIFO where the entry should be is left alone.
    fs::remove(root_ / "config" / "autostart");
    fs::create_directories(entry_ / "inside");
    error = autostart().registerItem();
    ASSERT_TRUE(error.has_value());
    EXPECT_THAT(*error, HasSubstr(entry_.string()));
    EXPECT_TRUE(fs::is_directory(entry_ / "inside"));
    EXPECT_TRUE(autostart().unregisterItem().has_value());
    EXPECT_TRUE(fs::is_directory(entry_ / "inside"));

    fs::remove_all(entry_);
    ASSERT_EQ(mkfifo(entry_.c_str(), 0600), 0);
    error = autostart().registerItem();
    ASSERT_TRUE(error.has_value());
    EXPECT_THAT(*error, HasSubstr(entry_.string()));
    EXPECT_TRUE(fs::is_fifo(entry_));
    EXPECT_EQ(folderNames(), std::set<std::string>{"kestrio.desktop"});

    XdgAutostart nowhere{fs::path(), "/usr/bin/kestrio"};
    EXPECT_TRUE(nowhere.registerItem().has_value());
    EXPECT_EQ(nowhere.status(), Status::notRegistered);
    EXPECT_EQ(nowhere.unregisterItem(), std::nullopt);
    EXPECT_TRUE(XdgAutostart(folder_, fs::path()).registerItem().has_value());
}

TEST_F(AutostartTest, ATemporaryLeftByACrashIsCleanedUp)
{
    writeEntry(desktopEntryText("/usr/bin/kestrio"));
    writeFile(folder_ / "kestrio.desktop.tmp-a1B2c3", "[Desktop Entry]\nType=Appl");
    ASSERT_EQ(autostart().registerItem(), std::nullopt);
    EXPECT_EQ(folderNames(), std::set<std::string>{"kestrio.desktop"});
}

// --- What the desktop makes of the entry ---

// A path that needs every kind of quoting the Exec line has. No '%': GLib looks the program up
// before it turns "%%" back into '%', so it would not start one whose path holds it.
const char* awkwardFolderName = R"(my apps 앱 $HOME "q" 'a' `b` \c (d) ~e;f&g|h*?#<i>=j)";

TEST_F(AutostartTest, RegisteredEntriesPassDesktopFileValidate)
{
    if (!findOnPath("desktop-file-validate"))
        GTEST_SKIP() << "desktop-file-validate (desktop-file-utils) is not installed";
    auto expectValid = [this](const std::string& what) {
        ProgramResult result = runProgram({"desktop-file-validate", entry_.string()});
        EXPECT_EQ(result.exitCode, 0) << what;
        EXPECT_EQ(result.output, "") << what;
    };

    ASSERT_EQ(autostart().registerItem(), std::nullopt);
    expectValid("a new entry");
    ASSERT_EQ(autostart("/opt/My Apps/kestrio").registerItem(), std::nullopt);
    expectValid("a path with a space");
    ASSERT_EQ(autostart(root_ / awkwardFolderName / "kestrio").registerItem(), std::nullopt);
    expectValid("a path with reserved characters");
    ASSERT_EQ(autostart("/opt/100% sure/kestrio").registerItem(), std::nullopt);
    expectValid("a path with a percent sign");

    writeEntry("# mine\n[Desktop Entry]\nName[de]=Kestrio (alt)\nX-GNOME-Autostart-Delay=5\nHidden=true\n\n"
               "[X-Custom Group]\nKey=value\n");
    ASSERT_EQ(autostart().registerItem(), std::nullopt);
    expectValid("a re-registered entry of the user's");
}

TEST_F(AutostartTest, TheDesktopStartsTheRegisteredProgram)
{
    if (!findOnPath("gio"))
        GTEST_SKIP() << "gio (libglib2.0-bin) is not installed";
    // The program reports the path it was started by, and its argument count, into a FIFO.
    fs::path programFolder = root_ / awkwardFolderName;
    fs::create_directories(programFolder);
    fs::path program = programFolder / "kestrio";
    writeFile(program, "#!/bin/sh\nprintf '%s|%s' \"$0\" \"$#\" > \"$KESTRIO_AUTOSTART_PROBE\"\n");
    fs::permissions(program, fs::perms::owner_all);
    fs::path probe = root_ / "probe";
    ASSERT_EQ(mkfifo(probe.c_str(), 0600), 0);
    int reader = ::open(probe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(setenv("KESTRIO_AUTOSTART_PROBE", probe.c_str(), 1), 0);

    ASSERT_EQ(autostart(program).registerItem(), std::nullopt);
    ProgramResult launch = runProgram({"gio", "launch", entry_.string()});
    unsetenv("KESTRIO_AUTOSTART_PROBE");
    EXPECT_EQ(launch.exitCode, 0) << launch.output;

    // The launch does not wait for the program; the bound only keeps a failed launch from hanging.
    std::string report;
    pollfd ready {reader, POLLIN, 0};
    if (launch.exitCode == 0 && ::poll(&ready, 1, 30000) == 1) {
        ::fcntl(reader, F_SETFL, 0);
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(reader, buffer, sizeof buffer)) > 0)
            report.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(reader);
    EXPECT_EQ(report, program.string() + "|0");
}

// --- Defaults ---

TEST_F(AutostartTest, DefaultsFollowXdgThenHomeThenAccountAndStartThisProgram)
{
    auto keep = [](const char* name) {
        const char* value = std::getenv(name);
        return std::pair(name, value ? std::optional<std::string>(value) : std::nullopt);
    };
    const std::pair<const char*, std::optional<std::string>> saved[] = {keep("XDG_CONFIG_HOME"), keep("HOME")};

    setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(XdgAutostart::defaultFolder(), fs::path("/xdg/config/autostart"));
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(XdgAutostart::defaultFolder(), fs::path("/home/someone/.config/autostart"));
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(XdgAutostart::defaultFolder(), fs::path("/home/someone/.config/autostart"));
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("HOME");
    EXPECT_EQ(XdgAutostart::defaultFolder(), fs::path(getpwuid(getuid())->pw_dir) / ".config/autostart");

    setenv("XDG_CONFIG_HOME", (root_ / "xdg").c_str(), 1);
    XdgAutostart byDefault;
    auto registered = byDefault.registerItem();
    for (const auto& [name, value] : saved)
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);

    ASSERT_EQ(registered, std::nullopt);
    EXPECT_EQ(byDefault.entryPath(), root_ / "xdg" / "autostart" / "kestrio.desktop");
    auto entry = DesktopEntry::parse(readFile(byDefault.entryPath()));
    ASSERT_TRUE(entry.has_value());
    // The test program's path needs no quoting.
    auto exec = entry->stringValue(mainGroup, "Exec");
    ASSERT_TRUE(exec.has_value());
    EXPECT_TRUE(fs::equivalent(*exec, "/proc/self/exe")) << *exec;
}

}  // namespace
}  // namespace kestrio::platform
