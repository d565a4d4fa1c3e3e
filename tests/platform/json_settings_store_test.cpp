#include "platform/linux/json_settings_store.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <pwd.h>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrio::platform {
namespace {

using test::readFile;

namespace fs = std::filesystem;
using namespace std::string_literals;
using Step = JsonSettingsStore::WriteStep;

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "kestrio-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        folder_ = root_ / "kestrio";
        file_ = folder_ / "settings.json";
    }

    void TearDown() override { fs::remove_all(root_); }

    void writeFile(const std::string& bytes)
    {
        fs::create_directories(folder_);
        std::ofstream(file_, std::ios::binary) << bytes;
    }

    std::set<std::string> folderNames() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder_))
            names.insert(entry.path().filename().string());
        return names;
    }

    // The file as a JSON object; a null value when it is not one.
    nlohmann::json fileObject() const
    {
        auto parsed = nlohmann::json::parse(readFile(file_), nullptr, false);
        return parsed.is_object() ? parsed : nlohmann::json();
    }

    fs::path root_;
    fs::path folder_;
    fs::path file_;
};

// --- Read rules ---

TEST_F(SettingsFileTest, ReadRules)
{
    writeFile(R"({"t": true, "f": false, "zero": 0, "one": 1, "oneFloat": 1.0, "zeroFloat": -0.0, "two": 2,
                  "minusOne": -1, "big": 18446744073709551615, "half": 0.5, "huge": 1e300, "text": "true",
                  "textOne": "1", "empty": "", "null": null, "list": [true], "object": {"a": true}})");
    JsonSettingsStore store(file_);
    const std::map<std::string, std::pair<std::optional<bool>, std::optional<std::string>>> expected = {
        {"t", {true, "1"}}, {"f", {false, "0"}}, {"zero", {false, "0"}}, {"one", {true, "1"}},
        {"oneFloat", {true, "1"}}, {"zeroFloat", {false, "0"}}, {"two", {std::nullopt, "2"}},
        {"minusOne", {std::nullopt, "-1"}}, {"big", {std::nullopt, "18446744073709551615"}},
        {"half", {std::nullopt, "0.5"}}, {"huge", {std::nullopt, "1e+300"}}, {"text", {std::nullopt, "true"}},
        {"textOne", {std::nullopt, "1"}}, {"empty", {std::nullopt, ""}}, {"null", {}}, {"list", {}},
        {"object", {}}, {"missing", {}}, {"T", {}}, {"t ", {}},
    };
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(store.boolValue(key), value.first) << key;
        EXPECT_EQ(store.stringValue(key), value.second) << key;
    }
}

TEST_F(SettingsFileTest, MistypedAndForeignKeysStayInTheFile)
{
    writeFile(R"({"launchAtLogin": true, "futureList": [1, {"x": null}], "autoStartOnConnect": "maybe"})");
    JsonSettingsStore store(file_);
    // A value of the wrong type is absent (the model's default applies) without hiding the rest.
    EXPECT_EQ(store.boolValue("autoStartOnConnect"), std::nullopt);
    EXPECT_EQ(store.boolValue("launchAtLogin"), true);

    store.setString("selectedPhoneID", "phone-1");
    EXPECT_EQ(fileObject(), nlohmann::json::parse(R"({"launchAtLogin": true, "futureList": [1, {"x": null}],
                                                      "autoStartOnConnect": "maybe", "selectedPhoneID": "phone-1"})"));
    // Nothing about a readable file calls for a .corrupt copy.
    EXPECT_EQ(folderNames(), std::set<std::string>{"settings.json"});
}

// --- Persistence across reopening ---

