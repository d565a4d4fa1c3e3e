#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kestrio::test {

// A small HTTP/1.1 server on 127.0.0.1 and an ephemeral port, run by a thread of its own, so
// that clients are tested against real sockets. It answers one connection at a time, by the
// request's path (the query is ignored), and closes each connection after its answer. Paths
// nobody set up get a 404.
class LoopbackHttpServer {
public:
    struct Response {
        int status = 200;
        std::string body;
        std::vector<std::pair<std::string, std::string>> headers;
        // Sent in chunks without a Content-Length, so the client cannot know the size up front.
        bool chunked = false;
        // Read the request and never answer; the connection stays open until the server stops.
        bool hold = false;

        static Response text(std::string body, int status = 200);
        static Response chunkedText(std::string body, int status = 200);
        static Response redirect(std::string location, int status = 302);
        static Response silence();
    };

    struct Request {
        std::string method;
        std::string target;
        std::map<std::string, std::string> headers;  // names in lower case
    };

    LoopbackHttpServer();
    ~LoopbackHttpServer();

    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port><path>"
    std::string url(std::string_view path) const;

    void serve(std::string path, Response response);
    std::vector<Request> requests() const;
    // Connections accepted so far, whatever came over them.
    std::size_t connections() const;
    // Blocks until `count` connections have been held unanswered.
    void waitUntilHolding(std::size_t count) const;

private:
    void run();
    void handle(int connection);
    bool readRequest(int connection, std::string& head) const;
    bool sendAll(int connection, std::string_view data) const;

    int listener_ = -1;
    int wake_ = -1;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable held_;
    std::map<std::string, Response, std::less<>> routes_;
    std::vector<Request> requests_;
    std::size_t connections_ = 0;
    std::vector<int> heldConnections_;
    std::thread thread_;
};

// A loopback port with nothing listening on it: the socket is bound but never listens, so
// connections are refused, and no other program can take the port while this object lives.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();

    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    std::uint16_t port() const { return port_; }
    std::string url(std::string_view path) const;

private:
    int socket_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace kestrio::test
