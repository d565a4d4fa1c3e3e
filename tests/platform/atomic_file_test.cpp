#include "platform/linux/atomic_file.h"
#include "platform/platform_test.h"

#include <gtest/gtest.h>

#include <fstream>

namespace kestrio::platform {
namespace {

using Names = std::set<std::string>;
using Step = AtomicWriteStep;

TEST(AtomicFileTest, ACutShortWriteLeavesTheOldFileWholeAndATemporaryThatIsCleanedUp)
{
    test::TemporaryDirectory directory;
    const auto file = directory.path() / "data.json";
    // Another file's temporary is not this file's to remove.
    std::ofstream(directory.path() / "other.json.tmp-abcdef") << "x";
    for (const Step step : {Step::temporaryCreated, Step::partlyWritten, Step::written, Step::synced, Step::renamed}) {
        SCOPED_TRACE(static_cast<int>(step));
        std::ofstream(file) << "old";
        const auto result = replaceFileAtomically(file, "new contents", 0640, [&](Step reached) { return reached != step; });
        EXPECT_EQ(result.error, ECANCELED);
        EXPECT_EQ(test::readFile(file), step == Step::renamed ? "new contents" : "old");
        EXPECT_EQ(test::fileNames(directory.path()).size(), step == Step::renamed ? 2u : 3u);
        removeStaleTemporaries(file);
        EXPECT_EQ(test::fileNames(directory.path()), (Names{"data.json", "other.json.tmp-abcdef"}));
    }
    const auto result = replaceFileAtomically(file, "whole", 0640);
    EXPECT_TRUE(result.replaced() && result.folderSynced);
    EXPECT_EQ(test::readFile(file), "whole");
    EXPECT_EQ(testing::fileMode(file), 0640u);
    EXPECT_EQ(replaceFileAtomically(directory.path() / "missing" / "data.json", "x", 0600).error, ENOENT);
}

TEST(AtomicFileTest, AFullDiskKeepsTheOldFileAndLeavesNoTemporary)
{
    test::TemporaryDirectory directory;
    const auto folder = directory.path() / "small";
    const test::SmallDisk disk(folder);
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    std::ofstream(folder / "data.json") << "old";
    disk.fill();
    EXPECT_EQ(replaceFileAtomically(folder / "data.json", std::string(8192, 'n'), 0600).error, ENOSPC);
    EXPECT_EQ(test::readFile(folder / "data.json"), "old");
    EXPECT_EQ(test::fileNames(folder), (Names{"data.json", "filler"}));
}

}  // namespace
}  // namespace kestrio::platform
