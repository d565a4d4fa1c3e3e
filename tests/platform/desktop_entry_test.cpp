#include "platform/linux/desktop_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace kestrio::platform {
namespace {

using namespace std::string_literals;

constexpr const char* mainGroup = "Desktop Entry";

DesktopEntry parsed(const std::string& text)
{
    auto entry = DesktopEntry::parse(text);
    EXPECT_TRUE(entry.has_value()) << text;
    return entry.value_or(DesktopEntry());
}

// --- Reading ---

TEST(DesktopEntryTest, ReadsValuesAsGlibDoes)
{
    auto entry = parsed("# leading comment\r\n"
                        "\n"
                        "[Desktop Entry]\r\n"
                        "  Type =\tApplication\n"
                        "Name=First\n"
                        "Name=Second\n"
                        "Name[ko]=키스트리오\n"
                        "Name[sr@latin]=Kestrio\n"
                        "Comment=\\sa\\tb\\nc\\rd\\\\e f \n"
                        "Keywords=one\\;two;three;\n"
                        "Broken=ends in \\\n"
                        "Unknown=\\q\n"
                        "   # indented comment\n"
                        "Empty=\n"
                        "Hidden=true  \n"
                        "Flag1=1\n"
                        "Flag0=0\n"
                        "FlagYes=yes\n"
                        "FlagTrue=True\n"
                        "[Other Group]\n"
                        "Name=Other\n"
                        "[Desktop Entry]  \n"
                        "Exec=kestrio\n"
                        "Hidden=false");

    EXPECT_EQ(entry.firstGroup(), "Desktop Entry");
    // Blanks around '=' do not count; the last of repeated keys holds, in repeated groups too.
    EXPECT_EQ(entry.stringValue(mainGroup, "Type"), "Application");
    EXPECT_EQ(entry.stringValue(mainGroup, "Name"), "Second");
    EXPECT_EQ(entry.stringValue(mainGroup, "Name[ko]"), "키스트리오");
    EXPECT_EQ(entry.stringValue(mainGroup, "Name[sr@latin]"), "Kestrio");
    EXPECT_EQ(entry.stringValue(mainGroup, "Exec"), "kestrio");
    EXPECT_EQ(entry.stringValue("Other Group", "Name"), "Other");
    EXPECT_EQ(entry.stringValue(mainGroup, "name"), std::nullopt);
    EXPECT_EQ(entry.stringValue("Other Group", "Type"), std::nullopt);

    EXPECT_EQ(entry.rawValue(mainGroup, "Comment"), "\\sa\\tb\\nc\\rd\\\\e f ");
    EXPECT_EQ(entry.stringValue(mainGroup, "Comment"), " a\tb\nc\rd\\e f ");
    EXPECT_EQ(entry.stringValue(mainGroup, "Keywords"), "one\\;two;three;");
    EXPECT_EQ(entry.stringValue(mainGroup, "Broken"), std::nullopt);
    EXPECT_EQ(entry.stringValue(mainGroup, "Unknown"), std::nullopt);
    EXPECT_EQ(entry.stringValue(mainGroup, "Empty"), "");
    EXPECT_TRUE(entry.hasKey(mainGroup, "Empty"));

    EXPECT_EQ(entry.boolValue(mainGroup, "Hidden"), false);
    EXPECT_EQ(entry.boolValue(mainGroup, "Flag1"), true);
    EXPECT_EQ(entry.boolValue(mainGroup, "Flag0"), false);
    EXPECT_EQ(entry.boolValue(mainGroup, "FlagYes"), std::nullopt);
    EXPECT_EQ(entry.boolValue(mainGroup, "FlagTrue"), std::nullopt);
    EXPECT_EQ(entry.boolValue(mainGroup, "Missing"), std::nullopt);
}

TEST(DesktopEntryTest, RefusesWhatIsNotAKeyFile)
{
    const std::pair<const char*, std::string> cases[] = {
        {"a line without '='", "[Desktop Entry]\nType=Application\nkestrio\n"},
        {"an entry before any group", "Type=Application\n[Desktop Entry]\n"},
        {"an empty key", "[Desktop Entry]\n=Application\n"},
        {"a blank inside the key before a locale", "[Desktop Entry]\nName [ko]=x\n"},
        {"an unclosed locale", "[Desktop Entry]\nName[ko=x\n"},
        {"an empty locale", "[Desktop Entry]\nName[]=x\n"},
        {"a bracket in the key", "[Desktop Entry]\nNa]me=x\n"},
        {"text after the locale", "[Desktop Entry]\nName[ko]x=x\n"},
        {"an unclosed group", "[Desktop Entry\nType=Application\n"},
        {"an empty group name", "[]\nType=Application\n"},
        {"a bracket in a group name", "[Desktop [Entry]\nType=Application\n"},
        {"text after a group header", "[Desktop Entry] x\nType=Application\n"},
        {"a control character in a group name", "[Desktop\x01 Entry]\n"},
        {"bytes that are not UTF-8", "[Desktop Entry]\nName=caf\xE9\n"},
        {"a NUL", "[Desktop Entry]\nName=a\0b\n"s},
    };
    for (const auto& [what, text] : cases)
        EXPECT_FALSE(DesktopEntry::parse(text).has_value()) << what;

    EXPECT_TRUE(DesktopEntry::parse("").has_value());
    EXPECT_TRUE(DesktopEntry::parse("# only a comment\n\n").has_value());
    EXPECT_EQ(DesktopEntry::parse("# only a comment\n")->firstGroup(), std::nullopt);
}

// --- Writing ---

TEST(DesktopEntryTest, WritesBackWhatItReadLineForLine)
{
    const std::string text = "# comment\n"
                             "\n"
                             "[Desktop Entry]\n"
                             "  Type = Application\n"
                             "Name[ko]=키스트리오\n"
                             "   # indented\n"
                             "\t\n"
                             "[X-Other]  \n"
                             "Key=a=b\n";
    EXPECT_EQ(parsed(text).text(), text);
    // Line ends become "\n", the last line included.
    EXPECT_EQ(parsed("[A]\r\nB=c\r\nD=e").text(), "[A]\nB=c\nD=e\n");
}

TEST(DesktopEntryTest, ChangesRewriteOnlyTheirOwnLines)
{
    auto entry = parsed("# user comment\n"
                        "[Desktop Entry]\n"
                        "Name = Old\n"
                        "X-Keep = as it was\n"
                        "Hidden=true\n"
                        "Name=Repeated\n"
                        "# trailing comment\n"
                        "\n"
                        "[X-Other]\n"
                        "Name=Other\n");
    EXPECT_TRUE(entry.setString(mainGroup, "Name", "Kestrio"));
    EXPECT_TRUE(entry.setString(mainGroup, "Exec", "kestrio"));
    EXPECT_TRUE(entry.setBool(mainGroup, "Terminal", false));
    entry.remove(mainGroup, "Hidden");
    entry.remove(mainGroup, "Absent");
    EXPECT_TRUE(entry.setString("X-New", "Key", "value"));
    EXPECT_EQ(entry.text(), "# user comment\n"
                            "[Desktop Entry]\n"
                            "Name=Kestrio\n"
                            "X-Keep = as it was\n"
                            "Exec=kestrio\n"
                            "Terminal=false\n"
                            "# trailing comment\n"
                            "\n"
                            "[X-Other]\n"
                            "Name=Other\n"
                            "\n"
                            "[X-New]\n"
                            "Key=value\n");
    EXPECT_EQ(entry.stringValue(mainGroup, "Name"), "Kestrio");
}

TEST(DesktopEntryTest, MakeFirstGroupMovesOrAddsTheGroup)
{
    auto moved = parsed("# header\n"
                        "[X-Other]\n"
                        "A=1\n"
                        "\n"
                        "[Desktop Entry]\n"
                        "# about the entry\n"
                        "Type=Application\n"
                        "[X-Last]\n"
                        "B=2\n");
    EXPECT_TRUE(moved.makeFirstGroup(mainGroup));
    EXPECT_EQ(moved.text(), "# header\n"
                            "[Desktop Entry]\n"
                            "# about the entry\n"
                            "Type=Application\n"
                            "\n"
                            "[X-Other]\n"
                            "A=1\n"
                            "\n"
                            "[X-Last]\n"
                            "B=2\n");
    EXPECT_EQ(moved.firstGroup(), "Desktop Entry");

    auto added = parsed("# header\n[X-Other]\nA=1\n");
    EXPECT_TRUE(added.makeFirstGroup(mainGroup));
    EXPECT_TRUE(added.setString(mainGroup, "Type", "Application"));
    EXPECT_EQ(added.text(), "# header\n[Desktop Entry]\nType=Application\n\n[X-Other]\nA=1\n");

    DesktopEntry empty;
    EXPECT_TRUE(empty.makeFirstGroup(mainGroup));
    EXPECT_TRUE(empty.makeFirstGroup(mainGroup));
    EXPECT_EQ(empty.text(), "[Desktop Entry]\n");
    EXPECT_FALSE(empty.makeFirstGroup("Bad]Name"));
}

TEST(DesktopEntryTest, StoredValuesReadBackUnchanged)
{
    const std::string values[] = {
        " leading and trailing ",
        "tab\tnew line\ncarriage\rback\\slash",
        "\\s is not an escape here",
        "키스트리오 · 민지‑의 폰",
        "semi;colons;",
        "",
    };
    DesktopEntry entry;
    for (std::size_t i = 0; i < std::size(values); ++i)
        ASSERT_TRUE(entry.setString(mainGroup, "X-Value" + std::to_string(i), values[i])) << i;
    auto reread = DesktopEntry::parse(entry.text());
    ASSERT_TRUE(reread.has_value()) << entry.text();
    for (std::size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(reread->stringValue(mainGroup, "X-Value" + std::to_string(i)), values[i]) << i;
}

TEST(DesktopEntryTest, RefusesChangesThatWouldNotReadBack)
{
    DesktopEntry entry = parsed("[Desktop Entry]\nName=Kestrio\n");
    const std::string before = entry.text();
    const std::pair<std::string, std::string> badKeys[] = {
        {mainGroup, ""}, {mainGroup, " Name"}, {mainGroup, "Name "}, {mainGroup, "Na=me"}, {mainGroup, "Name[ko"},
        {mainGroup, "Name[k o]"}, {mainGroup, "Name\nX"}, {"", "Name"}, {"A]B", "Name"}, {"A\nB", "Name"},
    };
    for (const auto& [group, key] : badKeys)
        EXPECT_FALSE(entry.setString(group, key, "x")) << group << " / " << key;
    EXPECT_FALSE(entry.setString(mainGroup, "Name", "caf\xE9"));
    EXPECT_FALSE(entry.setString(mainGroup, "Name", "a\0b"s));
    EXPECT_EQ(entry.text(), before);
}

// --- Exec arguments ---

TEST(DesktopEntryTest, ExecArgumentsAreQuotedOnlyWhenTheyNeedIt)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/usr/bin/kestrio", "/usr/bin/kestrio"},
        {"/opt/키스트리오/kestrio=1", "/opt/키스트리오/kestrio=1"},
        {"/opt/My Apps/kestrio", "\"/opt/My Apps/kestrio\""},
        {"/opt/100%/kestrio", "/opt/100%%/kestrio"},
        {"/opt/100% sure/kestrio", "\"/opt/100%% sure/kestrio\""},
        {R"(/a "b" `c` $d \e)", R"("/a \"b\" \`c\` \$d \\e")"},
        {"/it's/here", "\"/it's/here\""},
        {"/a~b|c&d;e*f?g#h(i)j<k>l", "\"/a~b|c&d;e*f?g#h(i)j<k>l\""},
        {"", "\"\""},
    };
    for (const auto& [argument, quoted] : cases)
        EXPECT_EQ(quoteExecArgument(argument), quoted) << argument;

    // The value's own escaping comes on top: a backslash is four in the file.
    DesktopEntry entry;
    ASSERT_TRUE(entry.setString(mainGroup, "Exec", quoteExecArgument(R"(/opt/a\b c/kestrio)")));
    EXPECT_EQ(entry.text(), "[Desktop Entry]\nExec=\"/opt/a\\\\\\\\b c/kestrio\"\n");
}

}  // namespace
}  // namespace kestrio::platform
