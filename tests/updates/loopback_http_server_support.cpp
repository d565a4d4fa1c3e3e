#include "updates/loopback_http_server_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace kestrio::test {
namespace {

int boundLoopbackSocket(std::uint16_t& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::string reasonFor(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

LoopbackHttpServer::Request parseHead(std::string_view head)
{
    LoopbackHttpServer::Request request;
    auto lineEnd = head.find("\r\n");
    const auto requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace = requestLine.find(' ', firstSpace + 1);
    request.method = std::string(requestLine.substr(0, firstSpace));
    if (firstSpace != std::string_view::npos)
        request.target = std::string(requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1));
    while (lineEnd != std::string_view::npos) {
        const auto start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const auto line = head.substr(start, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - start);
        const auto colon = line.find(':');
        if (colon != std::string_view::npos)
            request.headers[lowered(std::string(line.substr(0, colon)))] = trimmed(line.substr(colon + 1));
    }
    return request;
}

}  // namespace

LoopbackHttpServer::Response LoopbackHttpServer::Response::text(std::string body, int status)
{
    Response response;
    response.status = status;
    response.body = std::move(body);
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::Response::chunkedText(std::string body, int status)
{
    auto response = text(std::move(body), status);
    response.chunked = true;
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::Response::redirect(std::string location, int status)
{
    auto response = text("moved", status);
    response.headers.emplace_back("Location", std::move(location));
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::Response::silence()
{
    Response response;
    response.hold = true;
    return response;
}

LoopbackHttpServer::LoopbackHttpServer()
{
    listener_ = boundLoopbackSocket(port_);
    if (::listen(listener_, 16) != 0) {
        ::close(listener_);
        throw std::runtime_error("listen failed");
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof(one));
    thread_.join();
    for (int connection : heldConnections_)
        ::close(connection);
    ::close(listener_);
    ::close(wake_);
}

std::string LoopbackHttpServer::url(std::string_view path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void LoopbackHttpServer::serve(std::string path, Response response)
{
    std::lock_guard lock(mutex_);
    routes_[std::move(path)] = std::move(response);
}

std::vector<LoopbackHttpServer::Request> LoopbackHttpServer::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t LoopbackHttpServer::connections() const
{
    std::lock_guard lock(mutex_);
    return connections_;
}

void LoopbackHttpServer::waitUntilHolding(std::size_t count) const
{
    std::unique_lock lock(mutex_);
    held_.wait(lock, [&] { return heldConnections_.size() >= count; });
}

void LoopbackHttpServer::run()
{
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (connection < 0)
            continue;
        {
            std::lock_guard lock(mutex_);
            ++connections_;
        }
        handle(connection);
    }
}

void LoopbackHttpServer::handle(int connection)
{
    std::string head;
    if (!readRequest(connection, head)) {
        ::close(connection);
        return;
    }
    auto request = parseHead(head);
    const auto path = request.target.substr(0, request.target.find('?'));
    Response response;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
        if (auto route = routes_.find(path); route != routes_.end())
            response = route->second;
        else
            response = Response::text("no such feed", 404);
        if (response.hold) {
            heldConnections_.push_back(connection);
            held_.notify_all();
            return;
        }
    }

    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonFor(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    out += "Connection: close\r\n";
    if (response.chunked) {
        out += "Transfer-Encoding: chunked\r\n\r\n";
        constexpr std::size_t chunk = 16 * 1024;
        for (std::size_t offset = 0; offset < response.body.size(); offset += chunk) {
            const auto piece = std::string_view(response.body).substr(offset, chunk);
            char size[32];
            std::snprintf(size, sizeof(size), "%zx\r\n", piece.size());
            out += size;
            out += piece;
            out += "\r\n";
        }
        out += "0\r\n\r\n";
    } else {
        out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n\r\n";
        out += response.body;
    }
    // A client that gives up early (a body over its limit) closes on us; that is fine.
    if (sendAll(connection, out))
        ::shutdown(connection, SHUT_WR);
    ::close(connection);
}

bool LoopbackHttpServer::readRequest(int connection, std::string& head) const
{
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        pollfd fds[2] = {{connection, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[1].revents != 0)
            return false;
        const auto received = ::recv(connection, buffer, sizeof(buffer), 0);
        if (received < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (received <= 0)
            return false;
        head.append(buffer, static_cast<std::size_t>(received));
    }
    return true;
}

bool LoopbackHttpServer::sendAll(int connection, std::string_view data) const
{
    while (!data.empty()) {
        const auto sent = ::send(connection, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent >= 0) {
            data.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return false;
        pollfd fds[2] = {{connection, POLLOUT, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents != 0)
            return false;
    }
    return true;
}

RefusingPort::RefusingPort() : socket_(boundLoopbackSocket(port_)) {}

RefusingPort::~RefusingPort()
{
    ::close(socket_);
}

std::string RefusingPort::url(std::string_view path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

}  // namespace kestrio::test
