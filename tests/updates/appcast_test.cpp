#include "updates/appcast.h"

#include <gtest/gtest.h>

#include <optional>
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

// Whole items as read, or no feed at all.
TEST(AppcastTest, ReadsItemsOrRejectsWhatIsNotAnRssChannel)
{
    using Items = std::optional<std::vector<AppcastItem>>;
    const std::pair<std::string, Items> cases[] = {
        {feed(R"(
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
    </item>)"),
         Items{{{"130", "1.3", "Kestrio 1.3", "https://example.com/kestrio-1.3.tar.gz", "https://example.com/notes/1.3.html"},
                {"120", "", "Kestrio 1.2 — “안정”", "https://example.com/kestrio-1.2", ""}}}},
        {"", std::nullopt},
        {feed("<item><sparkle:version>1</sparkle:version></item>").substr(0, 200), std::nullopt},
        {"<rss version=\"2.0\"/>", std::nullopt},
        {"<html><body>Sign in to continue</body></html>", std::nullopt},
        {feed(""), Items{std::vector<AppcastItem>{}}},
        // A feed's DTD must not pull in files or expand into something large.
        {R"(<?xml version="1.0"?>
<!DOCTYPE rss [
  <!ENTITY secret SYSTEM "file:///etc/hostname">
  <!ENTITY a "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa">
  <!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
]>
<rss version="2.0" xmlns:sparkle=")" SPARKLE R"(">
  <channel><item><title>&secret;&b;</title><sparkle:version>1</sparkle:version></item></channel>
</rss>)",
         Items{{{"1", "", "&secret;&b;", "", ""}}}},
        // Texts print as one line without reaching the terminal's controls.
        {feed("<item><title>Kestrio\x1b[2J 2.0\n\xE2\x80\xAE" "evil</title>"
              "<sparkle:version>2.0&#10;update available: 9.9</sparkle:version>"
              "<sparkle:shortVersionString>&#x9b;&#7;</sparkle:shortVersionString>"
              "<link> https://example.com/\xC2\x9B" "31m&#13;</link></item>"
              "<item><sparkle:version>&#x202E;&#9;</sparkle:version></item>"),
         Items{{{"2.0 update available: 9.9", "", "Kestrio[2J 2.0 evil", "https://example.com/31m", ""}}}},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(parseAppcast(text), expected) << text;
}

// Which items count and which version and download each gives: (version, download URL) pairs.
TEST(AppcastTest, VersionsAndDownloadsComeFromTheElementOrTheEnclosureForThisSystem)
{
    using Found = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        std::string items;
        Found found;
        std::string declarations = " xmlns:sparkle=\"" SPARKLE "\"";
    };
    const Case cases[] = {
        {R"(<item><enclosure url="a" sparkle:version="7"/></item>)", {{"7", "a"}}},
        {R"(<item><sparkle:version>9</sparkle:version><enclosure url="b" sparkle:version="8"/></item>)", {{"9", "b"}}},
        {R"(<item><enclosure url="c"/></item><item><sparkle:version>  </sparkle:version></item>)"
         R"(<item><enclosure url="d" version="10"/></item>)",
         {}},
        {R"(<item><sparkle:version>1</sparkle:version><enclosure url="mac" sparkle:os="macos"/></item>)"
         R"(<item><sparkle:version>2</sparkle:version><enclosure url="win" sparkle:os="windows"/></item>)"
         R"(<item><sparkle:version>3</sparkle:version><enclosure url="linux" sparkle:os="Linux"/></item>)"
         R"(<item><sparkle:version>4</sparkle:version><enclosure url="any"/></item>)",
         {{"3", "linux"}, {"4", "any"}}},
        {R"(<item><sparkle:version>5</sparkle:version><enclosure url="mac5" sparkle:os="macos"/>)"
         R"(<enclosure url="linux5" sparkle:os="linux"/></item>)"
         R"(<item><enclosure url="mac6" sparkle:os="macos" sparkle:version="6"/><enclosure url="any6" sparkle:version="6.1"/></item>)",
         {{"5", "linux5"}, {"6.1", "any6"}}},
        // The prefix is the feed's choice; only the namespace it stands for counts.
        {R"(<item><s:version>1</s:version><enclosure url="u1"/></item><item><sparkle:version>2</sparkle:version></item>)"
         R"(<item><enclosure url="u3" sparkle:version="3"/></item><item><u:version xmlns:u=")" SPARKLE R"(">4</u:version></item>)"
         R"(<item><version xmlns=")" SPARKLE R"(">5</version></item><item><x:version>6</x:version></item>)",
         {{"1", "u1"}, {"4", ""}, {"5", ""}},
         " xmlns:s=\"" SPARKLE "\" xmlns:sparkle=\"https://example.com/not-it\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.items);
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

TEST(AppcastTest, NewestItemOrdersByVersionAndKeepsTheFirstOfEquals)
{
    EXPECT_FALSE(newestItem({}));
    const auto newest = newestItem({{"1.9", "first 1.9", "", "", ""},
                                    {"1.10", "first 1.10", "", "", ""},
                                    {"1.10.0", "second 1.10", "", "", ""},
                                    {"1.10-beta", "beta", "", "", ""},
                                    {"1.2", "9.9", "", "", ""}});
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->shortVersion, "first 1.10");
}

}  // namespace
}  // namespace kestrio::updates
