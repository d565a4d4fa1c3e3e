// The path of the current connection, followed: the host's interfaces and addresses change under
// it (a link going down and up, an address taken away or added), and once they have settled its
// description is made again.
#include "link/frame_streamer.h"
#include "link/peer_description.h"

#include <utility>

namespace kestrio::link {
namespace {

// The peer's address as the user knows it: IPv4 peers on our dual-stack socket show as IPv4.
std::string addressText(const asio::ip::address& address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    return address.to_string();
}

}  // namespace

std::string FrameStreamer::describeConnection(const ViewerSession& session) const
{
    std::optional<std::string> host;
    if (const auto remote = session.remoteEndpoint())
        host = addressText(remote->address());
    NetworkPath path;
    if (const auto local = session.localEndpoint(); local && environment_.pathResolver)
        path = environment_.pathResolver(addressText(local->address()));
    return describePeer(host, path, environment_.thisComputer);
}

void FrameStreamer::followNetworkPaths()
{
    if (!environment_.networkChanges)
        return;
    queue_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        self->networkWatch_ = self->environment_.networkChanges(self->queue_->context(), [weak] {
            if (auto self = weak.lock())
                self->networkChanged();
        });
    });
}

void FrameStreamer::networkChanged()
{
    // The first news of a burst schedules the look; the rest find it scheduled.
    if (std::exchange(pathCheckScheduled_, true))
        return;
    environment_.clock->schedule(pathSettleDelay, queue_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->pathCheckScheduled_ = false;
            self->refreshPeerPath();
        }
    });
}

void FrameStreamer::refreshPeerPath()
{
    const Session session = currentSession();
    if (!session)
        return;
    const std::string description = describeConnection(*session);
    {
        std::lock_guard lock(lock_);
        if (session_ != session || peer_.kind != PeerState::Kind::connected || peer_.detail == description)
            return;
        peer_.detail = description;
    }
    fireStateChange();
}

}  // namespace kestrio::link
