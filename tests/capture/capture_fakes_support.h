#pragma once

// Frames for the capture tests, and stand-ins for what cannot run in a unit test: a display
// source that delivers frames when the test says so, an H.264 encoder that records what it is
// given and answers on a thread of its own when told to, and a link whose answers the test sets.

#include "capture/display_capture.h"
#include "capture/frame_sink.h"
#include "capture/h264_encoder.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrio::test {

// A frame with its own pixels. NV12 frames are video range, converted from the BGRA picture.
struct OwnedFrame {
    capture::VideoFrame frame;
    std::vector<std::uint8_t> bgra;  // the source picture, 4 bytes per pixel, tightly packed
};

// A smooth, colourful picture: gentle gradients with no edges, so lossy coding keeps it close.
OwnedFrame makeTestFrame(capture::PixelFormat format, int width, int height);

// Peak signal-to-noise ratio in dB of two BGRA/BGRX pictures over their colour channels.
double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

// What the fakes were asked, in order ("stream.start", "encoder.flush", "encoder.bitRate N", …).
struct Fakes {
    std::mutex mutex;
    std::vector<std::string> events;
    void add(std::string event);
    std::vector<std::string> log();
};

class FakeDisplays final : public capture::DisplayCaptureFactory {
public:
    explicit FakeDisplays(std::shared_ptr<Fakes> fakes) : fakes_(std::move(fakes)) {}
    std::unique_ptr<capture::DisplayCaptureStream> start(const capture::CaptureDisplay& display,
                                                         const capture::CaptureConfiguration& configuration,
                                                         std::shared_ptr<runtime::SerialQueue> queue,
                                                         capture::DisplayCaptureStream::FrameHandler handler) override;
    // Runs the frame handler with `frame` on the capture queue and waits for it; nothing once
    // the stream has stopped.
    void deliver(const capture::VideoFrame& frame);

    std::optional<capture::CaptureError> failure;  // thrown by start() when set
    capture::CaptureConfiguration configuration;  // of the latest start
    std::atomic<int> frameRequests{0};
    std::atomic<bool> stopped{false};

private:
    class Stream;
    std::shared_ptr<Fakes> fakes_;
    std::shared_ptr<runtime::SerialQueue> queue_;
    capture::DisplayCaptureStream::FrameHandler handler_;
};

class FakeEncoders final : public capture::H264EncoderFactory {
public:
    explicit FakeEncoders(std::shared_ptr<Fakes> fakes) : fakes_(std::move(fakes)) {}
    std::unique_ptr<capture::H264Encoder> create(const capture::H264EncoderSettings& settings,
                                                 capture::H264Encoder::OutputHandler output) override;
    // Answers the oldest `count` submissions not yet answered (all when -1) on a thread of its
    // own, and waits for it.
    void emit(int count = -1);

    bool failCreation = false;             // create() throws H264EncoderError
    std::atomic<bool> refuse{false};       // encode() returns false
    std::atomic<bool> emitNothing{false};  // outputs are std::nullopt (the encoder dropped the frame)
    capture::H264EncoderSettings settings;
    std::vector<bool> forcedKeyFrames;     // one per submission
    std::atomic<bool> alive{false};

private:
    class Encoder;
    std::shared_ptr<Fakes> fakes_;
    std::mutex mutex_;
    capture::H264Encoder::OutputHandler output_;
    std::size_t answered_ = 0;
};

// The output a submission turns into: a key frame (with sets) when it was forced or is the first.
capture::EncodedVideoFrame fakeEncodedFrame(bool keyFrame, std::size_t index);

class ScriptedSink final : public capture::FrameSink {
public:
    bool canAcceptFrame() const override;
    int framesQueued() const override { return queued.load(); }
    bool isViewerConnected() const override { return ++otherQueries, connected.load(); }
    bool h264Capable() const override { return ++otherQueries, h264.load(); }
    bool consumeKeyFrameRequest() override { return ++otherQueries, keyFrameRequested.exchange(false); }
    void send(std::vector<std::uint8_t> payload) override;
    void setFrameRequestHandler(std::function<void()> handler) override;

    std::function<void()> frameRequestHandler();
    std::vector<std::vector<std::uint8_t>> sent();

    std::atomic<bool> accept{true};
    std::atomic<int> queued{0};
    std::atomic<bool> connected{true};
    std::atomic<bool> h264{true};
    std::atomic<bool> keyFrameRequested{false};
    mutable std::atomic<int> acceptQueries{0};
    mutable std::atomic<int> otherQueries{0};  // connection, codec and key-frame queries
    // Runs inside every canAcceptFrame(), before it answers; set before frames flow.
    std::function<void()> onAcceptQuery;

private:
    std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> sent_;
    std::function<void()> handler_;
};

}  // namespace kestrio::test
