#include "updates/feed_fetcher.h"

#include "updates/tls_file_server_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

namespace kestrio::updates {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

constexpr auto generous = 30s;
constexpr auto shortTimeout = 300ms;

// An HTTPS server with a certificate of its own, which the fetcher trusts unless a test says
// otherwise; a port that never answers stands in for any other service.
class FeedFetcherTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!server.started())
            GTEST_SKIP() << server.failure();
    }

    CurlFeedFetcher::Options options(std::size_t maxBodyBytes = 1024 * 1024) const
    {
        CurlFeedFetcher::Options result;
        result.appVersion = "0.1.0";
        result.caFile = server.certificateFile();
        result.maxBodyBytes = maxBodyBytes;
        return result;
    }

    test::TlsFileServer server;
    test::SilentPort silent;
};

TEST_F(FeedFetcherTest, ReturnsTheBodyOrFailsWithTheStatusOrTheLibraryText)
{
    struct Case {
        const char* name;
        std::string response;
        FetchResult expected;
    };
    const std::string big(2 * 1024 * 1024, 'x');
    const Case cases[] = {
        {"a feed", "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n<rss/>", {true, 200, "<rss/>", ""}},
        {"missing", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", {false, 404, "", "HTTP 404"}},
        {"an error page too big for a feed", "HTTP/1.1 500 Broken\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big,
         {false, 500, "", "HTTP 500"}},
        {"a redirect that leads nowhere", "HTTP/1.1 302 Found\r\nContent-Length: 5\r\n\r\nmoved", {false, 302, "", "HTTP 302"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.addResponse("appcast.xml", c.response);
        const auto result = CurlFeedFetcher(options()).fetch(server.url("appcast.xml"), generous);
        EXPECT_EQ(result.ok, c.expected.ok) << result.error;
        EXPECT_EQ(result.httpStatus, c.expected.httpStatus);
        EXPECT_EQ(result.body, c.expected.body);
        EXPECT_EQ(result.error, c.expected.error);
    }
    server.addFile("chunked-error.xml", big, 500, true);
    EXPECT_EQ(CurlFeedFetcher(options()).fetch(server.url("chunked-error.xml"), generous).error, "HTTP 500");

    // Trusting only what it is told to: the system's authorities know nothing of this server.
    auto system = options();
    system.caFile.clear();
    const auto refused = CurlFeedFetcher(system).fetch(server.url("chunked-error.xml"), generous);
    EXPECT_EQ(refused.httpStatus, 0);
    EXPECT_THAT(refused.error, HasSubstr("certificate"));
    test::SilentPort refusing(false);
    EXPECT_THAT(CurlFeedFetcher(options()).fetch(refusing.url("https", "/appcast.xml"), generous).error, HasSubstr("onnect"));
}

TEST_F(FeedFetcherTest, FollowsUpToFiveRedirectsWithinHttpsOnly)
{
    // /hop0 → /hop1 → … → /hop6 → the feed: from /hopN there are 7 - N redirects to go.
    for (int hop = 0; hop < 7; ++hop) {
        const auto next = hop == 6 ? std::string("feed.xml") : "hop" + std::to_string(hop + 1);
        // Relative and absolute locations alike.
        server.addRedirect("hop" + std::to_string(hop), hop % 2 == 0 ? "/" + next : server.url(next));
    }
    server.addFile("feed.xml", "<rss/>");
    CurlFeedFetcher fetcher(options());
    const auto five = fetcher.fetch(server.url("hop2"), generous);
    EXPECT_TRUE(five.ok) << five.error;
    EXPECT_EQ(five.body, "<rss/>");
    const auto six = fetcher.fetch(server.url("hop1"), generous);
    EXPECT_FALSE(six.ok);
    EXPECT_EQ(six.body, "");
    EXPECT_THAT(six.error, HasSubstr("redirect"));

    // Never out of HTTPS, to other schemes or to a plain server that would serve the feed: refused
    // before any connection is made.
    for (const auto& url : {silent.url("http", "/appcast.xml"), silent.url("ftp", "/appcast.xml"), std::string("file:///etc/hostname")}) {
        SCOPED_TRACE(url);
        server.addRedirect("out", url);
        const auto out = fetcher.fetch(server.url("out"), shortTimeout);
        EXPECT_FALSE(out.ok);
        EXPECT_EQ(out.body, "");
        EXPECT_EQ(out.error, notHTTPSFailure);
        EXPECT_EQ(fetcher.fetch(url, shortTimeout).error, notHTTPSFailure);
    }
    EXPECT_FALSE(silent.connected());

    // Without the test-only allowance nothing but https:// is fetched.
    for (const auto& url : {silent.url("http", "/a.xml"), " " + silent.url("https", "/a.xml"), silent.url("", "/a.xml").substr(3)}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(fetcher.fetch(url, generous).error, notHTTPSFailure);
    }
    EXPECT_FALSE(silent.connected());
    EXPECT_TRUE(isHTTPSURL("HTTPS://example.com/a.xml"));
}

TEST_F(FeedFetcherTest, BodiesOverTheLimitAreRefused)
{
    CurlFeedFetcher small(options(4096));
    for (const bool chunked : {false, true}) {
        SCOPED_TRACE(chunked ? "chunked" : "with length");
        server.addFile("fits.xml", std::string(4096, 'a'), 200, chunked);
        server.addFile("too-big.xml", std::string(4097, 'a'), 200, chunked);
        const auto fits = small.fetch(server.url("fits.xml"), generous);
        EXPECT_TRUE(fits.ok) << fits.error;
        EXPECT_EQ(fits.body.size(), 4096u);
        const auto tooBig = small.fetch(server.url("too-big.xml"), generous);
        EXPECT_FALSE(tooBig.ok);
        EXPECT_EQ(tooBig.error, "feed too large");
        EXPECT_EQ(tooBig.body, "");
    }
    // The default limit is a mebibyte.
    server.addFile("huge.xml", std::string(1024 * 1024 + 1, 'a'), 200, true);
    EXPECT_EQ(CurlFeedFetcher(options()).fetch(server.url("huge.xml"), generous).error, "feed too large");
}

TEST_F(FeedFetcherTest, SilentServerTimesOutAndCancellationEndsATransfer)
{
    CurlFeedFetcher fetcher(options());
    EXPECT_EQ(fetcher.fetch(silent.url("https", "/appcast.xml"), shortTimeout).error, "timed out");
    // Zero would mean "no limit" to the library; it must still end.
    EXPECT_EQ(fetcher.fetch(silent.url("https", "/appcast.xml"), 0ms).error, "timed out");

    runtime::CancellationSource quit;
    auto cancellable = options();
    cancellable.cancel = quit.token();
    CurlFeedFetcher quitting(cancellable);
    test::SilentPort stalling;
    auto pending = std::async(std::launch::async, [&] { return quitting.fetch(stalling.url("https", "/appcast.xml"), 20s); });
    ASSERT_TRUE(stalling.connected(20s));
    quit.cancel();
    EXPECT_EQ(pending.get().error, "cancelled");
    EXPECT_EQ(quitting.fetch(server.url("feed.xml"), generous).error, "cancelled");
}

}  // namespace
}  // namespace kestrio::updates
