#include "platform/linux/atomic_file.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>

namespace kestrio::platform {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TemporaryDirectory;
using Step = AtomicWriteStep;

std::set<std::string> names(const fs::path& folder)
{
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder))
        found.insert(entry.path().filename().string());
    return found;
}

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
        EXPECT_EQ(names(directory.path()).size(), step == Step::renamed ? 2u : 3u);
        removeStaleTemporaries(file);
        EXPECT_EQ(names(directory.path()), (std::set<std::string>{"data.json", "other.json.tmp-abcdef"}));
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
    fs::create_directories(folder);
    if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=16k,mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    const fs::path file = folder / "data.json";
    std::ofstream(file) << "old";
    {
        std::ofstream filler(folder / "filler", std::ios::binary);
        const std::string block(1024, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())))
            filler.flush();
    }
    const auto result = replaceFileAtomically(file, std::string(8192, 'n'), 0600);
    EXPECT_EQ(result.error, ENOSPC);
    EXPECT_EQ(readFile(file), "old");
    EXPECT_EQ(names(folder), (std::set<std::string>{"data.json", "filler"}));
    umount2(folder.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace kestrio::platform
