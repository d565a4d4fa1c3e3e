#include "model/streamer_viewer_link.h"

namespace kestrio::model {

std::string StreamerViewerLink::peerDescription() const
{
    const auto peer = streamer_->peerState();
    return peer.kind == link::FrameStreamer::PeerState::Kind::connected ? peer.detail : std::string();
}

}  // namespace kestrio::model
