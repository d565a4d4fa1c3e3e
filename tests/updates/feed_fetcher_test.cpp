#include "updates/feed_fetcher.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <future>

namespace kestrio::updates {
namespace {

using namespace std::chrono_literals;

// `openssl s_server -HTTP` on 127.0.0.1 serving the files of a scratch folder (each file is the
// whole response), with a self-signed certificate for 127.0.0.1 made for the occasion.
class TlsFileServer {
public:
    TlsFileServer()
    {
        char pattern[] = "/tmp/kestrio-tls-XXXXXX";
        folder_ = ::mkdtemp(pattern) ? pattern : "/nonexistent";
        const std::string in = "cd '" + folder_ + "' && ";
        if (std::system((in + "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout key.pem -out certificate.pem "
                              "-days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1 </dev/null").c_str()) != 0)
            return;
        // The shell names itself, then becomes the server, which prints "ACCEPT 127.0.0.1:<port>".
        output_ = ::popen((in + "echo $$; exec openssl s_server -HTTP -accept 127.0.0.1:0 -cert certificate.pem -key key.pem 2>/dev/null </dev/null")
                              .c_str(), "r");
        char line[256];
        if (output_ == nullptr || std::fgets(line, sizeof line, output_) == nullptr)
            return;
        pid_ = std::atoi(line);
        while (port_.empty() && std::fgets(line, sizeof line, output_) != nullptr)
            if (const std::string text = line; text.rfind("ACCEPT ", 0) == 0)
                port_ = std::to_string(std::atoi(text.substr(text.rfind(':') + 1).c_str()));
    }
    ~TlsFileServer()
    {
        if (pid_ > 0)
            ::kill(pid_, SIGTERM);
        if (output_ != nullptr)
            ::pclose(output_);
        std::filesystem::remove_all(folder_);
    }
    bool started() const { return pid_ > 0 && !port_.empty(); }
    void add(const std::string& name, const std::string& head, std::string_view body = {}) const
    {
        std::ofstream(folder_ + "/" + name, std::ios::binary) << "HTTP/1.1 " << head << "\r\nContent-Length: " << body.size() << "\r\n\r\n" << body;
    }
    // `body` in chunks of 1000 bytes.
    void addChunked(const std::string& name, int status, std::string_view body) const
    {
        std::ofstream file(folder_ + "/" + name, std::ios::binary);
        file << "HTTP/1.1 " << status << " Scripted\r\nTransfer-Encoding: chunked\r\n\r\n" << std::hex;
        for (std::size_t at = 0; at < body.size(); at += 1000)
            file << body.substr(at, 1000).size() << "\r\n" << body.substr(at, 1000) << "\r\n";
        file << "0\r\n\r\n";
    }
    std::string url(std::string_view name) const { return "https://127.0.0.1:" + port_ + "/" + std::string(name); }
    std::string folder_;

private:
    pid_t pid_ = -1;
    std::FILE* output_ = nullptr;
    std::string port_;
};

// A port on 127.0.0.1 that takes connections and never answers, or, not listening, refuses them.
class SilentPort {
public:
    explicit SilentPort(bool listening = true)
    {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (listening)
            listen(socket_, 4);
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = std::to_string(ntohs(address.sin_port));
    }
    ~SilentPort() { ::close(socket_); }
    std::string url(std::string_view scheme) const { return std::string(scheme) + "://127.0.0.1:" + port_ + "/appcast.xml"; }
    bool connected(std::chrono::milliseconds wait = {}) const
    {
        pollfd descriptor{socket_, POLLIN, 0};
        return ::poll(&descriptor, 1, static_cast<int>(wait.count())) == 1;
    }

private:
    int socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string port_;
};

class FeedFetcherTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!server.started())
            GTEST_SKIP() << "openssl s_server would not start";
    }
    CurlFeedFetcher::Options options() const
    {
        return {.appVersion = "0.1.0", .caFile = server.folder_ + "/certificate.pem", .maxBodyBytes = 4096, .cancel = {}};
    }

    TlsFileServer server;
    SilentPort silent;
};

