#include "platform/linux/atomic_file.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>

namespace kestrio::platform {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TemporaryDirectory;
using Step = AtomicWriteStep;

TEST(AtomicFileTest, ACutShortWriteLeavesTheOldFileWholeAndATemporaryThatIsCleanedUp)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path file = directory.path() / "data.json";
    // Another file's temporary is not this file's to remove.
    std::ofstream(directory.path() / "other.json.tmp-abcdef") << "x";
    for (const Step step : {Step::temporaryCreated, Step::partlyWritten, Step::written, Step::synced, Step::renamed}) {
        SCOPED_TRACE(static_cast<int>(step));
        std::ofstream(file) << "old";
        const auto result = replaceFileAtomically(file, "new contents", 0640, [&](Step reached) { return reached != step; });
        EXPECT_EQ(result.error, ECANCELED);
        EXPECT_EQ(readFile(file), step == Step::renamed ? "new contents" : "old");
        EXPECT_EQ(test::fileNames(directory.path()).size(), step == Step::renamed ? 2u : 3u);
        removeStaleTemporaries(file);
        EXPECT_EQ(test::fileNames(directory.path()), (std::set<std::string>{"data.json", "other.json.tmp-abcdef"}));
    }

    const auto result = replaceFileAtomically(file, "whole", 0640);
    EXPECT_TRUE(result.replaced());
    EXPECT_TRUE(result.folderSynced);
    EXPECT_EQ(readFile(file), "whole");
    struct stat status = {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);

    const auto nowhere = replaceFileAtomically(directory.path() / "missing" / "data.json", "x", 0600);
    EXPECT_EQ(nowhere.error, ENOENT);
}

TEST(AtomicFileTest, AFullDiskKeepsTheOldFileAndLeavesNoTemporary)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path folder = directory.path() / "small";
    const test::SmallDisk disk(folder);
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const fs::path file = folder / "data.json";
    std::ofstream(file) << "old";
    disk.fill();
    const auto result = replaceFileAtomically(file, std::string(8192, 'n'), 0600);
    EXPECT_EQ(result.error, ENOSPC);
    EXPECT_EQ(readFile(file), "old");
    EXPECT_EQ(test::fileNames(folder), (std::set<std::string>{"data.json", "filler"}));
}

}  // namespace
}  // namespace kestrio::platform
