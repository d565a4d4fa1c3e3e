#include "updates/feed_fetcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

namespace kestrio::updates {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

constexpr auto generous = 30s;
constexpr auto shortTimeout = 300ms;

// `openssl s_server -HTTP` on 127.0.0.1 serving the files of a scratch folder (each file is the
// whole response), with a self-signed certificate for 127.0.0.1 made for the occasion.
class TlsFileServer {
public:
    TlsFileServer()
    {
        char pattern[] = "/tmp/kestrio-tls-XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            return;
        folder_ = pattern;
        const std::string in = "cd '" + folder_ + "' && ";
        if (std::system((in + "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout key.pem "
                              "-out certificate.pem -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
                              ">/dev/null 2>&1 </dev/null").c_str()) != 0)
            return;
        // The shell names itself, then becomes the server, which prints "ACCEPT 127.0.0.1:<port>".
        output_ = ::popen((in + "echo $$; exec openssl s_server -HTTP -accept 127.0.0.1:0 -cert certificate.pem -key key.pem "
                                "2>/dev/null </dev/null").c_str(), "r");
        char line[256];
        if (output_ == nullptr || std::fgets(line, sizeof line, output_) == nullptr)
            return;
        pid_ = static_cast<pid_t>(std::atoi(line));
        while (port_ == 0 && std::fgets(line, sizeof line, output_) != nullptr)
            if (const std::string text = line; text.rfind("ACCEPT ", 0) == 0)
                port_ = static_cast<unsigned>(std::strtoul(text.substr(text.rfind(':') + 1).c_str(), nullptr, 10));
    }
    ~TlsFileServer()
    {
        if (pid_ > 0)
            ::kill(pid_, SIGTERM);
        if (output_ != nullptr)
            ::pclose(output_);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    bool started() const { return pid_ > 0 && port_ != 0; }
    void addResponse(const std::string& name, std::string_view response) const
    {
        std::ofstream(folder_ + "/" + name, std::ios::binary) << response;
    }
    // `contents` by length or in chunks of 1000 bytes.
    void addFile(const std::string& name, std::string_view contents, int status = 200, bool chunked = false) const
    {
        std::string response = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\n";
        if (!chunked) {
            addResponse(name, response + "Content-Length: " + std::to_string(contents.size()) + "\r\n\r\n" + std::string(contents));
            return;
        }
        response += "Transfer-Encoding: chunked\r\n\r\n";
        char size[16];
        for (std::size_t at = 0; at < contents.size(); at += 1000) {
            std::snprintf(size, sizeof size, "%zx\r\n", contents.substr(at, 1000).size());
            response += size + std::string(contents.substr(at, 1000)) + "\r\n";
        }
        addResponse(name, response + "0\r\n\r\n");
    }
    void addRedirect(const std::string& name, std::string_view location) const
    {
        addResponse(name, "HTTP/1.0 302 Found\r\nLocation: " + std::string(location) + "\r\nContent-Length: 0\r\n\r\n");
    }
    std::string url(std::string_view name) const { return "https://127.0.0.1:" + std::to_string(port_) + "/" + std::string(name); }
    std::string certificateFile() const { return folder_ + "/certificate.pem"; }

private:
    std::string folder_;
    pid_t pid_ = -1;
    std::FILE* output_ = nullptr;
    unsigned port_ = 0;
};

// A port on 127.0.0.1 that takes connections and never answers, or, not listening, refuses them.
class SilentPort {
public:
    explicit SilentPort(bool listening = true) : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && (!listening || ::listen(socket_, 4) == 0)
            && ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~SilentPort() { ::close(socket_); }
    std::string url(std::string_view scheme, std::string_view path) const
    {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + std::string(path);
    }
    bool connected(std::chrono::milliseconds wait = {}) const
    {
        pollfd descriptor{socket_, POLLIN, 0};
        return ::poll(&descriptor, 1, static_cast<int>(wait.count())) == 1;
    }

private:
    int socket_;
    unsigned port_ = 0;
};

class FeedFetcherTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!server.started())
            GTEST_SKIP() << "openssl s_server would not start";
    }
    CurlFeedFetcher::Options options(std::size_t maxBodyBytes = 1024 * 1024) const
    {
        CurlFeedFetcher::Options result;
        result.appVersion = "0.1.0";
        result.caFile = server.certificateFile();
        result.maxBodyBytes = maxBodyBytes;
        return result;
    }
    void expectFailure(const FetchResult& result, std::string_view error) const
    {
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.body, "");
        EXPECT_EQ(result.error, error);
    }

    TlsFileServer server;
    SilentPort silent;
};

