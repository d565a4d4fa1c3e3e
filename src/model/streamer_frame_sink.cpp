#include "model/streamer_frame_sink.h"

#include "link/frame_streamer.h"
#include "link/h264_packet.h"

namespace kestrio::model {

StreamerFrameSink::StreamerFrameSink(std::shared_ptr<link::FrameStreamer> streamer) : streamer_(std::move(streamer)) {}

bool StreamerFrameSink::canAcceptFrame() const
{
    return streamer_->canAcceptFrame();
}

int StreamerFrameSink::framesQueued() const
{
    return streamer_->framesQueued();
}

bool StreamerFrameSink::isViewerConnected() const
{
    return streamer_->isViewerConnected();
}

bool StreamerFrameSink::h264Capable() const
{
    return streamer_->h264Capable();
}

bool StreamerFrameSink::consumeKeyFrameRequest()
{
    return streamer_->consumeKeyFrameRequest();
}

void StreamerFrameSink::sendVideo(const capture::EncodedVideoFrame& frame)
{
    // A frame whose parameter sets do not fit the packet is dropped.
    if (auto packet = link::makeH264Packet(frame.isKeyFrame, frame.sps, frame.pps, frame.data))
        streamer_->send(std::move(*packet), true);
}

void StreamerFrameSink::sendJpeg(std::vector<std::uint8_t> jpeg)
{
    streamer_->send(std::move(jpeg), true);
}

void StreamerFrameSink::setFrameRequestHandler(std::function<void()> handler)
{
    streamer_->setFrameRequestHandler(std::move(handler));
}

}  // namespace kestrio::model
