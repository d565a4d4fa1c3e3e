#include "platform/linux/host_name.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <unistd.h>

namespace kestrio::platform {
namespace {

// /etc/machine-info is read as the shell would read its assignments.
TEST(HostNameTest, ReadsThePrettyNameAsTheShellWouldAndPrefersItToTheKernelName)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"PRETTY_HOSTNAME=\"스튜디오 · 맥‑북\"", "스튜디오 · 맥‑북"},
        {R"(PRETTY_HOSTNAME="A \"quoted\" \\ \$name C:\temp")", R"(A "quoted" \ $name C:\temp)"},
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

    test::TemporaryDirectory folder;
    char kernel[HOST_NAME_MAX + 1] = {};
    gethostname(kernel, sizeof kernel - 1);
    const auto file = (folder.path() / "machine-info").string();
    EXPECT_EQ(userVisibleHostName(file), kernel) << "no file";
    std::ofstream(file) << "PRETTY_HOSTNAME=\"Ada's 스튜디오\"\n";
    EXPECT_EQ(userVisibleHostName(file), "Ada's 스튜디오");
}

}  // namespace
}  // namespace kestrio::platform
