#pragma once

#include "link/frame_streamer.h"
#include "link/viewer_control_event.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kestrio::model {

// What the model uses of the viewer connection. Queries read the link's state together, under
// its lock; operations that act on the link run later on the link's own queue. The callbacks
// are set once, before start(), and are called on the link's queue.
class ViewerLink {
public:
    virtual ~ViewerLink() = default;

    // Connected and handshaken.
    virtual bool isViewerConnected() const = 0;
    virtual bool h264Capable() const = 0;
    virtual bool listenerReady() const = 0;
    // How the connected viewer is reached (its address and path); empty while none is.
    virtual std::string peerDescription() const = 0;
    // The connected viewer is a browser showing the host's page, not the phone app.
    virtual bool viewerIsBrowser() const { return false; }

    // Starts listening and advertising; throws when the listener cannot start now (the link keeps
    // retrying on its own).
    virtual void start() = 0;
    // Closes the listener and the connection and withdraws the advertisement.
    virtual void stop() = 0;
    virtual void retryNow() = 0;
    // Asks for one advertisement refresh, which runs on the link's queue; does nothing once the
    // link is gone.
    virtual void refreshAdvertisement() = 0;
    virtual void sendControl(std::string_view text) = 0;
    // The current connection's number (never reused; 0 while there is none). Read inside the
    // control-event callback, it names the connection the event came from.
    virtual std::uint64_t connectionGeneration() const = 0;
    // Ends connection `generation`, if it is still the current one, with `reason` as why it went;
    // new connections from its address are turned away for `holdOff` afterwards.
    virtual void dropConnection(std::uint64_t generation, std::string reason, runtime::Duration holdOff) = 0;

    virtual void setOnStateChange(std::function<void()> callback) = 0;
    virtual void setOnControlEvent(std::function<void(const link::ViewerControlEvent&)> callback) = 0;
    virtual void setOnViewerIdentity(std::function<void(const link::ViewerIdentity&)> callback) = 0;
    // A viewer from outside the home network was turned away.
    virtual void setOnOutsiderRefused(std::function<void()> callback) = 0;
    // The host's network interfaces or addresses changed (and settled).
    virtual void setOnNetworkChange(std::function<void()> callback) = 0;
};

}  // namespace kestrio::model
