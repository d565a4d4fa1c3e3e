#include "updates/feed_fetcher.h"

#include "updates/loopback_http_server_support.h"
#include "updates/tls_file_server_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

namespace kestrio::updates {
namespace {

using namespace std::chrono_literals;
using test::LoopbackHttpServer;
using Response = LoopbackHttpServer::Response;
using testing::HasSubstr;

constexpr auto generous = 30s;
constexpr auto shortTimeout = 300ms;

class FeedFetcherTest : public testing::Test {
protected:
    static CurlFeedFetcher::Options options(std::size_t maxBodyBytes = 1024 * 1024)
    {
        CurlFeedFetcher::Options result;
        result.appVersion = "0.1.0";
        result.maxBodyBytes = maxBodyBytes;
        // The loopback server speaks plain HTTP.
        result.allowPlainHTTP = true;
        return result;
    }

    LoopbackHttpServer server;
    CurlFeedFetcher fetcher{options()};
};

TEST_F(FeedFetcherTest, ReturnsTheBodyAndNamesItself)
{
    auto rss = Response::text("<rss/>");
    rss.headers.emplace_back("Content-Type", "application/rss+xml");
    server.serve("/appcast.xml", rss);
    const auto result = fetcher.fetch(server.url("/appcast.xml?channel=stable"), generous);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.httpStatus, 200);
    EXPECT_EQ(result.body, "<rss/>");
    EXPECT_EQ(result.error, "");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/appcast.xml?channel=stable");
    EXPECT_EQ(requests[0].headers.at("user-agent"), "Kestrio/0.1.0");
}

TEST_F(FeedFetcherTest, StatusesOutsideSuccessFailWithTheirCode)
{
    const auto missing = fetcher.fetch(server.url("/nothing-here.xml"), generous);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.httpStatus, 404);
    EXPECT_EQ(missing.error, "HTTP 404");
    EXPECT_EQ(missing.body, "");

    // An error page too big for a feed is still reported by its status.
    server.serve("/broken.xml", Response::text(std::string(2 * 1024 * 1024, 'x'), 500));
    const auto broken = fetcher.fetch(server.url("/broken.xml"), generous);
    EXPECT_EQ(broken.error, "HTTP 500");
    server.serve("/broken-chunked.xml", Response::chunkedText(std::string(2 * 1024 * 1024, 'x'), 500));
    EXPECT_EQ(fetcher.fetch(server.url("/broken-chunked.xml"), generous).error, "HTTP 500");

    // A redirect that leads nowhere is not a feed either.
    server.serve("/dangling.xml", Response::text("moved", 302));
    const auto dangling = fetcher.fetch(server.url("/dangling.xml"), generous);
    EXPECT_FALSE(dangling.ok);
    EXPECT_EQ(dangling.error, "HTTP 302");
}

TEST_F(FeedFetcherTest, FollowsUpToFiveRedirects)
{
    // /hop0 → /hop1 → … → /hop6 → the feed: from /hopN there are 7 - N redirects to go.
    for (int hop = 0; hop < 7; ++hop) {
        const auto next = hop == 6 ? std::string("/appcast.xml") : "/hop" + std::to_string(hop + 1);
        // Relative and absolute locations alike.
        const auto location = hop % 2 == 0 ? next : server.url(next);
        server.serve("/hop" + std::to_string(hop), Response::redirect(location, hop % 2 == 0 ? 302 : 301));
    }
    server.serve("/appcast.xml", Response::text("<rss/>"));

    const auto five = fetcher.fetch(server.url("/hop2"), generous);
    EXPECT_TRUE(five.ok) << five.error;
    EXPECT_EQ(five.body, "<rss/>");
    EXPECT_EQ(five.httpStatus, 200);

    const auto six = fetcher.fetch(server.url("/hop1"), generous);
    EXPECT_FALSE(six.ok);
    EXPECT_EQ(six.body, "");
    EXPECT_THAT(six.error, HasSubstr("redirect"));
    EXPECT_EQ(server.requests().size(), 6u + 6u);
}

// Other schemes are refused before any connection is made, whether asked for or redirected to;
// the server's port stands in for a service that would answer them.
TEST_F(FeedFetcherTest, SpeaksOnlyHttpAndHttps)
{
    const auto port = std::to_string(server.port());
    const std::vector<std::string> elsewhere = {"ftp://127.0.0.1:" + port + "/appcast.xml", "file:///etc/hostname"};
    for (const auto& url : elsewhere) {
        SCOPED_TRACE(url);
        const auto direct = fetcher.fetch(url, shortTimeout);
        EXPECT_FALSE(direct.ok);
        EXPECT_EQ(direct.body, "");
        EXPECT_NE(direct.error, "");

        server.serve("/elsewhere", Response::redirect(url));
        const auto redirected = fetcher.fetch(server.url("/elsewhere"), shortTimeout);
        EXPECT_FALSE(redirected.ok);
        EXPECT_EQ(redirected.body, "");
        EXPECT_NE(redirected.error, "");
    }
    // Only the requests for /elsewhere reached the server.
    EXPECT_EQ(server.connections(), elsewhere.size());
}

