#pragma once

#include "capture/h264_encoder.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace kestrio::capture {

// Where the capturer hands its encoded frames, and what it needs of the viewer link behind it:
// whether a frame is wanted now and in which codec, the pending key-frame request, and a hook
// through which the link asks for a picture of a still screen. Every operation may be called from any thread.
class EncodedFrameSink {
public:
    virtual ~EncodedFrameSink() = default;

    virtual bool canAcceptFrame() const = 0;
    // Frames handed over that the network has not taken yet (in flight or waiting), 0 to 2.
    virtual int framesQueued() const = 0;
    // The viewer reports that the path to it is full, though the link still takes pictures (a
    // peer connection, which queues and drops in the network rather than refusing): the bit rate
    // must come down as if the link refused them.
    virtual bool pathCongested() const { return false; }
    virtual bool isViewerConnected() const = 0;
    virtual bool h264Capable() const = 0;
    // Returns whether the next encoded frame must be a key frame, and clears the request.
    virtual bool consumeKeyFrameRequest() = 0;
    // Hands over one encoded H.264 frame, as the encoder gave it.
    virtual void sendVideo(const EncodedVideoFrame& frame) = 0;
    // Hands over one JPEG file.
    virtual void sendJpeg(std::vector<std::uint8_t> jpeg) = 0;
    // An empty function removes the handler.
    virtual void setFrameRequestHandler(std::function<void()> handler) = 0;
};

}  // namespace kestrio::capture
