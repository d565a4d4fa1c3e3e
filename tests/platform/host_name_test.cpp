#include "platform/linux/host_name.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>

namespace kestrio::platform {
namespace {

// /etc/machine-info is read as the shell would read its assignments.
TEST(HostNameTest, ReadsThePrettyNameAsTheShellWould)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"PRETTY_HOSTNAME=\"Ada's Laptop\"\n", "Ada's Laptop"},
        // No newline at the end; UTF-8 passes through untouched.
        {"PRETTY_HOSTNAME=\"스튜디오 · 맥‑북\"", "스튜디오 · 맥‑북"},
        {R"(PRETTY_HOSTNAME="A \"quoted\" \\ \$name")", R"(A "quoted" \ $name)"},
        // Inside double quotes, other backslashes stay; inside single quotes nothing is escaped.
        {R"(PRETTY_HOSTNAME="C:\temp")", R"(C:\temp)"},
        {R"(PRETTY_HOSTNAME=Ada\'s\ Laptop)", "Ada's Laptop"},
        {R"(PRETTY_HOSTNAME='a\b')", R"(a\b)"},
        {"PRETTY_HOSTNAME=\"two \\\nlines\"\n", "two lines"},
        {"# PRETTY_HOSTNAME=commented\n; PRETTY_HOSTNAME=also\n\nICON_NAME=computer\n"
         "  PRETTY_HOSTNAME = \"  padded inside  \"   \nNOT_AN_ASSIGNMENT\n",
         "  padded inside  "},
        {"PRETTY_HOSTNAME=first\nPRETTY_HOSTNAME=second\n", "second"},
        {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
    };
    for (const auto& [text, name] : cases)
        EXPECT_EQ(prettyHostNameFromMachineInfo(text), name) << text;
}

TEST(HostNameTest, PrefersThePrettyNameOverTheKernelHostName)
{
    test::TemporaryDirectory folder;
    ASSERT_FALSE(folder.path().empty());
    char kernel[HOST_NAME_MAX + 1] = {};
    gethostname(kernel, sizeof kernel - 1);
    const auto file = folder.path() / "machine-info";
    EXPECT_EQ(userVisibleHostName(file.string()), kernel) << "no file";
    for (const auto& [text, name] : {std::pair<std::string, std::string>{"PRETTY_HOSTNAME=\"Ada's 스튜디오\"\n", "Ada's 스튜디오"},
                                     {"PRETTY_HOSTNAME=\n", kernel}}) {
        std::ofstream(file, std::ios::binary) << text;
        EXPECT_EQ(userVisibleHostName(file.string()), name) << text;
    }
}

}  // namespace
}  // namespace kestrio::platform