TEST_F(SettingsFileTest, TextsComeBackByteForByte)
{
    const std::string texts[] = {
        "아이폰 · 민지‑의 폰",
        "  someone@example.com \t",
        R"(say "hi" \ C:\temp\n)",
        "controls \x01\x1f\x7f\n\r\t and a NUL \0 inside"s,
        "",
    };
    {
        JsonSettingsStore store(file_);
        for (std::size_t i = 0; i < std::size(texts); ++i)
            store.setString("text" + std::to_string(i), texts[i]);
        store.setBool("launchAtLogin", false);
        // A file cannot hold bytes that are not UTF-8; this run reads what the next one will.
        store.setString("latin1", "caf\xE9");
        EXPECT_EQ(store.stringValue("latin1"), "caf\uFFFD");
    }
    JsonSettingsStore reopened(file_);
    for (std::size_t i = 0; i < std::size(texts); ++i)
        EXPECT_EQ(reopened.stringValue("text" + std::to_string(i)), texts[i]) << i;
    EXPECT_EQ(reopened.boolValue("launchAtLogin"), false);
    EXPECT_EQ(reopened.stringValue("latin1"), "caf\uFFFD");
}

TEST_F(SettingsFileTest, CreatesPrivateFoldersAndFile)
{
    file_ = root_ / "config" / "kestrio" / "settings.json";
    JsonSettingsStore(file_).setBool("launchAtLogin", true);
    struct stat file {}, folder {}, parent {};
    ASSERT_EQ(stat(file_.c_str(), &file) | stat(file_.parent_path().c_str(), &folder)
                  | stat((root_ / "config").c_str(), &parent),
        0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_EQ((folder.st_mode | parent.st_mode) & 0077, 0u);
}

TEST_F(SettingsFileTest, DefaultPathFollowsXdgThenHomeThenAccount)
{
    auto keep = [](const char* name) {
        const char* value = std::getenv(name);
        return std::pair(name, value ? std::optional<std::string>(value) : std::nullopt);
    };
    const std::pair<const char*, std::optional<std::string>> saved[] = {keep("XDG_CONFIG_HOME"), keep("HOME")};

    setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(JsonSettingsStore::defaultPath(), fs::path("/xdg/config/kestrio/settings.json"));
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(JsonSettingsStore::defaultPath(), fs::path("/home/someone/.config/kestrio/settings.json"));
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("HOME");
    EXPECT_EQ(JsonSettingsStore::defaultPath(), fs::path(getpwuid(getuid())->pw_dir) / ".config/kestrio/settings.json");

    for (const auto& [name, value] : saved)
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
}

// --- Damaged files ---

class SettingsDamagedContentTest : public SettingsFileTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(SettingsDamagedContentTest, ReadsAsEmptyAndKeepsTheOriginalOnFirstWrite)
{
    writeFile(GetParam());
    JsonSettingsStore store(file_);
    EXPECT_EQ(store.boolValue("launchAtLogin"), std::nullopt);
    EXPECT_EQ(store.stringValue("iMessageAddress"), std::nullopt);
    EXPECT_EQ(folderNames(), std::set<std::string>{"settings.json"});

    store.setString("selectedPhoneName", "민지의 폰");
    store.setBool("launchAtLogin", true);
    EXPECT_EQ(readFile(folder_ / "settings.json.corrupt"), GetParam());
    EXPECT_EQ(fileObject(), nlohmann::json::parse(R"({"selectedPhoneName": "민지의 폰", "launchAtLogin": true})"));
    EXPECT_EQ(folderNames(), (std::set<std::string>{"settings.json", "settings.json.corrupt"}));
}

INSTANTIATE_TEST_SUITE_P(Contents, SettingsDamagedContentTest,
    ::testing::Values(R"({"launchAtLogin": true, "iMessageAddress": "a@b)"s, R"({"launchAtLogin": true,, })"s,
        R"(["launchAtLogin", true])"s, "\"just text\""s, "{\"iMessageAddress\": \"caf\xE9\", \"launchAtLogin\": true}"s,
        "\0\0\0\0"s));

