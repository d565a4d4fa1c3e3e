#include "updates/appcast.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace kestrio::updates {
namespace {

#define SPARKLE "http://www.andymatuschak.org/xml-namespaces/sparkle"

std::string feed(const std::string& items, const std::string& declarations = " xmlns:sparkle=\"" SPARKLE "\"")
{
    return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0")" + declarations + R"(>
  <channel>
    <title>Kestrio</title>
)" + items + R"(
  </channel>
</rss>)";
}

TEST(AppcastTest, ReadsItemsInFeedOrder)
{
    const auto items = parseAppcast(feed(R"(
    <item>
      <title>Kestrio 1.3</title>
      <link>https://example.com/kestrio</link>
      <sparkle:version>130</sparkle:version>
      <sparkle:shortVersionString>1.3</sparkle:shortVersionString>
      <sparkle:releaseNotesLink>https://example.com/notes/1.3.html</sparkle:releaseNotesLink>
      <enclosure url="https://example.com/kestrio-1.3.tar.gz" length="1024" type="application/octet-stream"/>
    </item>
    <item>
      <title><![CDATA[Kestrio 1.2 — “안정”]]></title>
      <link>
        https://example.com/kestrio-1.2
      </link>
      <sparkle:version> 120 </sparkle:version>
    </item>)"));
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 2u);
    EXPECT_EQ((*items)[0], (AppcastItem{"130", "1.3", "Kestrio 1.3", "https://example.com/kestrio-1.3.tar.gz",
                                        "https://example.com/notes/1.3.html"}));
    // Without an enclosure the link is where the release is; values are trimmed.
    EXPECT_EQ((*items)[1], (AppcastItem{"120", "", "Kestrio 1.2 — “안정”", "https://example.com/kestrio-1.2", ""}));
}

// Which items count and which version and download each gives: (version, download URL) pairs.
TEST(AppcastTest, VersionsAndDownloadsComeFromTheElementOrTheEnclosureForThisSystem)
{
    using Found = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* name;
        std::string items;
        Found found;
        std::string declarations = " xmlns:sparkle=\"" SPARKLE "\"";
    };
    const Case cases[] = {
        {"from the enclosure", R"(<item><enclosure url="a" sparkle:version="7"/></item>)", {{"7", "a"}}},
        {"element wins", R"(<item><sparkle:version>9</sparkle:version><enclosure url="b" sparkle:version="8"/></item>)",
         {{"9", "b"}}},
        {"no version, empty version, unprefixed attribute",
         R"(<item><enclosure url="c"/></item><item><sparkle:version>  </sparkle:version></item>)"
         R"(<item><enclosure url="d" version="10"/></item>)",
         {}},
        {"other systems passed over",
         R"(<item><sparkle:version>1</sparkle:version><enclosure url="mac" sparkle:os="macos"/></item>)"
         R"(<item><sparkle:version>2</sparkle:version><enclosure url="win" sparkle:os="windows"/></item>)"
         R"(<item><sparkle:version>3</sparkle:version><enclosure url="linux" sparkle:os="Linux"/></item>)"
         R"(<item><sparkle:version>4</sparkle:version><enclosure url="any"/></item>)",
         {{"3", "linux"}, {"4", "any"}}},
        {"the enclosure for this system among others",
         R"(<item><sparkle:version>5</sparkle:version><enclosure url="mac5" sparkle:os="macos"/>)"
         R"(<enclosure url="linux5" sparkle:os="linux"/></item>)"
         R"(<item><enclosure url="mac6" sparkle:os="macos" sparkle:version="6"/><enclosure url="any6" sparkle:version="6.1"/></item>)",
         {{"5", "linux5"}, {"6.1", "any6"}}},
        // The prefix is the feed's choice; only the namespace it stands for counts.
        {"by namespace, not by prefix",
         R"(<item><s:version>1</s:version><enclosure url="u1"/></item><item><sparkle:version>2</sparkle:version></item>)"
         R"(<item><enclosure url="u3" sparkle:version="3"/></item><item><u:version xmlns:u=")" SPARKLE R"(">4</u:version></item>)"
         R"(<item><version xmlns=")" SPARKLE R"(">5</version></item><item><x:version>6</x:version></item>)",
         {{"1", "u1"}, {"4", ""}, {"5", ""}},
         " xmlns:s=\"" SPARKLE "\" xmlns:sparkle=\"https://example.com/not-it\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto items = parseAppcast(feed(c.items, c.declarations));
        ASSERT_TRUE(items);
        Found found;
        for (const auto& item : *items)
            found.emplace_back(item.version, item.downloadURL);
        EXPECT_EQ(found, c.found);
    }
    const auto attributes = parseAppcast(feed(R"(<item><enclosure url="a" sparkle:version="7" sparkle:shortVersionString="0.7"/></item>)"));
    EXPECT_EQ(attributes->front().shortVersion, "0.7");
}

TEST(AppcastTest, RejectsWhatIsNotAnRssChannel)
{
    EXPECT_FALSE(parseAppcast(""));
    EXPECT_FALSE(parseAppcast(feed("<item><sparkle:version>1</sparkle:version></item>").substr(0, 200)));
    EXPECT_FALSE(parseAppcast("<rss version=\"2.0\"/>"));
    EXPECT_FALSE(parseAppcast("<html><body>Sign in to continue</body></html>"));

    // A channel with nothing usable is a feed, just an empty one.
    const auto empty = parseAppcast(feed(""));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

// A feed's DTD must not pull in files or expand into something large.
TEST(AppcastTest, LeavesDocumentTypeEntitiesUnexpanded)
{
    const auto items = parseAppcast(R"(<?xml version="1.0"?>
<!DOCTYPE rss [
  <!ENTITY secret SYSTEM "file:///etc/hostname">
  <!ENTITY a "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa">
  <!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
]>
<rss version="2.0" xmlns:sparkle=")" SPARKLE R"(">
  <channel><item><title>&secret;&b;</title><sparkle:version>1</sparkle:version></item></channel>
</rss>)");
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 1u);
    EXPECT_EQ((*items)[0].title, "&secret;&b;");
}

// Whatever a feed holds, its texts print as one line without reaching the terminal's controls.
TEST(AppcastTest, TextsComeWithoutControlsOrDirectionMarks)
{
    const auto items = parseAppcast(feed(
        "<item><title>Kestrio\x1b[2J 2.0\n\xE2\x80\xAE" "evil</title>"
        "<sparkle:version>2.0&#10;update available: 9.9</sparkle:version>"
        "<sparkle:shortVersionString>&#x9b;&#7;</sparkle:shortVersionString>"
        "<link> https://example.com/\xC2\x9B" "31m&#13;</link></item>"
        "<item><sparkle:version>&#x202E;&#9;</sparkle:version></item>"));
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 1u);
    EXPECT_EQ((*items)[0], (AppcastItem{"2.0 update available: 9.9", "", "Kestrio[2J 2.0 evil", "https://example.com/31m", ""}));
}

TEST(AppcastTest, NewestItemOrdersByVersionAndKeepsTheFirstOfEquals)
{
    EXPECT_FALSE(newestItem({}));

    const std::vector<AppcastItem> items = {
        {"1.9", "first 1.9", "", "", ""},
        {"1.10", "first 1.10", "", "", ""},
        {"1.10.0", "second 1.10", "", "", ""},
        {"1.10-beta", "beta", "", "", ""},
        {"1.2", "9.9", "", "", ""},
    };
    const auto newest = newestItem(items);
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->shortVersion, "first 1.10");
}

}  // namespace
}  // namespace kestrio::updates
