#include "platform/linux/host_name.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace kestrio::platform {
namespace {

std::string kernelHostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

TEST(PrettyHostNameTest, ReadsQuotedAndPlainValues)
{
    EXPECT_EQ(prettyHostNameFromMachineInfo("PRETTY_HOSTNAME=studio\n"), "studio");
    EXPECT_EQ(prettyHostNameFromMachineInfo("PRETTY_HOSTNAME=\"Ada's Laptop\"\n"), "Ada's Laptop");
    EXPECT_EQ(prettyHostNameFromMachineInfo("PRETTY_HOSTNAME='Say \"hi\"'\n"), "Say \"hi\"");
    // The file need not end with a newline, and UTF-8 passes through untouched.
    EXPECT_EQ(prettyHostNameFromMachineInfo("PRETTY_HOSTNAME=\"스튜디오 · 맥‑북\""), "스튜디오 · 맥‑북");
}

TEST(PrettyHostNameTest, UndoesBackslashEscapes)
{
    EXPECT_EQ(prettyHostNameFromMachineInfo(R"(PRETTY_HOSTNAME="A \"quoted\" \\ \$name")"), R"(A "quoted" \ $name)");
    // Inside double quotes, other backslashes stay, as in the shell.
    EXPECT_EQ(prettyHostNameFromMachineInfo(R"(PRETTY_HOSTNAME="C:\temp")"), R"(C:\temp)");
    EXPECT_EQ(prettyHostNameFromMachineInfo(R"(PRETTY_HOSTNAME=Ada\'s\ Laptop)"), "Ada's Laptop");
    // Inside single quotes, nothing is escaped.
    EXPECT_EQ(prettyHostNameFromMachineInfo(R"(PRETTY_HOSTNAME='a\b')"), R"(a\b)");
    EXPECT_EQ(prettyHostNameFromMachineInfo("PRETTY_HOSTNAME=\"two \\\nlines\"\n"), "two lines");
}

TEST(PrettyHostNameTest, SkipsCommentsOtherKeysAndStrayBlanks)
{
    const char* machineInfo =
        "# PRETTY_HOSTNAME=commented out\n"
        "; PRETTY_HOSTNAME=also commented out\n"
        "\n"
        "ICON_NAME=computer-laptop\n"
        "  PRETTY_HOSTNAME = \"  padded inside  \"   \n"
        "CHASSIS=laptop\n"
        "NOT_AN_ASSIGNMENT\n";
    EXPECT_EQ(prettyHostNameFromMachineInfo(machineInfo), "  padded inside  ");
    EXPECT_EQ(prettyHostNameFromMachineInfo("PRETTY_HOSTNAME=plain   \n"), "plain");
    EXPECT_EQ(prettyHostNameFromMachineInfo("PRETTY_HOSTNAME=first\nPRETTY_HOSTNAME=second\n"), "second");
    EXPECT_EQ(prettyHostNameFromMachineInfo("PRETTY_HOSTNAME_OLD=old\n"), std::nullopt);
}

TEST(PrettyHostNameTest, AnEmptyOrMissingValueIsNoName)
{
    EXPECT_EQ(prettyHostNameFromMachineInfo(""), std::nullopt);
    EXPECT_EQ(prettyHostNameFromMachineInfo("PRETTY_HOSTNAME=\n"), std::nullopt);
    EXPECT_EQ(prettyHostNameFromMachineInfo("PRETTY_HOSTNAME=\"\"\n"), std::nullopt);
    EXPECT_EQ(prettyHostNameFromMachineInfo("ICON_NAME=computer\n"), std::nullopt);
}

class UserVisibleHostNameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrio-host-name-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }

    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string write(const std::string& text)
    {
        auto path = folder_ / "machine-info";
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    std::filesystem::path folder_;
};

TEST_F(UserVisibleHostNameTest, PrefersThePrettyName)
{
    EXPECT_EQ(userVisibleHostName(write("PRETTY_HOSTNAME=\"Ada's 스튜디오\"\nICON_NAME=computer\n")), "Ada's 스튜디오");
}

TEST_F(UserVisibleHostNameTest, FallsBackToTheKernelHostName)
{
    EXPECT_EQ(userVisibleHostName((folder_ / "missing").string()), kernelHostName());
    EXPECT_EQ(userVisibleHostName(write("ICON_NAME=computer\n")), kernelHostName());
    EXPECT_EQ(userVisibleHostName(write("PRETTY_HOSTNAME=\n")), kernelHostName());
}

}  // namespace
}  // namespace kestrio::platform
