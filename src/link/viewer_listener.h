#pragma once

#include "link/peer_description.h"
#include "link/service_advertiser.h"
#include "runtime/clock.h"
#include "runtime/serial_queue.h"

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kestrio::link {

// Where viewers connect: one TCP listener on the viewer port (both address families where the
// machine has IPv6), advertised by DNS-SD under an instance name new to each listener. While
// listening is wanted, a listener that cannot be made or that fails is tried again 1.0 s later.
//
// The acceptor, timers and the owner's calls run on the queue; the public operations may be
// called from any thread. The owner is never called while the lock is held.
class ViewerListener final : public std::enable_shared_from_this<ViewerListener> {
public:
    static constexpr const char* serviceType = "_kestrio._tcp";

    // What the listener tells the one that serves its viewers.
    class Owner {
    public:
        virtual void listenerAccepted(asio::ip::tcp::socket socket) = 0;
        // The listener became ready, or was taken down to be advertised anew.
        virtual void listenerChanged() = 0;
        // The listener failed, or a new one could not be made: `failure` says which, and why.
        virtual void listenerFailed(const PeerState& failure) = 0;
        // Whether a viewer's connection is up; a listener is never replaced while one is.
        virtual bool viewerConnectionUp() const = 0;

    protected:
        ~Owner() = default;
    };

    struct Settings {
        std::shared_ptr<runtime::SerialQueue> queue;
        std::shared_ptr<runtime::Clock> clock;
        std::shared_ptr<ServiceAdvertiser> advertiser;  // none: the listener is not advertised
        std::function<std::string()> hostName;          // the computer's user-visible name
        std::uint16_t port = 0;                         // 0 picks a free port
    };

    ViewerListener(Settings settings, std::weak_ptr<Owner> owner);

    ViewerListener(const ViewerListener&) = delete;
    ViewerListener& operator=(const ViewerListener&) = delete;

    // Begins listening. Throws std::system_error when the listener cannot be created, after
    // scheduling a retry 1.0 s later. Does nothing more while a listener exists.
    void start();
    // Ends the listener and stops retrying. Tells the owner nothing.
    void stop();
    // Tries to create a missing listener now instead of waiting for the next retry.
    void retryNow();
    // Replaces a listener that has not become ready by a new one (with a new instance name)
    // 1.25 s later, while no viewer's connection is up. Runs on the queue: at once when called
    // there, else later.
    void refreshAdvertisement();

    bool ready() const;
    // The port the current listener is bound to; 0 while there is none.
    std::uint16_t port() const;
    // The instance name requested for the current listener's advertisement; "" while none.
    std::string advertisedName() const;
    // The current listener's advertisement registration state, if it has one.
    std::optional<ServiceRegistration::State> advertisementState() const;

private:
    struct Listener;

    std::shared_ptr<Listener> openListener();
    void beginAccept(const std::shared_ptr<Listener>& listener);
    void readyOnQueue(const std::shared_ptr<Listener>& listener);
    void failed(const std::shared_ptr<Listener>& listener, const std::string& description);
    void cancel(std::shared_ptr<Listener> listener);
    void scheduleRestart();
    bool startReportingFailure(PeerState::Kind failure);
    void refreshAdvertisementOnQueue();
    // Whether a retry or a readvertisement due now should still make a listener.
    bool wantsListener() const;
    void onQueue(std::function<void()> task);

    const Settings settings_;
    const std::weak_ptr<Owner> owner_;

    mutable std::mutex lock_;
    std::shared_ptr<Listener> listener_;
    bool shouldRun_ = false;
    bool ready_ = false;
    std::uint64_t advertisementGeneration_ = 0;
};

}  // namespace kestrio::link
