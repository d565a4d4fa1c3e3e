#include "updates/appcast.h"
#include "updates/version_compare.h"

#include <gtest/gtest.h>

namespace kestrio::updates {
namespace {

#define SPARKLE "http://www.andymatuschak.org/xml-namespaces/sparkle"

std::string feed(const std::string& items, const std::string& declarations = " xmlns:sparkle=\"" SPARKLE "\"")
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\"" + declarations + "><channel><title>Kestrio</title>" + items
           + "</channel></rss>";
}

// Items as "version|short version|title|download|release notes"; nothing: no feed at all.
TEST(AppcastTest, ReadsItemsForThisSystemOrRejectsWhatIsNotAnRssChannel)
{
    using Items = std::optional<std::vector<std::string>>;
    const std::pair<std::string, Items> cases[] = {
        {feed(R"(<item><title>Kestrio 1.3</title><link>https://example.com/kestrio</link><sparkle:version>130</sparkle:version>
              <sparkle:shortVersionString>1.3</sparkle:shortVersionString>
              <sparkle:releaseNotesLink>https://example.com/notes/1.3.html</sparkle:releaseNotesLink>
              <enclosure url="https://example.com/kestrio-1.3.tar.gz" length="1024" type="application/octet-stream"/></item>
              <item><title><![CDATA[Kestrio 1.2 — “안정”]]></title><link>
                https://example.com/kestrio-1.2
              </link><sparkle:version> 120 </sparkle:version></item>)"),
         Items{{"130|1.3|Kestrio 1.3|https://example.com/kestrio-1.3.tar.gz|https://example.com/notes/1.3.html",
                "120||Kestrio 1.2 — “안정”|https://example.com/kestrio-1.2|"}}},
        {"", std::nullopt},
        {feed("<item><sparkle:version>1</sparkle:version></item>").substr(0, 120), std::nullopt},
        {"<rss version=\"2.0\"/>", std::nullopt},
        {"<html><body>Sign in to continue</body></html>", std::nullopt},
        {feed(""), Items{std::vector<std::string>{}}},
        // A feed's DTD must not pull in files or expand into something large.
        {R"(<?xml version="1.0"?><!DOCTYPE rss [
  <!ENTITY secret SYSTEM "file:///etc/hostname">
  <!ENTITY a "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa">
  <!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
]><rss version="2.0" xmlns:sparkle=")" SPARKLE R"("><channel><item><title>&secret;&b;</title><sparkle:version>1</sparkle:version></item></channel></rss>)",
         Items{{"1||&secret;&b;||"}}},
        // Texts print as one line without reaching the terminal's controls.
        {feed("<item><title>Kestrio\x1b[2J 2.0\n\xE2\x80\xAE" "evil</title><sparkle:version>2.0&#10;update available: 9.9</sparkle:version>"
              "<sparkle:shortVersionString>&#x9b;&#7;</sparkle:shortVersionString><link> https://example.com/\xC2\x9B" "31m&#13;</link></item>"
              "<item><sparkle:version>&#x202E;&#9;</sparkle:version></item>"),
         Items{{"2.0 update available: 9.9||Kestrio[2J 2.0 evil|https://example.com/31m|"}}},
        {feed(R"(<item><enclosure url="a" sparkle:version="7" sparkle:shortVersionString="0.7"/></item>)"
              R"(<item><sparkle:version>9</sparkle:version><enclosure url="b" sparkle:version="8"/></item>)"
              R"(<item><enclosure url="c"/></item><item><sparkle:version>  </sparkle:version></item><item><enclosure url="d" version="10"/></item>)"),
         Items{{"7|0.7||a|", "9|||b|"}}},
        {feed(R"(<item><sparkle:version>1</sparkle:version><enclosure url="mac" sparkle:os="macos"/></item>)"
              R"(<item><sparkle:version>2</sparkle:version><enclosure url="win" sparkle:os="windows"/></item>)"
              R"(<item><sparkle:version>3</sparkle:version><enclosure url="linux" sparkle:os="Linux"/></item>)"
              R"(<item><sparkle:version>4</sparkle:version><enclosure url="any"/></item>)"
              R"(<item><sparkle:version>5</sparkle:version><enclosure url="mac5" sparkle:os="macos"/><enclosure url="linux5" sparkle:os="linux"/></item>)"
              R"(<item><enclosure url="mac6" sparkle:os="macos" sparkle:version="6"/><enclosure url="any6" sparkle:version="6.1"/></item>)"),
         Items{{"3|||linux|", "4|||any|", "5|||linux5|", "6.1|||any6|"}}},
        // The prefix is the feed's choice; only the namespace it stands for counts.
        {feed(R"(<item><s:version>1</s:version><enclosure url="u1"/></item><item><sparkle:version>2</sparkle:version></item>)"
              R"(<item><enclosure url="u3" sparkle:version="3"/></item><item><u:version xmlns:u=")" SPARKLE R"(">4</u:version></item>)"
              R"(<item><version xmlns=")" SPARKLE R"(">5</version></item><item><x:version>6</x:version></item>)",
              " xmlns:s=\"" SPARKLE "\" xmlns:sparkle=\"https://example.com/not-it\""),
         Items{{"1|||u1|", "4||||", "5||||"}}},
    };
    for (const auto& [text, expected] : cases) {
        Items found;
        if (const auto items = parseAppcast(text))
            for (found.emplace(); const auto& i : *items)
                found->push_back(i.version + "|" + i.shortVersion + "|" + i.title + "|" + i.downloadURL + "|" + i.releaseNotesURL);
        EXPECT_EQ(found, expected) << text;
    }
}