TEST_F(FeedFetcherTest, ReturnsTheBodyOrFailsWithTheStatusOrTheLibraryText)
{
    struct Case {
        std::string response;
        FetchResult expected;
    };
    const std::string big(2 * 1024 * 1024, 'x');
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n<rss/>", {true, 200, "<rss/>", ""}},
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", {false, 404, "", "HTTP 404"}},
        {"HTTP/1.1 500 Broken\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big, {false, 500, "", "HTTP 500"}},
        {"HTTP/1.1 302 Found\r\nContent-Length: 5\r\n\r\nmoved", {false, 302, "", "HTTP 302"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.response.substr(0, 20));
        server.addResponse("appcast.xml", c.response);
        const auto result = CurlFeedFetcher(options()).fetch(server.url("appcast.xml"), generous);
        EXPECT_EQ(result.ok, c.expected.ok) << result.error;
        EXPECT_EQ(result.httpStatus, c.expected.httpStatus);
        EXPECT_EQ(result.body, c.expected.body);
        EXPECT_EQ(result.error, c.expected.error);
    }
    server.addFile("chunked-error.xml", big, 500, true);
    EXPECT_EQ(CurlFeedFetcher(options()).fetch(server.url("chunked-error.xml"), generous).error, "HTTP 500");

    // The system's authorities know nothing of this server.
    auto system = options();
    system.caFile.clear();
    const auto refused = CurlFeedFetcher(system).fetch(server.url("chunked-error.xml"), generous);
    EXPECT_EQ(refused.httpStatus, 0);
    EXPECT_THAT(refused.error, HasSubstr("certificate"));
    SilentPort refusing(false);
    EXPECT_THAT(CurlFeedFetcher(options()).fetch(refusing.url("https", "/appcast.xml"), generous).error, HasSubstr("onnect"));
}

TEST_F(FeedFetcherTest, FollowsUpToFiveRedirectsWithinHttpsOnly)
{
    // /hop0 → … → /hop6 → the feed, by relative and absolute locations in turn.
    for (int hop = 0; hop < 7; ++hop) {
        const auto next = hop == 6 ? std::string("feed.xml") : "hop" + std::to_string(hop + 1);
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

    // Refused before any connection is made, redirected to or asked for directly.
    for (const auto& url : {silent.url("http", "/appcast.xml"), silent.url("ftp", "/appcast.xml"), std::string("file:///etc/hostname")}) {
        SCOPED_TRACE(url);
        server.addRedirect("out", url);
        expectFailure(fetcher.fetch(server.url("out"), shortTimeout), notHTTPSFailure);
        EXPECT_EQ(fetcher.fetch(url, shortTimeout).error, notHTTPSFailure);
    }
    for (const auto& url : {" " + silent.url("https", "/a.xml"), silent.url("", "/a.xml").substr(3)})
        EXPECT_EQ(fetcher.fetch(url, generous).error, notHTTPSFailure) << url;
    EXPECT_FALSE(silent.connected());
    EXPECT_TRUE(isHTTPSURL("HTTPS://example.com/a.xml"));
}

TEST_F(FeedFetcherTest, BodiesOverTheLimitAreRefused)
{
    CurlFeedFetcher small(options(4096));
    for (const bool chunked : {false, true}) {
        SCOPED_TRACE(chunked);
        server.addFile("fits.xml", std::string(4096, 'a'), 200, chunked);
        server.addFile("too-big.xml", std::string(4097, 'a'), 200, chunked);
        const auto fits = small.fetch(server.url("fits.xml"), generous);
        EXPECT_TRUE(fits.ok) << fits.error;
        EXPECT_EQ(fits.body.size(), 4096u);
        expectFailure(small.fetch(server.url("too-big.xml"), generous), "feed too large");
    }
    server.addFile("huge.xml", std::string(1024 * 1024 + 1, 'a'), 200, true);
    EXPECT_EQ(CurlFeedFetcher(options()).fetch(server.url("huge.xml"), generous).error, "feed too large");
}

TEST_F(FeedFetcherTest, SilentServerTimesOutAndCancellationEndsATransfer)
{
    CurlFeedFetcher fetcher(options());
    EXPECT_EQ(fetcher.fetch(silent.url("https", "/appcast.xml"), shortTimeout).error, "timed out");
    // Zero would mean "no limit" to the library.
    EXPECT_EQ(fetcher.fetch(silent.url("https", "/appcast.xml"), 0ms).error, "timed out");

    runtime::CancellationSource quit;
    auto cancellable = options();
    cancellable.cancel = quit.token();
    CurlFeedFetcher quitting(cancellable);
    SilentPort stalling;
    auto pending = std::async(std::launch::async, [&] { return quitting.fetch(stalling.url("https", "/appcast.xml"), 20s); });
    ASSERT_TRUE(stalling.connected(20s));
    quit.cancel();
    EXPECT_EQ(pending.get().error, "cancelled");
    EXPECT_EQ(quitting.fetch(server.url("feed.xml"), generous).error, "cancelled");
}

}  // namespace
}  // namespace kestrio::updates
