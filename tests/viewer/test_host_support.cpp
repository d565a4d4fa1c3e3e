#include "viewer/test_host_support.h"

#include "link/message_framer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrio::test {

namespace {

void writeAll(int fd, const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
}

}  // namespace

TestHost::TestHost(Options options) : options_(options)
{
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        throw std::runtime_error("pipe");
    wakeRead_ = pipeEnds[0];
    wakeWrite_ = pipeEnds[1];

    listener_ = ::socket(options.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_addr = in6addr_loopback;
    sockaddr_in address4{};
    address4.sin_family = AF_INET;
    address4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* address = options.ipv6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address4);
    socklen_t size = options.ipv6 ? sizeof address6 : sizeof address4;
    if (listener_ < 0 || ::bind(listener_, address, size) != 0 || ::getsockname(listener_, address, &size) != 0)
        throw std::runtime_error("bind");
    port_ = ntohs(options.ipv6 ? address6.sin6_port : address4.sin_port);
    if (::listen(listener_, 4) != 0)
        throw std::runtime_error("listen");
    thread_ = std::thread([this] { serve(); });
}

TestHost::~TestHost()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    const char wake = 0;
    (void)!::write(wakeWrite_, &wake, 1);
    thread_.join();
    for (const int fd : {listener_, connection_, wakeRead_, wakeWrite_})
        if (fd >= 0)
            ::close(fd);
}

void TestHost::sendPayload(std::vector<std::uint8_t> payload)
{
    {
        std::lock_guard lock(mutex_);
        outgoing_.push_back(link::frameMessage(payload));
    }
    const char wake = 0;
    (void)!::write(wakeWrite_, &wake, 1);
}

void TestHost::sendControl(const std::string& text)
{
    sendPayload(link::makeControlPayload(text));
}

void TestHost::closeConnection()
{
    {
        std::lock_guard lock(mutex_);
        outgoing_.emplace_back();
    }
    const char wake = 0;
    (void)!::write(wakeWrite_, &wake, 1);
}

std::string TestHost::received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> TestHost::lines() const
{
    const std::string bytes = received();
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end = bytes.find('\n'); end != std::string::npos; end = bytes.find('\n', start)) {
        result.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

bool TestHost::waitForViewerClose(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return viewerClosed_; });
}

void TestHost::writeQueued()
{
    for (;;) {
        std::vector<std::uint8_t> message;
        {
            std::lock_guard lock(mutex_);
            if (outgoing_.empty() || connection_ < 0)
                return;
            message = std::move(outgoing_.front());
            outgoing_.pop_front();
        }
        if (message.empty()) {
            ::shutdown(connection_, SHUT_WR);
            continue;
        }
        writeAll(connection_, message.data(), message.size());
    }
}

void TestHost::handleLine(const std::string& line)
{
    if (!options_.answer)
        return;
    if (line.rfind("HELLO ", 0) == 0 || line.rfind("CAP ", 0) == 0) {
        const bool h264 = line.find(" H264") != std::string::npos;
        std::vector<std::uint8_t> welcome =
            link::frameMessage(link::makeControlPayload(link::makeWelcomeText(h264, "테스트 호스트", "1.2", "34")));
        writeAll(connection_, welcome.data(), welcome.size());
    } else if (line.rfind("PING ", 0) == 0) {
        const auto reply = link::frameMessage(link::makeControlPayload("PONG " + line.substr(5)));
        writeAll(connection_, reply.data(), reply.size());
    }
}

void TestHost::serve()
{
    std::string pending;
    for (;;) {
        pollfd entries[2] = {{wakeRead_, POLLIN, 0}, {connection_ >= 0 ? connection_ : listener_, POLLIN, 0}};
        if (viewerClosed_)
            entries[1].fd = -1;
        if (::poll(entries, 2, -1) < 0)
            continue;
        if (entries[0].revents != 0) {
            char drain[64];
            (void)!::read(wakeRead_, drain, sizeof drain);
            {
                std::lock_guard lock(mutex_);
                if (stopping_)
                    return;
            }
        }
        if (entries[1].revents != 0 && connection_ < 0) {
            const int accepted = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            std::lock_guard lock(mutex_);
            connection_ = accepted;
        } else if (entries[1].revents != 0) {
            char buffer[4096];
            const ssize_t size = ::recv(connection_, buffer, sizeof buffer, 0);
            if (size <= 0) {
                std::lock_guard lock(mutex_);
                viewerClosed_ = true;
                changed_.notify_all();
            } else {
                {
                    std::lock_guard lock(mutex_);
                    received_.append(buffer, static_cast<std::size_t>(size));
                    changed_.notify_all();
                }
                pending.append(buffer, static_cast<std::size_t>(size));
                for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
                    handleLine(pending.substr(0, end));
                    pending.erase(0, end + 1);
                }
            }
        }
        writeQueued();
    }
}

}  // namespace kestrio::test
