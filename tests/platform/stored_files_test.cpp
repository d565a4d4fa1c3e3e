#include "platform/os/atomic_file.h"
#include "platform/os/json_settings_store.h"
#include "platform/platform_test.h"

#include <nlohmann/json.hpp>

namespace kestrio::platform::os {
namespace {

using namespace std::string_literals;
using Names = std::set<std::string>;
using Step = AtomicWriteStep;
using nlohmann::json;

class StoredFileTest : public ::testing::Test {
protected:
    void writeFile(const std::string& bytes)
    {
        fs::create_directories(folder_);
        std::ofstream(file_, std::ios::binary) << bytes;
    }

    Names folderNames() const { return test::fileNames(folder_); }

    test::TemporaryDirectory root_;
    fs::path folder_ = root_.path() / "config" / "kestrio";
    fs::path file_ = folder_ / "settings.json";
};

TEST_F(StoredFileTest, ACutShortWriteLeavesTheOldFileWholeAndATemporaryThatIsCleanedUp)
{
    writeFile("old");
    // Another file's temporary is not this file's to remove.
    std::ofstream(folder_ / "other.json.tmp-abcdef") << "x";
    for (const Step step : {Step::temporaryCreated, Step::partlyWritten, Step::written, Step::synced, Step::renamed}) {
        SCOPED_TRACE(static_cast<int>(step));
        EXPECT_EQ(replaceFileAtomically(file_, "new", 0640, [&](Step reached) { return reached != step; }).error, ECANCELED);
        EXPECT_EQ(readFile(file_), step == Step::renamed ? "new" : "old");
        EXPECT_EQ(folderNames().size(), step == Step::renamed ? 2u : 3u);
        removeStaleTemporaries(file_);
        EXPECT_EQ(folderNames(), (Names{"settings.json", "other.json.tmp-abcdef"}));
        writeFile("old");
    }
    const auto result = replaceFileAtomically(file_, "whole", 0640);
    EXPECT_TRUE(result.replaced() && result.folderSynced);
    EXPECT_EQ(readFile(file_), "whole");
    EXPECT_EQ(testing::fileMode(file_), 0640u);
    EXPECT_EQ(replaceFileAtomically(root_.path() / "missing" / "data.json", "x", 0600).error, ENOENT);
}

// How values read in memory is the settings fuzzer's to check; what the file keeps is this test's.
TEST_F(StoredFileTest, TextsComeBackFromTheFileByteForByteAndForeignKeysStay)
{
    writeFile(R"({"launchAtLogin": true, "futureList": [1, {"x": null}]})");
    std::ofstream(folder_ / "settings.json.tmp-a1B2c3") << "{\"launchAt";  // left by a write cut short
    const std::string text = "아이폰 · 민지‑의 폰 \"hi\" \\ C:\\temp controls \x01\x1f\x7f\n\r\t and a NUL \0 inside"s;
    {
        JsonSettingsStore store(file_);
        EXPECT_EQ(folderNames(), Names{"settings.json"});
        store.setString("text", text);
        // A file cannot hold bytes that are not UTF-8; this run reads what the next one will.
        store.setString("latin1", "caf\xE9");
        EXPECT_EQ(store.stringValue("latin1"), "caf\uFFFD");
    }
    EXPECT_EQ(json::parse(readFile(file_))["futureList"], json::parse(R"([1, {"x": null}])"));
    JsonSettingsStore reopened(file_);
    EXPECT_EQ(reopened.stringValue("text"), text);
    EXPECT_EQ(reopened.stringValue("latin1"), "caf\uFFFD");
    EXPECT_EQ(reopened.boolValue("launchAtLogin"), true);
}

// Damaged contents read as empty (the fuzzer's to check); the first write keeps them aside.
TEST_F(StoredFileTest, DamagedSettingsAreKeptAsideOnTheFirstWriteNeverReplacingEarlierCopies)
{
    const std::string contents[] = {R"({"launchAtLogin": true, "iMessageAddress": "a@b)", R"(["launchAtLogin", true])", "\0\0"s};
    for (std::size_t i = 0; i < std::size(contents); ++i) {
        SCOPED_TRACE(i);
        writeFile(contents[i]);
        JsonSettingsStore(file_).setBool("launchAtLogin", false);
        EXPECT_EQ(readFile(folder_ / ("settings.json.corrupt" + (i ? "-" + std::to_string(i) : ""))), contents[i]);
        EXPECT_EQ(json::parse(readFile(file_)), json::parse(R"({"launchAtLogin": false})"));
    }
    // What cannot be read as a file at all is moved aside whole, a folder or unreadable.
    fs::remove(file_);
    fs::create_directories(file_ / "inside");
    JsonSettingsStore(file_).setBool("launchAtLogin", true);
    EXPECT_TRUE(fs::is_directory(folder_ / "settings.json.corrupt-3" / "inside"));
    EXPECT_EQ(folderNames().size(), 5u);
    writeFile(R"({"launchAtLogin": true})");
    ASSERT_EQ(chmod(file_.c_str(), 0), 0);
    EXPECT_TRUE(test::holdsForAnUnprivilegedUser({root_.path(), folder_.parent_path(), folder_, file_}, [this] {
        JsonSettingsStore store(file_);
        const bool unread = !store.boolValue("launchAtLogin").has_value();
        store.setString("iMessageAddress", "a@b.example");
        return unread && JsonSettingsStore(file_).stringValue("iMessageAddress") == "a@b.example";
    }));
    EXPECT_EQ(readFile(folder_ / "settings.json.corrupt-4"), R"({"launchAtLogin": true})");
}

TEST_F(StoredFileTest, TheSameValueAgainWritesNothingUnlessAWriteIsOwedAndTheFileIsPrivate)
{
    int writes = 0;
    bool failing = false;
    JsonSettingsStore store(file_, [&](Step reached) { return !(reached == Step::temporaryCreated && ++writes && failing); });
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
    EXPECT_EQ(testing::fileMode(file_), 0600u);
    EXPECT_EQ(testing::fileMode(folder_) | testing::fileMode(folder_.parent_path()), 0700u);
}

// A full disk keeps the old file and leaves no temporary; a damaged file is not replaced when
// its copy does not fit.
TEST_F(StoredFileTest, AFullDiskChangesNothing)
{
    const test::SmallDisk disk(folder_);
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    writeFile(std::string(5000, '{'));
    disk.fill();
    EXPECT_EQ(replaceFileAtomically(file_, std::string(8192, 'n'), 0600).error, ENOSPC);
    JsonSettingsStore(file_).setBool("launchAtLogin", true);
    EXPECT_EQ(readFile(file_), std::string(5000, '{'));
    EXPECT_EQ(folderNames(), (Names{"filler", "settings.json"}));
}

// A folder that refuses writes keeps the old file byte for byte; the change holds in memory and is
// owed until a retry finds the folder writable again.
TEST_F(StoredFileTest, AReadOnlyFolderKeepsTheOldFileUntilARetryWritesTheChange)
{
    const test::SmallDisk disk(folder_);
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::string old = R"({"launchAtLogin":true,  "selectedPhoneID": "phone-1"})";
    writeFile(old);
    JsonSettingsStore store(file_);
    int turns = 0;
    store.setOnSavedChange([&] { ++turns; });
    ASSERT_TRUE(disk.setReadOnly(true));
    store.setString("selectedPhoneID", "phone-2");
    EXPECT_FALSE(store.saved());
    EXPECT_FALSE(store.retrySave());
    EXPECT_EQ(store.stringValue("selectedPhoneID"), "phone-2");
    EXPECT_EQ(readFile(file_), old);
    EXPECT_EQ(folderNames(), Names{"settings.json"});
    ASSERT_TRUE(disk.setReadOnly(false));
    EXPECT_TRUE(store.retrySave());
    EXPECT_EQ(turns, 2);
    EXPECT_EQ(json::parse(readFile(file_)), json::parse(R"({"launchAtLogin": true, "selectedPhoneID": "phone-2"})"));
}

}  // namespace
}  // namespace kestrio::platform::os
