#include "platform/linux/desktop_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace kestrio::platform {
namespace {

using namespace std::string_literals;
constexpr const char* mainGroup = "Desktop Entry";

// Desktop entries are read as GLib reads key files.
TEST(DesktopEntryTest, ReadsValuesAsGlibDoesAndRefusesWhatIsNotAKeyFile)
{
    const auto entry = DesktopEntry::parse("# leading comment\r\n\n[Desktop Entry]\r\n  Type =\tApplication\nName=First\n"
                                           "Name=Second\nName[sr@latin]=Kestrio\nComment=\\sa\\tb\\nc\\rd\\\\e f \n"
                                           "Keywords=one\\;two;\nBroken=ends in \\\nUnknown=\\q\n   # indented\nEmpty=\n"
                                           "Hidden=true  \nFlag1=1\nFlagYes=yes\n[Other]\nName=Other\n"
                                           "[Desktop Entry]  \nExec=kestrio\nHidden=false");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->firstGroup(), "Desktop Entry");
    const std::pair<const char*, std::optional<std::string>> strings[] = {
        {"Type", "Application"}, {"Name", "Second"}, {"Name[sr@latin]", "Kestrio"}, {"Exec", "kestrio"},
        {"name", std::nullopt}, {"Comment", " a\tb\nc\rd\\e f "}, {"Keywords", "one\\;two;"},
        {"Broken", std::nullopt}, {"Unknown", std::nullopt}, {"Empty", ""},
    };
    for (const auto& [key, value] : strings)
        EXPECT_EQ(entry->stringValue(mainGroup, key), value) << key;
    EXPECT_EQ(entry->stringValue("Other", "Name"), "Other");
    EXPECT_EQ(entry->rawValue(mainGroup, "Comment"), "\\sa\\tb\\nc\\rd\\\\e f ");
    const std::pair<const char*, std::optional<bool>> flags[] = {
        {"Hidden", false}, {"Flag1", true}, {"FlagYes", std::nullopt}, {"Missing", std::nullopt}};
    for (const auto& [key, value] : flags)
        EXPECT_EQ(entry->boolValue(mainGroup, key), value) << key;

    for (const std::string& text :
         {"[Desktop Entry]\nkestrio\n"s, "Type=Application\n[Desktop Entry]\n"s, "[Desktop Entry]\n=Application\n"s,
          "[Desktop Entry]\nName [ko]=x\n"s, "[Desktop Entry]\nName[ko=x\n"s, "[Desktop Entry]\nName[]=x\n"s,
          "[Desktop Entry]\nNa]me=x\n"s, "[Desktop Entry]\nName[ko]x=x\n"s, "[Desktop Entry\n"s, "[]\n"s,
          "[Desktop [Entry]\n"s, "[Desktop Entry] x\n"s, "[Desktop\x01 Entry]\n"s, "[Desktop Entry]\nName=caf\xE9\n"s,
          "[Desktop Entry]\nName=a\0b\n"s})
        EXPECT_FALSE(DesktopEntry::parse(text).has_value()) << text;
}

TEST(DesktopEntryTest, ChangesRewriteOnlyTheirOwnLinesAndReadBackUnchanged)
{
    auto entry = DesktopEntry::parse("# user comment\n[X-Other]\nA=1\n\n[Desktop Entry]\r\nName = Old\n  X-Keep = as it was\n"
                                     "Hidden=true\nName=Repeated\n# trailing comment\n");
    ASSERT_TRUE(entry.has_value());
    EXPECT_TRUE(entry->makeFirstGroup(mainGroup));
    EXPECT_TRUE(entry->setString(mainGroup, "Name", "Kestrio"));
    EXPECT_TRUE(entry->setBool(mainGroup, "Terminal", false));
    entry->remove(mainGroup, "Hidden");
    EXPECT_EQ(entry->text(), "# user comment\n[Desktop Entry]\nName=Kestrio\n  X-Keep = as it was\nTerminal=false\n"
                             "# trailing comment\n\n[X-Other]\nA=1\n\n");
    const std::string values[] = {" leading and trailing ", "tab\tnew line\ncarriage\rback\\slash",
                                  "\\s is not an escape here", "키스트리오 · 민지‑의 폰", "semi;colons;", ""};
    for (std::size_t i = 0; i < std::size(values); ++i)
        ASSERT_TRUE(entry->setString("X-New", "V" + std::to_string(i), values[i])) << i;
    const auto reread = DesktopEntry::parse(entry->text());
    ASSERT_TRUE(reread.has_value());
    for (std::size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(reread->stringValue("X-New", "V" + std::to_string(i)), values[i]) << i;

    auto added = DesktopEntry::parse("# header\n[X-Other]\nA=1\n");
    ASSERT_TRUE(added && added->makeFirstGroup(mainGroup) && added->setString(mainGroup, "Type", "Application"));
    EXPECT_EQ(added->text(), "# header\n[Desktop Entry]\nType=Application\n\n[X-Other]\nA=1\n");

    // Nothing is written that would not read back.
    const std::string before = entry->text();
    for (const auto& [group, key, value] : std::initializer_list<std::tuple<std::string, std::string, std::string>>{
             {mainGroup, "", "x"}, {mainGroup, " Name", "x"}, {mainGroup, "Na=me", "x"}, {mainGroup, "Name[k o]", "x"},
             {mainGroup, "Name\nX", "x"}, {"", "Name", "x"}, {"A]B", "Name", "x"}, {mainGroup, "Name", "caf\xE9"},
             {mainGroup, "Name", "a\0b"s}})
        EXPECT_FALSE(entry->setString(group, key, value)) << group << " / " << key;
    EXPECT_FALSE(entry->makeFirstGroup("Bad]Name"));
    EXPECT_EQ(entry->text(), before);
}

TEST(DesktopEntryTest, ExecArgumentsAreQuotedOnlyWhenTheyNeedIt)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/opt/키스트리오/kestrio=1", "/opt/키스트리오/kestrio=1"},
        {"/opt/100%/kestrio", "/opt/100%%/kestrio"},
        {"/opt/100% sure/kestrio", "\"/opt/100%% sure/kestrio\""},
        {R"(/a "b" `c` $d \e)", R"("/a \"b\" \`c\` \$d \\e")"},
        {"/a'~b|c&d;e*f?g#h(i)j<k>l", "\"/a'~b|c&d;e*f?g#h(i)j<k>l\""},
        {"", "\"\""},
    };
    for (const auto& [argument, quoted] : cases)
        EXPECT_EQ(quoteExecArgument(argument), quoted) << argument;
}

}  // namespace
}  // namespace kestrio::platform