// Settings read from text are what a file with those bytes gives.
TEST_F(SettingsFileTest, TextReadsAsTheFileWould)
{
    const std::string texts[] = {R"({"launchAtLogin": true, "updateFeedURL": "https://a.example/f.xml", "n": 1.5})",
                                 R"({"launchAtLogin": 1, "launchAtLogin": "no", "updateFeedURL": null})",
                                 R"({"launchAtLogin": true,, })", "{\"updateFeedURL\": \"caf\xE9\"}", "[true]", "", " "};
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        writeFile(text);
        const JsonSettingsStore fromFile(file_);
        const auto fromText = JsonSettingsStore::fromText(text);
        EXPECT_TRUE(fromText->path().empty());
        for (const char* key : {"launchAtLogin", "updateFeedURL", "n"}) {
            EXPECT_EQ(fromText->boolValue(key), fromFile.boolValue(key)) << key;
            EXPECT_EQ(fromText->stringValue(key), fromFile.stringValue(key)) << key;
        }
    }
}

TEST_F(SettingsFileTest, EarlierDamagedCopiesAreNeverReplaced)
{
    writeFile("first damage");
    JsonSettingsStore(file_).setBool("launchAtLogin", true);
    // What cannot be read as a file at all is moved aside whole.
    fs::remove(file_);
    fs::create_directories(file_ / "inside");
    JsonSettingsStore(file_).setBool("launchAtLogin", false);
    writeFile("third damage");
    JsonSettingsStore(file_).setBool("launchAtLogin", true);

    EXPECT_EQ(readFile(folder_ / "settings.json.corrupt"), "first damage");
    EXPECT_TRUE(fs::is_directory(folder_ / "settings.json.corrupt-1" / "inside"));
    EXPECT_EQ(readFile(folder_ / "settings.json.corrupt-2"), "third damage");
    EXPECT_EQ(JsonSettingsStore(file_).boolValue("launchAtLogin"), true);
}

