#include "link/viewer_listener.h"

#include <asio/ip/v6_only.hpp>

#include <chrono>
#include <system_error>

namespace kestrio::link {

using asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr auto restartDelay = 1000ms;
constexpr auto readvertiseDelay = 1250ms;

std::string errorDescription(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        return e.code().message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

struct ViewerListener::Listener {
    explicit Listener(asio::io_context& context) : acceptor(context) {}

    tcp::acceptor acceptor;
    std::uint16_t port = 0;
    std::string instanceName;
    std::unique_ptr<ServiceRegistration> registration;
};

ViewerListener::ViewerListener(Settings settings, std::weak_ptr<Owner> owner)
    : settings_(std::move(settings)), owner_(std::move(owner))
{
}

void ViewerListener::start()
{
    {
        std::lock_guard lock(lock_);
        shouldRun_ = true;
        if (listener_)
            return;
    }

    std::shared_ptr<Listener> listener;
    try {
        listener = openListener();
    } catch (...) {
        scheduleRestart();
        throw;
    }

    const std::string host = settings_.hostName ? settings_.hostName() : std::string();
    std::uint64_t generation;
    {
        std::lock_guard lock(lock_);
        generation = ++advertisementGeneration_;
    }
    listener->instanceName = advertisementInstanceName(host, generation);
    if (settings_.advertiser)
        listener->registration = settings_.advertiser->advertise({listener->instanceName, serviceType, listener->port});

    bool raced = false;
    {
        std::lock_guard lock(lock_);
        // Two starts may race (a retry and a retry-now); the first to get here keeps its listener.
        if (listener_)
            raced = true;
        else
            listener_ = listener;
    }
    if (raced) {
        cancel(std::move(listener));
        return;
    }
    settings_.queue->post([weak = weak_from_this(), listener] {
        if (auto self = weak.lock()) {
            self->beginAccept(listener);
            self->readyOnQueue(listener);
        }
    });
}

std::shared_ptr<ViewerListener::Listener> ViewerListener::openListener()
{
    auto listener = std::make_shared<Listener>(settings_.queue->context());
    auto& acceptor = listener->acceptor;
    std::error_code error;
    tcp::endpoint endpoint(tcp::v6(), settings_.port);
    acceptor.open(tcp::v6(), error);
    if (!error)
        acceptor.set_option(asio::ip::v6_only(false), error);
    if (error) {
        // No IPv6 on this machine: listen on IPv4 alone.
        std::error_code ignored;
        acceptor.close(ignored);
        endpoint = tcp::endpoint(tcp::v4(), settings_.port);
        acceptor.open(tcp::v4());
    }
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
    listener->port = acceptor.local_endpoint().port();
    return listener;
}

void ViewerListener::beginAccept(const std::shared_ptr<Listener>& listener)
{
    listener->acceptor.async_accept([weak = weak_from_this(), listener](std::error_code error, tcp::socket socket) {
        auto self = weak.lock();
        if (!self || error == asio::error::operation_aborted)
            return;
        {
            std::lock_guard lock(self->lock_);
            if (self->listener_ != listener)
                return;
        }
        if (!error) {
            if (auto owner = self->owner_.lock())
                owner->listenerAccepted(std::move(socket));
        } else if (error != asio::error::connection_aborted && error != asio::error::interrupted &&
                   error != asio::error::try_again) {
            self->failed(listener, error.message());
            return;
        }
        self->beginAccept(listener);
    });
}

void ViewerListener::readyOnQueue(const std::shared_ptr<Listener>& listener)
{
    {
        std::lock_guard lock(lock_);
        // A listener cancelled before it came up reports nothing.
        if (listener_ != listener)
            return;
        ready_ = true;
    }
    if (auto owner = owner_.lock())
        owner->listenerChanged();
}

void ViewerListener::failed(const std::shared_ptr<Listener>& listener, const std::string& description)
{
    {
        std::lock_guard lock(lock_);
        if (listener_ != listener)
            return;
        listener_.reset();
        ready_ = false;
    }
    cancel(listener);
    if (auto owner = owner_.lock())
        owner->listenerFailed({PeerState::Kind::listenerFailed, description});
    scheduleRestart();
}

void ViewerListener::cancel(std::shared_ptr<Listener> listener)
{
    if (!listener)
        return;
    onQueue([listener] {
        std::error_code ignored;
        listener->acceptor.close(ignored);
        listener->registration.reset();
    });
}

bool ViewerListener::wantsListener() const
{
    std::lock_guard lock(lock_);
    return shouldRun_ && !listener_;
}

void ViewerListener::scheduleRestart()
{
    settings_.clock->schedule(restartDelay, settings_.queue, [weak = weak_from_this()] {
        if (auto self = weak.lock(); self && self->wantsListener())
            self->startReportingFailure(PeerState::Kind::retryFailed);
    });
}

bool ViewerListener::startReportingFailure(PeerState::Kind failure)
{
    try {
        start();
        return true;
    } catch (...) {
        const std::string description = errorDescription(std::current_exception());
        if (auto owner = owner_.lock())
            owner->listenerFailed({failure, description});
        return false;
    }
}

void ViewerListener::retryNow()
{
    settings_.queue->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || !self->wantsListener())
            return;
        if (!self->startReportingFailure(PeerState::Kind::retryFailed))
            self->scheduleRestart();
    });
}

void ViewerListener::refreshAdvertisement()
{
    onQueue([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->refreshAdvertisementOnQueue();
    });
}

void ViewerListener::refreshAdvertisementOnQueue()
{
    const auto owner = owner_.lock();
    if (!owner || owner->viewerConnectionUp())
        return;
    std::shared_ptr<Listener> taken;
    {
        std::lock_guard lock(lock_);
        if (!shouldRun_ || ready_)
            return;
        taken = std::move(listener_);
        listener_.reset();
    }
    if (!taken)
        return;
    cancel(std::move(taken));
    owner->listenerChanged();
    settings_.clock->schedule(readvertiseDelay, settings_.queue, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || !self->wantsListener())
            return;
        if (const auto owner = self->owner_.lock(); !owner || owner->viewerConnectionUp())
            return;
        self->startReportingFailure(PeerState::Kind::readvertiseFailed);
    });
}

void ViewerListener::stop()
{
    std::shared_ptr<Listener> listener;
    {
        std::lock_guard lock(lock_);
        listener = std::move(listener_);
        listener_.reset();
        shouldRun_ = false;
        ready_ = false;
    }
    cancel(std::move(listener));
}

bool ViewerListener::ready() const
{
    std::lock_guard lock(lock_);
    return ready_;
}

std::uint16_t ViewerListener::port() const
{
    std::lock_guard lock(lock_);
    return listener_ ? listener_->port : 0;
}

std::string ViewerListener::advertisedName() const
{
    std::lock_guard lock(lock_);
    return listener_ ? listener_->instanceName : std::string();
}

std::optional<ServiceRegistration::State> ViewerListener::advertisementState() const
{
    std::lock_guard lock(lock_);
    if (!listener_ || !listener_->registration)
        return std::nullopt;
    return listener_->registration->state();
}

void ViewerListener::onQueue(std::function<void()> task)
{
    // Acceptors are only ever touched on the queue.
    if (settings_.queue->isCurrent())
        task();
    else
        settings_.queue->post(std::move(task));
}

}  // namespace kestrio::link
