#pragma once

// Stand-ins for what cannot run in a unit test: a display source that delivers frames when the
// test says so, an H.264 encoder that records what it is given and emits outputs on a thread of
// its own when told to, and a link whose answers the test scripts.

#include "capture/display_capture.h"
#include "capture/frame_sink.h"
#include "capture/h264_encoder.h"

#include <atomic>
#include <deque>
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

// Events in the order the fakes saw them, for checking the order of teardown.
class EventLog {
public:
    void add(std::string event);
    std::vector<std::string> events() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

class FakeDisplayCaptureFactory final : public capture::DisplayCaptureFactory {
public:
    explicit FakeDisplayCaptureFactory(std::shared_ptr<EventLog> log = std::make_shared<EventLog>()) : log_(std::move(log)) {}

    std::unique_ptr<capture::DisplayCaptureStream> start(const capture::CaptureDisplay& display,
                                                         const capture::CaptureConfiguration& configuration,
                                                         std::shared_ptr<runtime::SerialQueue> queue,
                                                         capture::DisplayCaptureStream::FrameHandler handler) override;

    // Runs the frame handler with `frame` on the capture queue and waits for it. Does nothing
    // once the stream has stopped.
    void deliver(const capture::VideoFrame& frame);

    std::optional<capture::CaptureError> failure;  // thrown by start() when set
    std::optional<capture::CaptureConfiguration> configuration() const;
    std::optional<capture::CaptureDisplay> display() const;
    // Of the latest stream.
    int frameRequests() const { return state()->frameRequests.load(); }
    bool stopped() const { return state()->stopped.load(); }

private:
    struct State {
        std::mutex mutex;
        std::shared_ptr<runtime::SerialQueue> queue;
        capture::DisplayCaptureStream::FrameHandler handler;
        std::atomic<bool> stopped{false};
        std::atomic<int> frameRequests{0};
    };
    class Stream;

    std::shared_ptr<State> state() const;

    std::shared_ptr<EventLog> log_;
    mutable std::mutex mutex_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::optional<capture::CaptureConfiguration> configuration_;
    std::optional<capture::CaptureDisplay> display_;
};

class FakeH264EncoderFactory final : public capture::H264EncoderFactory {
public:
    struct Submission {
        capture::PixelFormat format;
        int width;
        int height;
        bool forceKeyFrame;
    };

    explicit FakeH264EncoderFactory(std::shared_ptr<EventLog> log = std::make_shared<EventLog>()) : log_(std::move(log)) {}

    std::unique_ptr<capture::H264Encoder> create(const capture::H264EncoderSettings& settings,
                                                 capture::H264Encoder::OutputHandler output) override;

    // Emits the outputs of the oldest `count` submissions not yet answered (all when -1), on a
    // thread of its own, and waits for it.
    void emit(int count = -1);

    bool failCreation = false;       // create() throws H264EncoderError
    std::atomic<bool> refuse{false};  // encode() returns false
    std::atomic<bool> emitNothing{false};  // outputs are std::nullopt (the encoder dropped the frame)
    std::optional<capture::H264EncoderSettings> settings() const;
    std::vector<Submission> submissions() const;
    int unanswered() const;
    bool alive() const { return state_->alive.load(); }

private:
    struct State {
        std::mutex mutex;
        capture::H264Encoder::OutputHandler output;
        std::vector<Submission> submissions;
        std::deque<std::size_t> unanswered;  // indexes into submissions, oldest first
        std::atomic<bool> alive{false};
    };
    class Encoder;

    void emitFrom(const std::shared_ptr<State>& state, int count);

    std::shared_ptr<EventLog> log_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    mutable std::mutex mutex_;
    std::optional<capture::H264EncoderSettings> settings_;
};

// The output every submission turns into: a key frame (with sets) when it was forced or is the
// first, with recognisable data bytes.
capture::EncodedVideoFrame fakeEncodedFrame(bool keyFrame, std::size_t index);

// A link whose answers are set by the test; it records what it is given and how often it was
// asked.
class ScriptedSink final : public capture::FrameSink {
public:
    bool canAcceptFrame() const override;
    int framesQueued() const override { return queued.load(); }
    bool isViewerConnected() const override;
    bool h264Capable() const override;
    bool consumeKeyFrameRequest() override;
    void send(std::vector<std::uint8_t> payload) override;
    void setFrameRequestHandler(std::function<void()> handler) override;

    // Runs the frame-request handler, as the link does after a handshake or "KEYFRAME".
    void requestFrame();
    bool hasFrameRequestHandler() const;
    std::vector<std::vector<std::uint8_t>> sent() const;

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
    mutable std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> sent_;
    std::function<void()> handler_;
};

}  // namespace kestrio::test
