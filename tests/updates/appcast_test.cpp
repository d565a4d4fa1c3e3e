#include "updates/appcast.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrio::updates {
namespace {

std::string feed(const std::string& items, const std::string& declarations = R"( xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle")")
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

TEST(AppcastTest, VersionsFallBackToTheEnclosureAndItemsWithoutOneAreSkipped)
{
    const auto items = parseAppcast(feed(R"(
    <item>
      <title>from the enclosure</title>
      <enclosure url="https://example.com/a.tar.gz" sparkle:version="7" sparkle:shortVersionString="0.7"/>
    </item>
    <item>
      <title>element wins</title>
      <sparkle:version>9</sparkle:version>
      <enclosure url="https://example.com/b.tar.gz" sparkle:version="8"/>
    </item>
    <item>
      <title>no version</title>
      <enclosure url="https://example.com/c.tar.gz"/>
    </item>
    <item>
      <title>empty version</title>
      <sparkle:version>   </sparkle:version>
    </item>
    <item>
      <title>unprefixed attribute is not the feed's</title>
      <enclosure url="https://example.com/d.tar.gz" version="10"/>
    </item>)"));
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 2u);
    EXPECT_EQ((*items)[0].title, "from the enclosure");
    EXPECT_EQ((*items)[0].version, "7");
    EXPECT_EQ((*items)[0].shortVersion, "0.7");
    EXPECT_EQ((*items)[1].title, "element wins");
    EXPECT_EQ((*items)[1].version, "9");
    EXPECT_EQ((*items)[1].downloadURL, "https://example.com/b.tar.gz");
}

// The prefix is the feed's choice; only the namespace it stands for counts.
TEST(AppcastTest, MatchesExtensionsByNamespaceNotByPrefix)
{
    const auto items = parseAppcast(R"(<rss version="2.0" xmlns:s="http://www.andymatuschak.org/xml-namespaces/sparkle"
                                          xmlns:sparkle="https://example.com/not-it">
  <channel>
    <item><title>other prefix</title><s:version>1</s:version><enclosure url="u1" s:shortVersionString="one"/></item>
    <item><title>wrong namespace</title><sparkle:version>2</sparkle:version></item>
    <item><title>wrong namespace on the enclosure</title><enclosure url="u3" sparkle:version="3"/></item>
    <item><title>declared on the item</title>
      <u:version xmlns:u="http://www.andymatuschak.org/xml-namespaces/sparkle">4</u:version></item>
    <item><title>default namespace</title>
      <version xmlns="http://www.andymatuschak.org/xml-namespaces/sparkle">5</version></item>
    <item><title>unbound prefix</title><x:version>6</x:version></item>
  </channel>
</rss>)");
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 3u);
    EXPECT_EQ((*items)[0].version, "1");
    EXPECT_EQ((*items)[0].shortVersion, "one");
    EXPECT_EQ((*items)[1].version, "4");
    EXPECT_EQ((*items)[2].version, "5");
}

TEST(AppcastTest, PassesOverEnclosuresForOtherSystems)
{
    const auto items = parseAppcast(feed(R"(
    <item><sparkle:version>1</sparkle:version><enclosure url="mac" sparkle:os="macos"/></item>
    <item><sparkle:version>2</sparkle:version><enclosure url="win" sparkle:os="windows"/></item>
    <item><sparkle:version>3</sparkle:version><enclosure url="linux" sparkle:os="Linux"/></item>
    <item><sparkle:version>4</sparkle:version><enclosure url="any"/></item>
    <item>
      <sparkle:version>5</sparkle:version>
      <enclosure url="mac5" sparkle:os="macos"/>
      <enclosure url="linux5" sparkle:os="linux"/>
    </item>
    <item>
      <enclosure url="mac6" sparkle:os="macos" sparkle:version="6"/>
      <enclosure url="any6" sparkle:version="6.1"/>
    </item>)"));
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 4u);
    EXPECT_EQ((*items)[0].downloadURL, "linux");
    EXPECT_EQ((*items)[1].downloadURL, "any");
    EXPECT_EQ((*items)[2].downloadURL, "linux5");
    // The version attribute comes from the enclosure that was chosen.
    EXPECT_EQ((*items)[3].downloadURL, "any6");
    EXPECT_EQ((*items)[3].version, "6.1");
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
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
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
