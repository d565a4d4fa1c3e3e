#include "model/streamer_viewer_link.h"

namespace kestrio::model {

void StreamerViewerLink::submitAdvertisementRefresh()
{
    streamer_->queue()->post([weak = std::weak_ptr<link::FrameStreamer>(streamer_)] {
        if (auto streamer = weak.lock())
            streamer->refreshAdvertisementOnQueue();
    });
}

}  // namespace kestrio::model
