// The path of the current connection, followed: the host's interfaces and addresses change under
// it (a link going down and up, an address taken away or added), and once they have settled its
// description is made again and the host told.
#include "link/frame_streamer.h"

#include <utility>

namespace kestrio::link {

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
            if (self->onNetworkChange)
                self->onNetworkChange();
        }
    });
}

void FrameStreamer::refreshPeerPath()
{
    const Session session = viewer_.session();
    if (session && viewer_.redescribe(session, describePeerOf(*session)))
        fireStateChange();
}

}  // namespace kestrio::link
