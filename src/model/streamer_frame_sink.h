#pragma once

#include "capture/encoded_frame_sink.h"

#include <memory>

namespace kestrio::link {
class FrameStreamer;
}

namespace kestrio::model {

// The sink backed by the viewer connection, which sends H.264 frames in the link's video packet
// and JPEG files as they are. Holds the streamer strongly: the capturer keeps the link alive for
// as long as it streams.
class StreamerFrameSink final : public capture::EncodedFrameSink {
public:
    explicit StreamerFrameSink(std::shared_ptr<link::FrameStreamer> streamer);

    bool canAcceptFrame() const override;
    int framesQueued() const override;
    bool isViewerConnected() const override;
    bool h264Capable() const override;
    bool consumeKeyFrameRequest() override;
    void sendVideo(const capture::EncodedVideoFrame& frame) override;
    void sendJpeg(std::vector<std::uint8_t> jpeg) override;
    void setFrameRequestHandler(std::function<void()> handler) override;

private:
    std::shared_ptr<link::FrameStreamer> streamer_;
};

}  // namespace kestrio::model
