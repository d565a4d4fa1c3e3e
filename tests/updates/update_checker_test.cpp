#include "updates/feed_fakes.h"
#include "updates/update_checker.h"

#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

namespace kestrio::updates {
namespace {

using namespace std::chrono_literals;
using Kind = UpdateState::Kind;
using Seen = std::vector<std::pair<Kind, bool>>;
using Strings = std::vector<std::string>;

const std::string feedA = "https://updates.example.com/appcast.xml", feedB = "https://mirror.example.com/appcast.xml";

// Releases as (version, short version, download URL); each one's notes are at URL/notes.
FetchResult feedOf(const std::vector<std::array<std::string, 3>>& releases)
{
    std::string xml = R"(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>)";
    for (const auto& [version, shortVersion, url] : releases)
        xml += "<item><sparkle:version>" + version + "</sparkle:version><sparkle:shortVersionString>" + shortVersion
               + "</sparkle:shortVersionString><sparkle:releaseNotesLink>" + url + "/notes</sparkle:releaseNotesLink><enclosure url=\"" + url + "\"/></item>";
    return {true, 200, xml + "</channel></rss>", {}};
}

UpdateState found(Kind kind, std::string version, std::string url) { return {kind, std::move(version), url, url + "/notes", {}}; }
UpdateState failedWith(std::string text) { return {Kind::failed, {}, {}, {}, std::move(text)}; }

class UpdateCheckerTest : public testing::Test {
protected:
    std::unique_ptr<UpdateChecker> makeChecker()
    {
        auto checker = std::make_unique<UpdateChecker>(main, worker, fetcher, UpdateChecker::Options{.currentVersion = "1.2.0", .feedURL = feedA, .timeout = 2500ms});
        checker->observe([this, raw = checker.get()] { seen.emplace_back(raw->state().kind, raw->canCheckForUpdates()); });
        return checker;
    }
    void runAll()
    {
        while (worker->runUntilIdle() + main->runUntilIdle() > 0) {
        }
    }

    std::shared_ptr<runtime::ManualExecutor> main = std::make_shared<runtime::ManualExecutor>();
    std::shared_ptr<runtime::ManualExecutor> worker = std::make_shared<runtime::ManualExecutor>();
    std::shared_ptr<test::RecordingFeedFetcher> fetcher = std::make_shared<test::RecordingFeedFetcher>();
    Seen seen;  // the state's kind and whether a check could start, per notification
};

TEST_F(UpdateCheckerTest, ReportsWhatTheFeedSays)
{
    const std::pair<FetchResult, UpdateState> cases[] = {
        {feedOf({{"1.2.0", "1.2", "u120"}, {"1.1.0", "1.1", "u110"}}), found(Kind::upToDate, "1.2", "u120")},
        {feedOf({{"1.1", "", "u11"}, {"1.3.0", "1.3", "u13"}, {"1.2.1", "", "u121"}}), found(Kind::updateAvailable, "1.3", "u13")},
        {feedOf({{"1.2.1", "", "u121"}}), found(Kind::updateAvailable, "1.2.1", "u121")},
        {{true, 200, "<rss><channel><item>", {}}, failedWith("malformed feed")},
        {{true, 200, "<rss><channel><item><title>1.3</title></item></channel></rss>", {}}, failedWith("no versions in feed")},
        {{false, 0, {}, "timed out"}, failedWith("timed out")},
        {{}, failedWith("out of descriptors")},
    };
    for (const auto& [fetched, expected] : cases) {
        SCOPED_TRACE(expected.newestVersion + expected.failure);
        fetcher->result = fetched;
        fetcher->throwing = expected.failure == "out of descriptors";
        auto checker = makeChecker();
        checker->checkForUpdates();
        runAll();
        EXPECT_EQ(checker->state(), expected);
    }
}

TEST_F(UpdateCheckerTest, OneCheckAtATimeOnTheWorkerAndANewFeedURLDiscardsTheOldOutcome)
{
    fetcher->result = feedOf({{"9.0", "", "from-a"}});
    auto checker = makeChecker();
    checker->checkForUpdates();
    checker->checkForUpdates();
    checker->setFeedURL(feedA);
    EXPECT_EQ(checker->state().kind, Kind::checking);
    EXPECT_EQ(main->runUntilIdle(), 0u);
    EXPECT_EQ(worker->runUntilIdle(), 1u);
    // The outcome is on its way to the main executor when the URL changes.
    checker->setFeedURL(feedB);
    EXPECT_EQ(main->runUntilIdle(), 1u);
    EXPECT_EQ(checker->state(), UpdateState{});
    fetcher->result = {false, 500, {}, "HTTP 500"};
    checker->checkForUpdates();
    runAll();
    EXPECT_EQ(checker->state(), failedWith("HTTP 500"));
    EXPECT_EQ(fetcher->calls, (Strings{feedA + " 2500", feedB + " 2500"}));
    EXPECT_EQ(seen, (Seen{{Kind::checking, false}, {Kind::idle, true}, {Kind::checking, false}, {Kind::failed, true}}));

    checker->setFeedURL("");
    EXPECT_FALSE(checker->canCheckForUpdates());
    checker->checkForUpdates();
    EXPECT_EQ(worker->pendingTasks(), 0u);
}

TEST_F(UpdateCheckerTest, DestroyingTheCheckerMidCheckOrFromAnObserverDropsTheOutcome)
{
    fetcher->result = feedOf({{"1.3", "", "u13"}});
    auto early = makeChecker();
    early->checkForUpdates();
    early.reset();
    runAll();
    EXPECT_TRUE(fetcher->calls.empty());

    auto late = makeChecker();
    late->checkForUpdates();
    worker->runUntilIdle();
    late.reset();
    seen.clear();
    EXPECT_EQ(main->runUntilIdle(), 1u);
    EXPECT_TRUE(seen.empty());

    auto checker = makeChecker();
    int laterObserverCalls = 0;
    checker->observe([&] {
        if (checker->state().kind != Kind::checking)
            checker.reset();
    });
    checker->observe([&] { ++laterObserverCalls; });
    checker->checkForUpdates();
    runAll();
    EXPECT_EQ(checker, nullptr);
    EXPECT_EQ(laterObserverCalls, 1);
}

}  // namespace
}  // namespace kestrio::updates
