#include "link/viewer_client_support.h"

#include <netdb.h>
#include <poll.h>
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
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* target = nullptr;
    addrinfo* source = nullptr;
    if (::getaddrinfo(options.host.c_str(), std::to_string(port).c_str(), &hints, &target) != 0)
        return;
    fd_ = ::socket(target->ai_family, SOCK_STREAM, 0);
    if (options.receiveBufferBytes > 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &options.receiveBufferBytes, sizeof options.receiveBufferBytes);
    const bool bound = options.sourceAddress.empty() ||
                       (::getaddrinfo(options.sourceAddress.c_str(), "0", &hints, &source) == 0 &&
                        ::bind(fd_, source->ai_addr, source->ai_addrlen) == 0);
    if (!bound || ::connect(fd_, target->ai_addr, target->ai_addrlen) != 0)
        close();
    if (source)
        ::freeaddrinfo(source);
    ::freeaddrinfo(target);
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
