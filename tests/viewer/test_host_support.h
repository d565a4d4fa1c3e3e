#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrio::test {

using namespace std::chrono_literals;

// A stand-in host on loopback: accepts one viewer, answers its handshake with a welcome and
// each "PING" with a "PONG", and writes the framed payloads the test hands it, in order.
class TestHost {
public:
    struct Options {
        bool ipv6 = false;
        bool answer = true;  // false: stay silent, reply to nothing
    };

    explicit TestHost(Options options);
    TestHost() : TestHost(Options{}) {}
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    std::uint16_t port() const { return port_; }

    // Frames the payload and sends it once a viewer is connected.
    void sendPayload(std::vector<std::uint8_t> payload);
    void sendControl(const std::string& text);
    // Closes the viewer's connection after everything queued before has been written.
    void closeConnection();

    // Everything the viewer sent, and the lines among it.
    std::string received() const;
    std::vector<std::string> lines() const;
    // Waits until the viewer closed its end (so that everything it sent has been read).
    bool waitForViewerClose(std::chrono::milliseconds timeout = 5000ms);

private:
    void serve();
    void handleLine(const std::string& line);
    void writeQueued();

    Options options_;
    int listener_ = -1;
    int connection_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<std::uint8_t>> outgoing_;  // framed messages; empty entry: close
    std::string received_;
    bool viewerClosed_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace kestrio::test
