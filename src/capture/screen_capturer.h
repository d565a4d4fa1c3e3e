#pragma once

#include "capture/bit_rate_governor.h"
#include "capture/encoded_frame_sink.h"
#include "capture/h264_encoder.h"
#include "capture/jpeg_encoder.h"
#include "capture/stream_settings.h"
#include "desktop/display_capture.h"
#include "runtime/serial_queue.h"

#include <memory>
#include <mutex>
#include <optional>

namespace kestrio::capture {

// Captures one display for one streaming run and encodes every picture the viewer can take for
// the sink: H.264 when the viewer decodes it and an encoder exists, JPEG otherwise. Frames are dropped, never queued, whenever the sink has no room. Quality and frame
// rate are fixed for the capturer's life; it is started once and not reused after stop().
class ScreenCapturer : public std::enable_shared_from_this<ScreenCapturer> {
public:
    // `encoders` may be null: the capture then runs JPEG-only.
    static std::shared_ptr<ScreenCapturer> create(std::shared_ptr<EncodedFrameSink> sink, StreamQuality quality, StreamFrameRate frameRate,
                                                  std::shared_ptr<DisplayCaptureFactory> displays,
                                                  std::shared_ptr<H264EncoderFactory> encoders);
    ~ScreenCapturer();

    ScreenCapturer(const ScreenCapturer&) = delete;
    ScreenCapturer& operator=(const ScreenCapturer&) = delete;

    // Starts capturing `display`; does nothing on a capturer already started or stopped. Throws the factory's CaptureError unchanged; an encoder made
    // before the failure stays until stop(). `ended` hears, on any thread, when the capture ends on
    // its own (see CaptureConfiguration::ended).
    void start(const CaptureDisplay& display, std::function<void(const CaptureEnd&)> ended = {});
    // Stops capture and finishes the encoder's work; frames still in the encoder are delivered
    // if the sink takes them. Safe to call more than once.
    void stop();

    bool hasEncoder() const;
    // What capture was asked for at start (default values before).
    CaptureConfiguration configuration() const;
    // Frames submitted to the encoder whose output has not been handled yet.
    int pendingEncodes() const;

private:
    ScreenCapturer(std::shared_ptr<EncodedFrameSink> sink, StreamQuality quality, StreamFrameRate frameRate,
                   std::shared_ptr<DisplayCaptureFactory> displays, std::shared_ptr<H264EncoderFactory> encoders);

    // Whether a frame captured now would be sent (a JPEG) or encoded (H.264); also tells the
    // bit-rate governor how the link is keeping up.
    bool wantsFrame(runtime::TimePoint now);
    void handleFrame(const VideoFrame& frame);
    void submit(H264Encoder& encoder, const VideoFrame& frame);
    void handleOutput(std::optional<EncodedVideoFrame> output);
    void sendEncoded(const EncodedVideoFrame& output);
    void sendJpeg(const VideoFrame& frame);
    void releaseEncodeSlot();
    void requestFrame();

    const std::shared_ptr<EncodedFrameSink> sink_;
    const StreamQuality quality_;
    const StreamFrameRate frameRate_;
    const std::shared_ptr<DisplayCaptureFactory> displays_;
    const std::shared_ptr<H264EncoderFactory> encoders_;
    const std::shared_ptr<runtime::SerialQueue> captureQueue_;
    JpegEncoder jpegEncoder_;  // capture queue only
    BitRateGovernor governor_;  // capture queue only

    // Guards only the in-flight count; never held together with the sink's own lock.
    mutable std::mutex encodeLock_;
    int pendingEncodes_ = 0;

    mutable std::mutex stateLock_;
    CaptureConfiguration configuration_;
    std::shared_ptr<H264Encoder> encoder_;
    std::shared_ptr<DisplayCaptureStream> stream_;
    bool started_ = false;
    bool stopped_ = false;
};

}  // namespace kestrio::capture
