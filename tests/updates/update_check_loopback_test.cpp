// The whole check against a real HTTP server on loopback: libcurl on a real worker queue, the
// outcome applied on a hand-run main executor.
#include "updates/update_checker.h"

#include "runtime/serial_queue.h"
#include "runtime/virtual_clock.h"
#include "updates/loopback_http_server_support.h"

#include <gmock/gmock.h>
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

TEST_F(UpdateCheckLoopbackTest, EndsInTheStateTheServerCallsFor)
{
    test::RefusingPort nobody;
    const auto big = std::string(1024 * 1024, ' ') + feedOf({{"1.3", "x"}});
    server.serve("/current.xml", Response::text(feedOf({{"1.1.0", "u110"}, {"1.2.0", "u120"}})));
    server.serve("/newer.xml", Response::text(feedOf({{"1.1.0", "u110"}, {"1.10", "u110b"}, {"1.3", "u13"}})));
    server.serve("/latest", Response::redirect("/newer.xml"));
    server.serve("/malformed.xml", Response::text("<rss version=\"2.0\"><channel><item>"));
    server.serve("/versionless.xml", Response::text("<rss version=\"2.0\"><channel><item><title>soon</title></item></channel></rss>"));
    server.serve("/silent.xml", Response::silence());
    server.serve("/big.xml", Response::chunkedText(big));

    struct Case {
        std::string url;
        std::chrono::milliseconds timeout;
        Kind kind;
        std::string version;
        std::string download;
        std::string failure;  // a part of it, for texts that come from libcurl
    };
    const std::vector<Case> cases = {
        {server.url("/current.xml"), 30s, Kind::upToDate, "1.2.0", "u120", ""},
        {server.url("/newer.xml"), 30s, Kind::updateAvailable, "1.10", "u110b", ""},
        {server.url("/latest"), 30s, Kind::updateAvailable, "1.10", "u110b", ""},
        {server.url("/malformed.xml"), 30s, Kind::failed, "", "", "malformed feed"},
        {server.url("/versionless.xml"), 30s, Kind::failed, "", "", "no versions in feed"},
        {server.url("/missing.xml"), 30s, Kind::failed, "", "", "HTTP 404"},
        {nobody.url("/appcast.xml"), 30s, Kind::failed, "", "", "onnect"},
        {server.url("/silent.xml"), shortTimeout, Kind::failed, "", "", "timed out"},
        {server.url("/big.xml"), 30s, Kind::failed, "", "", "feed too large"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto checker = makeChecker(c.url, c.timeout);
        checker->checkForUpdates();
        EXPECT_FALSE(checker->canCheckForUpdates());
        settle();
        const auto& state = checker->state();
        EXPECT_EQ(state.kind, c.kind);
        EXPECT_EQ(state.newestVersion, c.version);
        EXPECT_EQ(state.downloadURL, c.download);
        if (c.kind == Kind::failed) {
            EXPECT_THAT(state.failure, testing::HasSubstr(c.failure));
        }
        EXPECT_TRUE(checker->canCheckForUpdates());
    }
}

// As the program fetches: a plain-text feed address ends in a failure, and nothing is asked of
// the server.
TEST_F(UpdateCheckLoopbackTest, APlainFeedAddressFailsUnfetched)
{
    server.serve("/current.xml", Response::text(feedOf({{"1.3", "u13"}})));
    fetcher = std::make_shared<CurlFeedFetcher>(CurlFeedFetcher::Options{"1.2.0", {}, 1024 * 1024, {}});
    auto checker = makeChecker(server.url("/current.xml"));
    checker->checkForUpdates();
    settle();
    EXPECT_EQ(checker->state().kind, Kind::failed);
    EXPECT_EQ(checker->state().failure, notHTTPSFailure);
    EXPECT_EQ(server.connections(), 0u);
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
