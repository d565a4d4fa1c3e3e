#include "link/viewer_client_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kestrio::test {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

ViewerClient::ViewerClient(std::uint16_t port, Options options)
{
    const bool v6 = options.host.find(':') != std::string::npos;
    fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0)
        throw std::runtime_error("socket");
    if (options.receiveBufferBytes > 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &options.receiveBufferBytes, sizeof options.receiveBufferBytes);
    if (!options.sourceAddress.empty() && !v6) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, options.sourceAddress.c_str(), &source.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
    }
    int result;
    if (v6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        ::inet_pton(AF_INET6, options.host.c_str(), &address.sin6_addr);
        result = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        ::inet_pton(AF_INET, options.host.c_str(), &address.sin_addr);
        result = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (result != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

ViewerClient::~ViewerClient()
{
    close();
}

void ViewerClient::sendRaw(std::string_view bytes)
{
    while (!bytes.empty() && fd_ >= 0) {
        const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

bool ViewerClient::fill(std::chrono::milliseconds timeout)
{
    if (fd_ < 0 || peerClosed_)
        return false;
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0)
        return false;
    std::uint8_t buffer[65536];
    const ssize_t size = ::recv(fd_, buffer, sizeof buffer, 0);
    if (size <= 0) {
        peerClosed_ = true;
        return false;
    }
    reader_.append(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(size)));
    return true;
}

std::optional<link::HostMessage> ViewerClient::readMessage(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto message = reader_.next())
            return message;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !fill(left))
            return std::nullopt;
    }
}

std::optional<std::string> ViewerClient::readControlText(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        auto message = readMessage(std::max(left, 0ms));
        if (!message)
            return std::nullopt;
        if (message->kind == link::HostMessage::Kind::control)
            return message->controlText();
    }
}

bool ViewerClient::waitForClose(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!peerClosed_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        fill(left);
    }
    return true;
}

bool ViewerClient::quietFor(std::chrono::milliseconds window)
{
    return !readMessage(window).has_value();
}

void ViewerClient::reset()
{
    if (fd_ < 0)
        return;
    linger option{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    close();
}

void ViewerClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

}  // namespace kestrio::test