// Without the test-only allowance nothing but https:// is fetched, and no connection is made.
TEST_F(FeedFetcherTest, PlainAddressesAreRefusedUnlessAllowed)
{
    auto strict = options();
    strict.allowPlainHTTP = false;
    const auto port = std::to_string(server.port());
    server.serve("/appcast.xml", Response::text("<rss/>"));
    const std::vector<std::string> plain = {server.url("/appcast.xml"), " https://127.0.0.1:" + port + "/appcast.xml",
                                            "127.0.0.1:" + port + "/appcast.xml"};
    for (const auto& url : plain) {
        SCOPED_TRACE(url);
        const auto result = CurlFeedFetcher(strict).fetch(url, generous);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, notHTTPSFailure);
    }
    EXPECT_EQ(server.connections(), 0u);
    EXPECT_TRUE(isHTTPSURL("HTTPS://example.com/a.xml"));
}

TEST_F(FeedFetcherTest, UnreachableServerFailsWithTheLibraryText)
{
    test::RefusingPort nobody;
    const auto result = fetcher.fetch(nobody.url("/appcast.xml"), generous);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.httpStatus, 0);
    EXPECT_THAT(result.error, HasSubstr("onnect"));
}

TEST_F(FeedFetcherTest, SilentServerTimesOut)
{
    server.serve("/appcast.xml", Response::silence());
    const auto result = fetcher.fetch(server.url("/appcast.xml"), shortTimeout);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "timed out");

    // Zero would mean "no limit" to the library; it must still end.
    EXPECT_EQ(fetcher.fetch(server.url("/appcast.xml"), 0ms).error, "timed out");
}

TEST_F(FeedFetcherTest, BodiesOverTheLimitAreRefused)
{
    CurlFeedFetcher small(options(4096));
    const std::string atLimit(4096, 'a');
    const std::string overLimit(4097, 'a');
    for (const bool chunked : {false, true}) {
        SCOPED_TRACE(chunked ? "chunked" : "with length");
        server.serve("/fits.xml", chunked ? Response::chunkedText(atLimit) : Response::text(atLimit));
        server.serve("/too-big.xml", chunked ? Response::chunkedText(overLimit) : Response::text(overLimit));

        const auto fits = small.fetch(server.url("/fits.xml"), generous);
        EXPECT_TRUE(fits.ok) << fits.error;
        EXPECT_EQ(fits.body.size(), atLimit.size());

        const auto tooBig = small.fetch(server.url("/too-big.xml"), generous);
        EXPECT_FALSE(tooBig.ok);
        EXPECT_EQ(tooBig.error, "feed too large");
        EXPECT_EQ(tooBig.body, "");
    }

    // The default limit is a mebibyte.
    server.serve("/huge.xml", Response::chunkedText(std::string(1024 * 1024 + 1, 'a')));
    EXPECT_EQ(fetcher.fetch(server.url("/huge.xml"), generous).error, "feed too large");
}

TEST_F(FeedFetcherTest, CancellationEndsATransferInProgressAndRefusesNewOnes)
{
    runtime::CancellationSource quit;
    auto cancellable = options();
    cancellable.cancel = quit.token();
    CurlFeedFetcher quitting(cancellable);
    server.serve("/appcast.xml", Response::silence());

    auto pending = std::async(std::launch::async, [&] { return quitting.fetch(server.url("/appcast.xml"), 20s); });
    server.waitUntilHolding(1);
    quit.cancel();
    const auto result = pending.get();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "cancelled");

    EXPECT_EQ(quitting.fetch(server.url("/appcast.xml"), generous).error, "cancelled");
    EXPECT_EQ(server.requests().size(), 1u);
}

class TlsFeedFetcherTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!server.started())
            GTEST_SKIP() << server.failure();
        server.addFile("appcast.xml", "<rss/>");
    }

    test::TlsFileServer server;
};

TEST_F(TlsFeedFetcherTest, TrustsOnlyWhatItIsToldToTrust)
{
    CurlFeedFetcher::Options trusting;
    trusting.appVersion = "0.1.0";
    trusting.caFile = server.certificateFile();
    const auto trusted = CurlFeedFetcher(trusting).fetch(server.url("appcast.xml"), generous);
    EXPECT_TRUE(trusted.ok) << trusted.error;
    EXPECT_EQ(trusted.body, "<rss/>");

    // The system's authorities know nothing of a self-signed certificate.
    CurlFeedFetcher::Options system;
    system.appVersion = "0.1.0";
    const auto refused = CurlFeedFetcher(system).fetch(server.url("appcast.xml"), generous);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.httpStatus, 0);
    EXPECT_EQ(refused.body, "");
    EXPECT_THAT(refused.error, HasSubstr("certificate"));
}

// Redirects are followed within HTTPS and never out of it, not even to a plain server that
// would serve the feed.
TEST_F(TlsFeedFetcherTest, RedirectsStayOnHttps)
{
    LoopbackHttpServer plain;
    plain.serve("/appcast.xml", Response::text("<rss>forged</rss>"));
    server.addRedirect("within", server.url("appcast.xml"));
    server.addRedirect("out", plain.url("/appcast.xml"));

    CurlFeedFetcher::Options trusting;
    trusting.appVersion = "0.1.0";
    trusting.caFile = server.certificateFile();
    CurlFeedFetcher fetcher(trusting);
    const auto within = fetcher.fetch(server.url("within"), generous);
    EXPECT_TRUE(within.ok) << within.error;
    EXPECT_EQ(within.body, "<rss/>");

    const auto out = fetcher.fetch(server.url("out"), generous);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.body, "");
    EXPECT_EQ(out.error, notHTTPSFailure);
    EXPECT_EQ(plain.connections(), 0u);
}

}  // namespace
}  // namespace kestrio::updates
