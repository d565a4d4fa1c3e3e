// The whole check against a real HTTP server on loopback: libcurl on a real worker queue, the
// outcome applied on a hand-run main executor.
#include "updates/update_checker.h"

#include "runtime/serial_queue.h"
#include "runtime/virtual_clock.h"
#include "updates/loopback_http_server_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kestrio::updates {
namespace {

using namespace std::chrono_literals;
using Kind = UpdateState::Kind;
using test::LoopbackHttpServer;
using Response = LoopbackHttpServer::Response;

constexpr auto shortTimeout = 300ms;

std::string feedOf(const std::vector<std::pair<std::string, std::string>>& releases)
{
    std::string xml = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>)";
    for (const auto& [version, url] : releases)
        xml += "<item><title>Kestrio " + version + "</title><sparkle:version>" + version + "</sparkle:version><enclosure url=\"" + url
               + "\" length=\"1\" type=\"application/octet-stream\"/></item>";
    return xml + "</channel></rss>";
}

class UpdateCheckLoopbackTest : public testing::Test {
protected:
    std::unique_ptr<UpdateChecker> makeChecker(std::string url, std::chrono::milliseconds timeout = 30s)
    {
        UpdateChecker::Options options;
        options.currentVersion = "1.2.0";
        options.feedURL = std::move(url);
        options.timeout = timeout;
        auto checker = std::make_unique<UpdateChecker>(main, worker, fetcher, options);
        checker->observe([this] { ++changes; });
        return checker;
    }

    // The fetch blocks the worker; once the worker is through, its outcome waits on main.
    void settle()
    {
        worker->sync();
        main->runUntilIdle();
    }

    void TearDown() override { worker->shutdown(); }

    LoopbackHttpServer server;
    std::shared_ptr<runtime::ManualExecutor> main = std::make_shared<runtime::ManualExecutor>();
    std::shared_ptr<runtime::SerialQueue> worker = runtime::SerialQueue::create("test.updates");
    // The loopback server speaks plain HTTP.
    std::shared_ptr<FeedFetcher> fetcher = std::make_shared<CurlFeedFetcher>(CurlFeedFetcher::Options{"1.2.0", {}, 1024 * 1024, {}, true});
    int changes = 0;
};

// What each answer means is the checker's and the fetcher's own tests' part; here, that the real
// fetcher's result reaches the checker's state.
TEST_F(UpdateCheckLoopbackTest, EndsInTheStateTheServerCallsFor)
{
    server.serve("/newer.xml", Response::text(feedOf({{"1.1.0", "u110"}, {"1.10", "u110b"}, {"1.3", "u13"}})));
    auto checker = makeChecker(server.url("/newer.xml"));
    checker->checkForUpdates();
    EXPECT_FALSE(checker->canCheckForUpdates());
    settle();
    EXPECT_EQ(checker->state().kind, Kind::updateAvailable);
    EXPECT_EQ(checker->state().downloadURL, "u110b");
    EXPECT_TRUE(checker->canCheckForUpdates());
}

TEST_F(UpdateCheckLoopbackTest, DestroyingTheCheckerWhileTheServerStallsIsSafe)
{
    server.serve("/silent.xml", Response::silence());
    auto checker = makeChecker(server.url("/silent.xml"), shortTimeout);
    checker->checkForUpdates();
    server.waitUntilHolding(1);
    checker.reset();
    EXPECT_EQ(changes, 1);

    // The fetch runs out of time on the worker; its outcome reaches a checker that is gone.
    settle();
    EXPECT_EQ(changes, 1);

    // Nothing of the old checker lingers for the next one.
    server.serve("/current.xml", Response::text(feedOf({{"1.2.0", "u120"}})));
    auto next = makeChecker(server.url("/current.xml"));
    next->checkForUpdates();
    settle();
    EXPECT_EQ(next->state().kind, Kind::upToDate);
}

}  // namespace
}  // namespace kestrio::updates
