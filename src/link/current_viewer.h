#pragma once

#include "link/peer_description.h"
#include "link/viewer_session.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace kestrio::link {

// The viewer the streamer serves: its one current connection (a newer one replaces it), what
// can be said of it (the peer state), and the way frames and messages go to it. Also holds the
// handler of the viewer's requests for a picture.
//
// Sessions are made current, connected and ended on the queue; the rest may be called from any
// thread. Nothing outside is called while the lock is held.
class CurrentViewer {
public:
    using Session = std::shared_ptr<ViewerSession>;

    // Numbers the session and makes it the current one, closing the one it replaces. Queue only.
    void makeCurrent(const Session& session);
    // Reports the session as connected to `description`; false when it is no longer current or
    // has closed.
    bool markConnected(const Session& session, const std::string& description);
    // Describes the connected session anew; false when it is not current and connected, or the
    // description is the same.
    bool redescribe(const Session& session, const std::string& description);
    // Forgets the session if it is the current one, with `reason` as why it went; false when it
    // was not. The caller closes it.
    bool end(const Session& session, const std::string& reason);
    // Forgets the current session, leaving the peer state as it is, and returns it.
    Session take();
    Session session() const;

    PeerState peerState() const;
    void setPeerState(PeerState state);
    // The current connection's number (see ViewerSession::number); 0 while there is none.
    std::uint64_t generation() const;
    bool connectionUp() const;
    bool isViewerConnected() const;
    bool h264Capable() const;
    bool onHomeNetwork() const;

    // Sending: see FrameStreamer. Without a current connection nothing is sent or kept.
    void send(ViewerSession::Payload payload, bool isFrame);
    void sendControl(std::string_view text);
    bool canAcceptFrame() const;
    int framesQueued() const;
    bool consumeKeyFrameRequest();

    void setFrameRequestHandler(std::function<void()> handler);
    // Calls the frame request handler, if there is one.
    void requestFrame();

private:
    std::uint64_t nextNumber_ = 1;  // queue only

    mutable std::mutex lock_;
    Session session_;
    PeerState peer_;
    std::shared_ptr<const std::function<void()>> frameRequestHandler_;
};

}  // namespace kestrio::link
