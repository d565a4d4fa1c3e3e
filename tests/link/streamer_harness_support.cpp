#include "link/streamer_harness_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace kestrio::test {
namespace {

struct Registration final : link::ServiceRegistration {
    Registration(std::string name, std::atomic<int>& live) : name(std::move(name)), live(live) { ++live; }
    ~Registration() override { --live; }
    State state() const override { return State::established; }
    std::string publishedName() const override { return name; }
    std::string name;
    std::atomic<int>& live;
};

}  // namespace

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !condition(); std::this_thread::sleep_for(2ms)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    }
    return true;
}

ViewerClient::ViewerClient(std::uint16_t port, ViewerOptions options) : fd_(::socket(AF_INET, SOCK_STREAM, 0))
{
    const auto address = [](const std::string& host, std::uint16_t port) {
        sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {}, .sin_zero = {}};
        ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
        return address;
    };
    const auto source = address(options.sourceAddress, 0);
    const auto target = address(options.host, port);
    if (options.receiveBufferBytes > 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &options.receiveBufferBytes, sizeof options.receiveBufferBytes);
    if ((!options.sourceAddress.empty() && ::bind(fd_, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) ||
        ::connect(fd_, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0)
        close();
}

void ViewerClient::sendRaw(std::string_view bytes)
{
    ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);  // blocking: all or an error
}

bool ViewerClient::fill(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd entry{fd_, POLLIN, 0};
    if (fd_ < 0 || peerClosed_ || left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
        return false;
    std::uint8_t buffer[65536];
    const ssize_t size = ::recv(fd_, buffer, sizeof buffer, 0);
    peerClosed_ = size <= 0;
    if (!peerClosed_)
        reader_.append(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(size)));
    return !peerClosed_;
}

std::optional<link::HostMessage> ViewerClient::readMessage(std::chrono::milliseconds timeout)
{
    for (const auto deadline = std::chrono::steady_clock::now() + timeout;;) {
        if (auto message = reader_.next(); message || !fill(deadline))
            return message;
    }
}

std::optional<std::string> ViewerClient::readControlText(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto message = readMessage(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()))) {
        if (message->kind == link::HostMessage::Kind::control)
            return message->controlText();
    }
    return std::nullopt;
}

bool ViewerClient::waitForClose(std::chrono::milliseconds timeout)
{
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; fill(deadline);) {
    }
    return peerClosed_;
}

void ViewerClient::reset()
{
    linger option{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    close();
}

void ViewerClient::close()
{
    ::close(std::exchange(fd_, -1));
}

StreamerHarness::StreamerHarness(const std::function<void(link::FrameStreamer::Environment&)>& configure)
{
    link::FrameStreamer::Environment environment;
    environment.clock = clock;
    environment.advertiser = std::shared_ptr<link::ServiceAdvertiser>(std::shared_ptr<void>(), this);
    environment.hostName = [] { return std::string(testHostName); };
    environment.pathResolver = [](const std::string& address) {
        return address == "127.0.0.1" ? link::NetworkPath(link::InterfaceType::loopback) : std::nullopt;
    };
    environment.version = "1.2.3";
    environment.build = "45";
    environment.port = 0;
    if (configure)
        configure(environment);
    streamer = link::FrameStreamer::create(std::move(environment));
    streamer->onStateChange = [this] { ++stateChanges; };
    streamer->onControlEvent = [this](const link::ViewerControlEvent& event) { std::lock_guard lock(recordLock_); events_.push_back(event); };
    streamer->onViewerIdentity = [this](const link::ViewerIdentity& identity) { std::lock_guard lock(recordLock_); identities_.push_back(identity); };
}

std::unique_ptr<link::ServiceRegistration> StreamerHarness::advertise(const link::ServiceAdvertisement& advertisement)
{
    std::lock_guard lock(recordLock_);
    advertised_.push_back(advertisement);
    return std::make_unique<Registration>(advertisement.instanceName, liveRegistrations);
}

StreamerHarness::~StreamerHarness()
{
    streamer->stop();
    settle();
    streamer.reset();
}

std::unique_ptr<ViewerClient> connectHandshaken(StreamerHarness& harness, const std::string& handshake, ViewerOptions options)
{
    auto viewer = std::make_unique<ViewerClient>(harness.port(), options);
    viewer->sendLine(handshake);
    auto welcome = viewer->readControlText();
    EXPECT_TRUE(welcome && welcome->starts_with("WELCOME 2 ")) << welcome.value_or("<nothing>");
    EXPECT_TRUE(waitUntil([&] { return harness.streamer->isViewerConnected(); }));
    harness.settle();  // the handshake's state change follows the flags
    return viewer;
}

}  // namespace kestrio::test