TEST(AppcastTest, NewestItemOrdersByVersionAndKeepsTheFirstOfEquals)
{
    EXPECT_FALSE(newestItem({}));
    std::vector<AppcastItem> items;
    for (const auto& [version, shortVersion] : {std::pair{"1.9", "first 1.9"}, {"1.10", "first 1.10"}, {"1.10.0", "second 1.10"}, {"1.10-beta", "beta"}, {"1.2", "9.9"}})
        items.push_back({version, shortVersion, {}, {}, {}});
    EXPECT_EQ(newestItem(items)->shortVersion, "first 1.10");
}

// Each pair is compared both ways, which also shows the order is antisymmetric.
TEST(VersionCompareTest, OrdersPairsAndIgnoresZerosPaddingAndDecoration)
{
    struct Case {
        std::string older, newer;
        int order;  // -1: older < newer, 0: equal
    };
    const std::string forty = "1234567890123456789012345678901234567890";
    const std::vector<Case> cases = {
        {"1.9", "1.10", -1}, {"1.2", "1.2.1", -1}, {"2.0-beta", "2.0", -1}, {"1.2b1", "1.2.0.1", -1},
        {"2.0-beta2", "2.0-beta10", -1}, {"2.0-1", "2.0-beta", -1}, {"1." + forty, "1." + forty.substr(0, 39) + "1", -1},
        {"1" + forty, forty + "9", -1}, {"01.2.0.0", "1.2", 0}, {"1.2.0-beta2", "1.2-beta2", 0}, {"2.0-BETA.1", "2.0beta1", 0},
        {" v1.2\n", "1.2", 0}, {"1.2-rc1+7", "1.2-rc1+8", 0}, {"1.000" + forty, "1." + forty, 0},
    };
    const auto sign = [](int value) { return (value > 0) - (value < 0); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.older + " / " + c.newer);
        EXPECT_EQ(sign(compareVersions(c.older, c.newer)), c.order);
        EXPECT_EQ(sign(compareVersions(c.newer, c.older)), -c.order);
    }

    // Feeds are written by hand; nothing in them may crash or hang the comparison.
    const std::vector<std::string> odd = {
        "...1", "-", "1.-2", "\xff\xfe", std::string(10000, '9'), std::string(10000, '.'), std::string("1\0002", 3),
    };
    for (const auto& a : odd)
        for (const auto& b : odd)
            EXPECT_EQ(compareVersions(a, b), -compareVersions(b, a)) << a << " / " << b;
}

}  // namespace
}  // namespace kestrio::updates
