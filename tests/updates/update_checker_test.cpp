#include "updates/update_checker.h"

#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kestrio::updates {
namespace {

using namespace std::chrono_literals;
using Kind = UpdateState::Kind;
using Seen = std::vector<std::pair<Kind, bool>>;

constexpr const char* feedA = "https://updates.example.com/appcast.xml";
constexpr const char* feedB = "https://mirror.example.com/appcast.xml";

// Answers by URL (unknown: 404) and records each call.
struct FakeFetcher final : FeedFetcher {
    FetchResult fetch(const std::string& url, std::chrono::milliseconds timeout) override
    {
        calls.emplace_back(url, timeout);
        if (throwing)
            throw std::runtime_error(*throwing);
        const auto found = results.find(url);
        return found != results.end() ? found->second : FetchResult{false, 404, {}, "HTTP 404"};
    }
    std::map<std::string, FetchResult> results;
    std::optional<std::string> throwing;
    std::vector<std::pair<std::string, std::chrono::milliseconds>> calls;
};

// Releases as (version, short version, download URL); each one's notes are at URL/notes.
FetchResult feedOf(const std::vector<std::array<std::string, 3>>& releases)
{
    std::string xml = R"(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>)";
    for (const auto& [version, shortVersion, url] : releases)
        xml += "<item><sparkle:version>" + version + "</sparkle:version><sparkle:shortVersionString>" + shortVersion
               + "</sparkle:shortVersionString><sparkle:releaseNotesLink>" + url + "/notes</sparkle:releaseNotesLink>"
               + "<enclosure url=\"" + url + "\"/></item>";
    return {true, 200, xml + "</channel></rss>", {}};
}

UpdateState found(Kind kind, std::string version, std::string url) { return {kind, std::move(version), url, url + "/notes", {}}; }
UpdateState failedWith(std::string text) { return {Kind::failed, {}, {}, {}, std::move(text)}; }

class UpdateCheckerTest : public testing::Test {
protected:
    std::unique_ptr<UpdateChecker> makeChecker()
    {
        UpdateChecker::Options options;
        options.currentVersion = "1.2.0";
        options.feedURL = feedA;
        options.timeout = 2500ms;
        auto checker = std::make_unique<UpdateChecker>(main, worker, fetcher, options);
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
    std::shared_ptr<FakeFetcher> fetcher = std::make_shared<FakeFetcher>();
    Seen seen;  // the state's kind and whether a check could start, per notification
};

TEST_F(UpdateCheckerTest, ReportsWhatTheFeedSays)
{
    struct Case {
        FetchResult fetched;
        UpdateState expected;
        std::optional<std::string> throwing = {};
    };
    const std::vector<Case> cases = {
        {feedOf({{"1.2.0", "1.2", "u120"}, {"1.1.0", "1.1", "u110"}}), found(Kind::upToDate, "1.2", "u120")},
        {feedOf({{"1.1", "", "u11"}, {"1.3.0", "1.3", "u13"}, {"1.2.1", "", "u121"}}), found(Kind::updateAvailable, "1.3", "u13")},
        {feedOf({{"1.2.1", "", "u121"}}), found(Kind::updateAvailable, "1.2.1", "u121")},
        {{true, 200, "<rss><channel><item>", {}}, failedWith("malformed feed")},
        {{true, 200, "<rss><channel><item><title>1.3</title></item></channel></rss>", {}}, failedWith("no versions in feed")},
        {{false, 0, {}, "timed out"}, failedWith("timed out")},
        {{}, failedWith("out of descriptors"), "out of descriptors"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected.newestVersion + c.expected.failure);
        fetcher->results[feedA] = c.fetched;
        fetcher->throwing = c.throwing;
        auto checker = makeChecker();
        checker->checkForUpdates();
        runAll();
        EXPECT_EQ(checker->state(), c.expected);
        EXPECT_TRUE(checker->canCheckForUpdates());
    }
}

TEST_F(UpdateCheckerTest, OneCheckAtATimeFetchedOnTheWorkerWithTheTimeout)
{
    fetcher->results[feedA] = feedOf({{"1.3", "", "u13"}});
    auto checker = makeChecker();
    EXPECT_TRUE(checker->canCheckForUpdates());
    checker->checkForUpdates();
    EXPECT_EQ(checker->state().kind, Kind::checking);
    EXPECT_FALSE(checker->canCheckForUpdates());
    checker->checkForUpdates();
    EXPECT_TRUE(fetcher->calls.empty());
    EXPECT_EQ(main->runUntilIdle(), 0u);
    EXPECT_EQ(worker->runUntilIdle(), 1u);
    ASSERT_EQ(fetcher->calls.size(), 1u);
    EXPECT_EQ(fetcher->calls[0], std::make_pair(std::string(feedA), std::chrono::milliseconds(2500ms)));
    EXPECT_EQ(checker->state().kind, Kind::checking);
    main->runUntilIdle();
    EXPECT_EQ(checker->state().kind, Kind::updateAvailable);
    EXPECT_EQ(seen, (Seen{{Kind::checking, false}, {Kind::updateAvailable, true}}));

    // Also after a failure the button works again.
    fetcher->results[feedA] = {false, 500, {}, "HTTP 500"};
    checker->checkForUpdates();
    runAll();
    EXPECT_EQ(checker->state(), failedWith("HTTP 500"));
    checker->checkForUpdates();
    EXPECT_EQ(checker->state().kind, Kind::checking);
}

TEST_F(UpdateCheckerTest, ANewFeedURLDiscardsTheOldFeedsOutcome)
{
    fetcher->results[feedA] = feedOf({{"9.0", "", "from-a"}});
    fetcher->results[feedB] = feedOf({{"1.0", "", "from-b"}});
    auto checker = makeChecker();
    checker->checkForUpdates();
    checker->setFeedURL(feedA);
    EXPECT_EQ(checker->state().kind, Kind::checking);

    // The old check's outcome is on its way to the main executor when the URL changes.
    worker->runUntilIdle();
    checker->setFeedURL(feedB);
    EXPECT_EQ(checker->state(), UpdateState{});
    EXPECT_TRUE(checker->canCheckForUpdates());
    checker->checkForUpdates();
    worker->runUntilIdle();
    EXPECT_EQ(main->pendingTasks(), 2u);
    main->runUntilIdle();
    EXPECT_EQ(checker->state(), found(Kind::upToDate, "1.0", "from-b"));
    EXPECT_EQ(seen, (Seen{{Kind::checking, false}, {Kind::idle, true}, {Kind::checking, false}, {Kind::upToDate, true}}));

    checker->setFeedURL("");
    EXPECT_EQ(checker->state(), UpdateState{});
    EXPECT_FALSE(checker->canCheckForUpdates());
    checker->checkForUpdates();
    EXPECT_EQ(worker->pendingTasks(), 0u);
}

TEST_F(UpdateCheckerTest, DestroyingTheCheckerMidCheckOrFromAnObserverDropsTheOutcome)
{
    fetcher->results[feedA] = feedOf({{"1.3", "", "u13"}});
    auto early = makeChecker();
    early->checkForUpdates();
    early.reset();
    runAll();
    EXPECT_TRUE(fetcher->calls.empty());

    auto late = makeChecker();
    late->checkForUpdates();
    worker->runUntilIdle();
    EXPECT_EQ(fetcher->calls.size(), 1u);
    late.reset();
    const auto seenBefore = seen.size();
    EXPECT_EQ(main->runUntilIdle(), 1u);
    EXPECT_EQ(seen.size(), seenBefore);

    auto checker = makeChecker();
    int laterObserverCalls = 0;
    checker->observe([&] {
        if (checker->state().kind != Kind::checking)
            checker.reset();
    });
    checker->observe([&] { ++laterObserverCalls; });
    checker->checkForUpdates();
    EXPECT_EQ(laterObserverCalls, 1);
    runAll();
    EXPECT_EQ(checker, nullptr);
    EXPECT_EQ(laterObserverCalls, 1);
}

}  // namespace
}  // namespace kestrio::updates
