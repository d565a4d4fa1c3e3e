#include "platform/linux/json_settings_store.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrio::platform {
namespace {

using test::readFile;

namespace fs = std::filesystem;
using namespace std::string_literals;
using Step = JsonSettingsStore::WriteStep;

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(root_.path().empty()); }

    void writeFile(const std::string& bytes)
    {
        fs::create_directories(folder_);
        std::ofstream(file_, std::ios::binary) << bytes;
    }

    std::set<std::string> folderNames() const { return test::fileNames(folder_); }

    // The file as a JSON object; a null value when it is not one.
    nlohmann::json fileObject() const
    {
        auto parsed = nlohmann::json::parse(readFile(file_), nullptr, false);
        return parsed.is_object() ? parsed : nlohmann::json();
    }

    test::TemporaryDirectory root_;
    fs::path folder_ = root_.path() / "config" / "kestrio";
    fs::path file_ = folder_ / "settings.json";
};

// How values of each JSON type read is the settings fuzzer's to check, from its seeds on.

TEST_F(SettingsFileTest, MistypedAndForeignKeysStayAndALeftoverTemporaryGoes)
{
    writeFile(R"({"launchAtLogin": true, "futureList": [1, {"x": null}], "autoStartOnConnect": "maybe"})");
    // What a write cut short by a crash leaves.
    std::ofstream(folder_ / "settings.json.tmp-a1B2c3") << "{\"launchAt";
    JsonSettingsStore store(file_);
    EXPECT_EQ(folderNames(), std::set<std::string>{"settings.json"});
    // A value of the wrong type is absent (the model's default applies) without hiding the rest.
    EXPECT_EQ(store.boolValue("autoStartOnConnect"), std::nullopt);
    EXPECT_EQ(store.boolValue("launchAtLogin"), true);

    store.setString("selectedPhoneID", "phone-1");
    EXPECT_EQ(fileObject(), nlohmann::json::parse(R"({"launchAtLogin": true, "futureList": [1, {"x": null}],
                                                      "autoStartOnConnect": "maybe", "selectedPhoneID": "phone-1"})"));
    // Nothing about a readable file calls for a .corrupt copy.
    EXPECT_EQ(folderNames(), std::set<std::string>{"settings.json"});
}

TEST_F(SettingsFileTest, TextsComeBackByteForByteFromAPrivateFile)
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

    struct stat file {}, folder {}, parent {};
    ASSERT_EQ(stat(file_.c_str(), &file) | stat(folder_.c_str(), &folder) | stat(folder_.parent_path().c_str(), &parent), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_EQ((folder.st_mode | parent.st_mode) & 0077, 0u);
}

TEST_F(SettingsFileTest, DefaultPathFollowsXdgThenHomeThenAccount)
{
    test::ScopedEnvironment config("XDG_CONFIG_HOME", "/xdg/config");
    test::ScopedEnvironment home("HOME", "/home/someone");
    EXPECT_EQ(JsonSettingsStore::defaultPath(), fs::path("/xdg/config/kestrio/settings.json"));
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(JsonSettingsStore::defaultPath(), fs::path("/home/someone/.config/kestrio/settings.json"));
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("HOME");
    EXPECT_EQ(JsonSettingsStore::defaultPath(), fs::path(getpwuid(getuid())->pw_dir) / ".config/kestrio/settings.json");
}

TEST_F(SettingsFileTest, DamagedContentsReadAsEmptyAndAreKeptOnTheFirstWrite)
{
    const std::string contents[] = {R"({"launchAtLogin": true, "iMessageAddress": "a@b)", R"({"launchAtLogin": true,, })",
                                    R"(["launchAtLogin", true])", "\"just text\"",
                                    "{\"iMessageAddress\": \"caf\xE9\", \"launchAtLogin\": true}", "\0\0\0\0"s};
    for (const auto& content : contents) {
        SCOPED_TRACE(content);
        fs::remove_all(folder_);
        writeFile(content);
        JsonSettingsStore store(file_);
        EXPECT_EQ(store.boolValue("launchAtLogin"), std::nullopt);
        EXPECT_EQ(store.stringValue("iMessageAddress"), std::nullopt);
        EXPECT_EQ(folderNames(), std::set<std::string>{"settings.json"});

        store.setString("selectedPhoneName", "민지의 폰");
        store.setBool("launchAtLogin", true);
        EXPECT_EQ(readFile(folder_ / "settings.json.corrupt"), content);
        EXPECT_EQ(fileObject(), nlohmann::json::parse(R"({"selectedPhoneName": "민지의 폰", "launchAtLogin": true})"));
        EXPECT_EQ(folderNames(), (std::set<std::string>{"settings.json", "settings.json.corrupt"}));
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
    EXPECT_TRUE(test::holdsForAnUnprivilegedUser({root_.path(), folder_.parent_path(), folder_, file_}, check));
    EXPECT_EQ(readFile(folder_ / "settings.json.corrupt"), R"({"launchAtLogin": true})");
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

TEST_F(SettingsFileTest, ADamagedFileIsNotReplacedWhenItsCopyDoesNotFit)
{
    const test::SmallDisk disk(folder_);
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    writeFile(std::string(5000, '{'));
    disk.fill();
    JsonSettingsStore(file_).setBool("launchAtLogin", true);
    EXPECT_EQ(readFile(file_), std::string(5000, '{'));
    EXPECT_EQ(folderNames(), (std::set<std::string>{"filler", "settings.json"}));
}

}  // namespace
}  // namespace kestrio::platform
