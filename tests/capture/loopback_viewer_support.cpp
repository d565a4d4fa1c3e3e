#include "capture/loopback_viewer_support.h"

#include "runtime/virtual_clock.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kestrio::test {

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::shared_ptr<link::FrameStreamer> startLoopbackStreamer()
{
    link::FrameStreamer::Environment environment;
    environment.clock = std::make_shared<runtime::VirtualClock>();
    environment.hostName = [] { return std::string("캡처 Host"); };
    environment.port = 0;
    auto streamer = link::FrameStreamer::create(std::move(environment));
    streamer->start();
    waitFor([&] { return streamer->listenerReady() && streamer->listeningPort() != 0; });
    return streamer;
}

LoopbackViewer::LoopbackViewer(std::uint16_t port)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

LoopbackViewer::~LoopbackViewer()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void LoopbackViewer::sendLine(std::string_view line)
{
    std::string bytes(line);
    bytes += '\n';
    std::string_view rest(bytes);
    while (!rest.empty() && fd_ >= 0) {
        const ssize_t sent = ::send(fd_, rest.data(), rest.size(), MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        rest.remove_prefix(static_cast<std::size_t>(sent));
    }
}

std::optional<link::HostMessage> LoopbackViewer::readMessage(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto message = reader_.next())
            return message;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (fd_ < 0 || left.count() <= 0)
            return std::nullopt;
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            return std::nullopt;
        std::uint8_t buffer[65536];
        const ssize_t size = ::recv(fd_, buffer, sizeof buffer, 0);
        if (size <= 0)
            return std::nullopt;
        reader_.append(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(size)));
    }
}

}  // namespace kestrio::test
