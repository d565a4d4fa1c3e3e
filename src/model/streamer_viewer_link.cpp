#include "model/streamer_viewer_link.h"

namespace kestrio::model {

void StreamerViewerLink::submitAdvertisementRefresh()
{
    streamer_->queue()->post([weak = std::weak_ptr<link::FrameStreamer>(streamer_)] {
        if (auto streamer = weak.lock())
            streamer->refreshAdvertisementOnQueue();
    });
}

std::string StreamerViewerLink::peerDescription() const
{
    const auto peer = streamer_->peerState();
    return peer.kind == link::FrameStreamer::PeerState::Kind::connected ? peer.detail : std::string();
}

}  // namespace kestrio::model