TEST_F(FeedFetcherTest, ReturnsTheBodyOrFailsWithTheStatusTheLimitOrAnAddressThatIsNotHttps)
{
    const std::string fits(4096, 'a'), tooBig(4097, 'a');
    server.add("feed.xml", "200 OK", "<rss/>");
    server.add("missing.xml", "404 Not Found");
    server.add("broken.xml", "500 Broken", tooBig);
    server.add("moved.xml", "302 Found", "moved");
    server.add("fits.xml", "200 OK", fits);
    server.add("too-big.xml", "200 OK", tooBig);
    server.add("out", "302 Found\r\nLocation: " + silent.url("http"));
    for (const auto& [name, status, body] : {std::tuple{"broken-chunked.xml", 500, tooBig}, {"fits-chunked.xml", 200, fits}, {"too-big-chunked.xml", 200, tooBig}})
        server.addChunked(name, status, body);
    // /hop0 → … → /hop6 → the feed, by relative and absolute locations in turn.
    for (int hop = 0; hop < 7; ++hop) {
        const auto next = hop == 6 ? std::string("feed.xml") : "hop" + std::to_string(hop + 1);
        server.add("hop" + std::to_string(hop), "302 Found\r\nLocation: " + (hop % 2 == 0 ? "/" + next : server.url(next)));
    }
    const std::string notHttps(notHTTPSFailure);
    const std::array<std::string, 3> cases[] = {  // address, error ("": none), body
        {server.url("feed.xml"), "", "<rss/>"}, {server.url("missing.xml"), "HTTP 404"}, {server.url("broken.xml"), "HTTP 500"},
        {server.url("broken-chunked.xml"), "HTTP 500"}, {server.url("moved.xml"), "HTTP 302"}, {server.url("fits.xml"), "", fits},
        {server.url("fits-chunked.xml"), "", fits}, {server.url("too-big.xml"), "feed too large"}, {server.url("too-big-chunked.xml"), "feed too large"},
        {server.url("hop2"), "", "<rss/>"}, {server.url("hop1"), "Maximum (5) redirects followed"}, {server.url("out"), notHttps},
        {silent.url("http"), notHttps}, {" " + silent.url("https"), notHttps}, {silent.url("").substr(1), notHttps},
    };
    CurlFeedFetcher fetcher(options());
    for (const auto& [url, error, body] : cases) {
        SCOPED_TRACE(url);
        const auto result = fetcher.fetch(url, 10s);
        EXPECT_EQ(result.ok, error.empty());
        EXPECT_EQ(result.error, error);
        EXPECT_EQ(result.body, body);
    }
    EXPECT_FALSE(silent.connected());
    EXPECT_TRUE(isHTTPSURL("HTTPS://example.com/a.xml"));
}

TEST_F(FeedFetcherTest, UntrustedRefusedSilentOrCancelledTransfersFail)
{
    auto system = options();
    system.caFile.clear();  // the system's authorities know nothing of this server
    server.add("feed.xml", "200 OK", "<rss/>");
    EXPECT_NE(CurlFeedFetcher(system).fetch(server.url("feed.xml"), 10s).error.find("certificate"), std::string::npos);
    CurlFeedFetcher fetcher(options());
    EXPECT_NE(fetcher.fetch(SilentPort(false).url("https"), 10s).error.find("onnect"), std::string::npos);
    EXPECT_EQ(fetcher.fetch(silent.url("https"), 300ms).error, "timed out");
    EXPECT_EQ(fetcher.fetch(silent.url("https"), 0ms).error, "timed out");  // zero is "no limit" to the library

    runtime::CancellationSource quit;
    auto cancellable = options();
    cancellable.cancel = quit.token();
    CurlFeedFetcher quitting(cancellable);
    SilentPort stalling;
    auto pending = std::async(std::launch::async, [&] { return quitting.fetch(stalling.url("https"), 20s); });
    ASSERT_TRUE(stalling.connected(20s));
    quit.cancel();
    EXPECT_EQ(pending.get().error, "cancelled");
    EXPECT_EQ(quitting.fetch(server.url("feed.xml"), 10s).error, "cancelled");
}

}  // namespace
}  // namespace kestrio::updates