TEST_F(SettingsFileTest, AFileWithoutReadPermissionIsMovedAside)
{
    writeFile(R"({"launchAtLogin": true})");
    ASSERT_EQ(chmod(file_.c_str(), 0), 0);
    auto check = [this] {
        JsonSettingsStore store(file_);
        bool unread = !store.boolValue("launchAtLogin").has_value();
        store.setString("iMessageAddress", "a@b.example");
        return unread && JsonSettingsStore(file_).stringValue("iMessageAddress") == "a@b.example";
    };
    if (geteuid() != 0) {
        EXPECT_TRUE(check());
    } else {
        // Root reads anything; an unprivileged child is refused like the user would be.
        fs::permissions(root_, fs::perms::all);
        fs::permissions(folder_, fs::perms::all);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            _exit(setgid(65534) == 0 && setuid(65534) == 0 && check() ? 0 : 1);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(readFile(folder_ / "settings.json.corrupt"), R"({"launchAtLogin": true})");
}

// --- Interrupted writes ---

class SettingsInterruptedWriteTest : public SettingsFileTest, public ::testing::WithParamInterface<Step> {};

TEST_P(SettingsInterruptedWriteTest, LeavesAReadableFileWithEveryEarlierKey)
{
    {
        JsonSettingsStore store(file_);
        store.setBool("launchAtLogin", true);
        store.setString("iMessageAddress", "a@b.example");
    }
    bool cut = false;
    JsonSettingsStore(file_, [&](Step reached) { return !(cut = reached == GetParam()); })
        .setString("iMessageAddress", "c@d.example");
    ASSERT_TRUE(cut);
    // Cut short before the rename, the write leaves its temporary behind, as a crash would.
    EXPECT_EQ(folderNames().size(), GetParam() == Step::renamed ? 1u : 2u);

    JsonSettingsStore reopened(file_);
    EXPECT_FALSE(fileObject().is_null());
    EXPECT_EQ(reopened.boolValue("launchAtLogin"), true);
    EXPECT_EQ(reopened.stringValue("iMessageAddress"), GetParam() == Step::renamed ? "c@d.example" : "a@b.example");
    // The next run ignores and removes the leftover, and writing works again.
    EXPECT_EQ(folderNames(), std::set<std::string>{"settings.json"});
    reopened.setBool("autoStartOnConnect", false);
    EXPECT_EQ(JsonSettingsStore(file_).boolValue("autoStartOnConnect"), false);
}

TEST_F(SettingsFileTest, TheSameValueAgainWritesNothingUnlessAWriteIsOwed)
{
    int writes = 0;
    bool failing = false;
    JsonSettingsStore store(file_, [&](Step reached) {
        writes += reached == Step::temporaryCreated;
        return !(failing && reached == Step::temporaryCreated);
    });
    store.setString("selectedPhoneID", "phone-1");
    store.setString("selectedPhoneID", "phone-1");
    store.setBool("selectedPhoneIDVerified", true);
    store.setBool("selectedPhoneIDVerified", true);
    EXPECT_EQ(writes, 2);
    // A write that failed is made again by the next set, even of an unchanged value.
    failing = true;
    store.setString("selectedPhoneID", "phone-2");
    failing = false;
    store.setString("selectedPhoneID", "phone-2");
    EXPECT_EQ(writes, 4);
    EXPECT_EQ(JsonSettingsStore(file_).stringValue("selectedPhoneID"), "phone-2");
}

// Every step's outcome is the writer's; one before the rename and the rename itself show the store
// reading what is left and cleaning up.
INSTANTIATE_TEST_SUITE_P(EachStep, SettingsInterruptedWriteTest, ::testing::Values(Step::written, Step::renamed));

// --- Full and read-only file systems ---

class SettingsSmallDiskTest : public SettingsFileTest {
protected:
    void SetUp() override
    {
        SettingsFileTest::SetUp();
        fs::create_directories(folder_);
        if (mount("tmpfs", folder_.c_str(), "tmpfs", 0, "size=16k,mode=0700") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        mounted_ = true;
    }

    void TearDown() override
    {
        if (mounted_)
            umount2(folder_.c_str(), MNT_DETACH);
        SettingsFileTest::TearDown();
    }

    void fillDisk()
    {
        std::ofstream filler(folder_ / "filler", std::ios::binary);
        std::string block(1024, 'x');
        while (filler.write(block.data(), block.size()))
            filler.flush();
    }

    bool mounted_ = false;
};

TEST_F(SettingsSmallDiskTest, AFullDiskKeepsTheOldFileAndTheNewValueInMemory)
{
    JsonSettingsStore store(file_);
    store.setString("iMessageAddress", "a@b.example");
    std::string before = readFile(file_);
    fillDisk();

    const std::string longName(6000, 'p');
    store.setString("selectedPhoneName", longName);
    EXPECT_EQ(readFile(file_), before);
    EXPECT_EQ(folderNames(), (std::set<std::string>{"filler", "settings.json"}));
    EXPECT_EQ(store.stringValue("selectedPhoneName"), longName);

    // Once there is room, the next change stores what the failed one could not.
    fs::remove(folder_ / "filler");
    store.setBool("launchAtLogin", true);
    JsonSettingsStore reopened(file_);
    EXPECT_EQ(reopened.stringValue("selectedPhoneName"), longName);
    EXPECT_EQ(reopened.stringValue("iMessageAddress"), "a@b.example");
}

TEST_F(SettingsSmallDiskTest, ADamagedFileIsNotReplacedWhenItsCopyDoesNotFit)
{
    writeFile(std::string(5000, '{'));
    fillDisk();
    JsonSettingsStore(file_).setBool("launchAtLogin", true);
    EXPECT_EQ(readFile(file_), std::string(5000, '{'));
    EXPECT_EQ(folderNames(), (std::set<std::string>{"filler", "settings.json"}));
}

TEST_F(SettingsSmallDiskTest, AReadOnlyFolderKeepsTheOldFile)
{
    JsonSettingsStore store(file_);
    store.setBool("launchAtLogin", true);
    std::string before = readFile(file_);
    ASSERT_EQ(mount("tmpfs", folder_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=16k"), 0);

    store.setBool("launchAtLogin", false);
    EXPECT_EQ(store.boolValue("launchAtLogin"), false);
    EXPECT_EQ(readFile(file_), before);
}

}  // namespace
}  // namespace kestrio::platform
