#pragma once

#include "runtime/clock.h"
#include "web/browser_pairing.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrio::platform::web {

// Serves the browser viewer to browsers on the home network, from a GLib main loop on a thread of
// its own: GET / is the page (everything it needs is in it), /signal its WebSocket, on which each
// browser pairs (kestrio::web::BrowserSignalling). A request from outside the home network is
// refused (403) before anything else. A port that is taken is tried again every second, and the
// status says so until it is had.
class BrowserPageServer {
public:
    static constexpr std::uint16_t defaultPort = 59591;

    struct Settings {
        std::uint16_t port = defaultPort;
        std::shared_ptr<runtime::Clock> clock;
        std::shared_ptr<kestrio::web::BrowserPairing> pairing;
        // For a peer's address as text: whether it is on the home network, and its source network.
        std::function<bool(const std::string& address)> isHomeNetworkPeer;
        std::function<std::string(const std::string& address)> sourceNetworkOf;
        // Told, from the server's thread, whether it listens now, and why not.
        std::function<void(bool listening, const std::string& error)> status;
        // A browser paired (its address and its User-Agent), said something after pairing, or
        // went; told on the server's thread. Browsers are numbered from 1, never reused.
        std::function<void(std::uint64_t browser, const std::string& address, const std::string& userAgent)> paired;
        std::function<void(std::uint64_t browser, const std::string& text)> message;
        std::function<void(std::uint64_t browser)> closed;
    };

    // Starts the thread and listens (or keeps trying).
    explicit BrowserPageServer(Settings settings);
    // Closes every connection and ends the thread.
    ~BrowserPageServer();

    // Any thread: sends `text` to a browser, or ends its connection, if it is still there.
    void send(std::uint64_t browser, std::string text);
    void sendBinary(std::uint64_t browser, std::vector<std::uint8_t> bytes);
    void close(std::uint64_t browser);
    BrowserPageServer(const BrowserPageServer&) = delete;
    BrowserPageServer& operator=(const BrowserPageServer&) = delete;

private:
    struct Loop;
    std::unique_ptr<Loop> loop_;
};

}  // namespace kestrio::platform::web
