#include "capture/screen_capturer.h"

#include <chrono>

namespace kestrio::capture {

namespace {

// Frames the capture facility may keep alive at once before it has to wait for us.
constexpr int captureQueueDepth = 5;

}  // namespace

std::shared_ptr<ScreenCapturer> ScreenCapturer::create(std::shared_ptr<EncodedFrameSink> sink, StreamQuality quality,
                                                       StreamFrameRate frameRate, std::shared_ptr<DisplayCaptureFactory> displays,
                                                       std::shared_ptr<H264EncoderFactory> encoders)
{
    return std::shared_ptr<ScreenCapturer>(
        new ScreenCapturer(std::move(sink), quality, frameRate, std::move(displays), std::move(encoders)));
}

ScreenCapturer::ScreenCapturer(std::shared_ptr<EncodedFrameSink> sink, StreamQuality quality, StreamFrameRate frameRate,
                               std::shared_ptr<DisplayCaptureFactory> displays, std::shared_ptr<H264EncoderFactory> encoders)
    : sink_(std::move(sink)),
      quality_(quality),
      frameRate_(frameRate),
      displays_(std::move(displays)),
      encoders_(std::move(encoders)),
      captureQueue_(runtime::SerialQueue::create("com.kestrio.capture")),
      jpegEncoder_(jpegQuality(quality)),
      governor_(averageBitRate(quality))
{
}

ScreenCapturer::~ScreenCapturer()
{
    // The frame and output handlers refer to this object; both are finished by stop().
    stop();
    captureQueue_->shutdown();
}

void ScreenCapturer::start(const CaptureDisplay& display, std::function<void(const CaptureEnd&)> ended)
{
    {
        std::lock_guard lock(stateLock_);
        if (started_ || stopped_)
            return;
        started_ = true;
    }
    const auto size = outputSize(display.width, display.height, quality_);
    const int fps = framesPerSecond(frameRate_);

    std::shared_ptr<H264Encoder> encoder;
    if (encoders_) {
        H264EncoderSettings settings;
        settings.width = size.width;
        settings.height = size.height;
        settings.averageBitRate = averageBitRate(quality_);
        settings.framesPerSecond = fps;
        settings.inputFormat = PixelFormat::nv12;
        try {
            // The output handler never outlives the encoder, which stop() (and so the
            // destructor) finishes and drops.
            encoder = encoders_->create(settings, [this](std::optional<EncodedVideoFrame> output) { handleOutput(std::move(output)); });
        } catch (const H264EncoderError&) {
            // No encoder on this machine: every viewer gets JPEG.
        }
    }

    CaptureConfiguration configuration;
    configuration.width = size.width;
    configuration.height = size.height;
    configuration.pixelFormat = encoder ? PixelFormat::nv12 : PixelFormat::bgra;
    configuration.minimumFrameInterval = runtime::Duration(std::chrono::seconds(1)) / fps;
    configuration.queueDepth = captureQueueDepth;
    configuration.showsCursor = true;
    // The same questions handleFrame() asks, put before the grab so that a picture that would be
    // dropped costs neither the grab nor the conversion. Runs on our queue, which stop() ends
    // before this object goes away.
    configuration.wantsFrame = [this](runtime::TimePoint now) { return wantsFrame(now); };
    configuration.ended = std::move(ended);
    {
        std::lock_guard lock(stateLock_);
        if (stopped_)
            return;
        encoder_ = encoder;
        configuration_ = configuration;
    }

    // Frames run on our own queue and stop() ends them before this object goes away.
    std::shared_ptr<DisplayCaptureStream> stream =
        displays_->start(display, configuration, captureQueue_, [this](const VideoFrame& frame) { handleFrame(frame); });
    bool stoppedMeanwhile;
    {
        std::lock_guard lock(stateLock_);
        stoppedMeanwhile = stopped_;
        if (!stoppedMeanwhile)
            stream_ = stream;
    }
    if (stoppedMeanwhile) {
        stream->stop();
        return;
    }
    // The link calls this on its own queue, possibly just as we stop: hold ourselves weakly.
    sink_->setFrameRequestHandler([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->requestFrame();
    });
}

void ScreenCapturer::stop()
{
    std::shared_ptr<DisplayCaptureStream> stream;
    std::shared_ptr<H264Encoder> encoder;
    {
        std::lock_guard lock(stateLock_);
        if (stopped_)
            return;
        stopped_ = true;
        stream = std::move(stream_);
        encoder = std::move(encoder_);
    }
    if (stream)
        stream->stop();
    sink_->setFrameRequestHandler({});
    if (encoder) {
        encoder->flush();
        encoder.reset();
    }
}

bool ScreenCapturer::hasEncoder() const
{
    std::lock_guard lock(stateLock_);
    return encoder_ != nullptr;
}

CaptureConfiguration ScreenCapturer::configuration() const
{
    std::lock_guard lock(stateLock_);
    return configuration_;
}

int ScreenCapturer::pendingEncodes() const
{
    std::lock_guard lock(encodeLock_);
    return pendingEncodes_;
}

void ScreenCapturer::requestFrame()
{
    std::shared_ptr<DisplayCaptureStream> stream;
    {
        std::lock_guard lock(stateLock_);
        stream = stream_;
    }
    if (stream)
        stream->requestFrame();
}

bool ScreenCapturer::wantsFrame(runtime::TimePoint now)
{
    std::shared_ptr<H264Encoder> encoder;
    {
        std::lock_guard lock(stateLock_);
        encoder = encoder_;
    }
    if (!encoder || !sink_->isViewerConnected() || !sink_->h264Capable())
        return sink_->canAcceptFrame();
    int encoding;
    {
        std::lock_guard lock(encodeLock_);
        encoding = pendingEncodes_;
    }
    // Every frame that leaves the encoder must find room at the link, or the frames after it
    // would refer to a picture the viewer never got: the frames in the encoder and those the
    // link holds stay within the one in flight and the one waiting.
    const int queued = sink_->framesQueued();
    const bool refusedByLink = !sink_->canAcceptFrame() || (queued > 0 && queued + encoding >= 2);
    if (const auto bitRate = governor_.pictureDue(now, refusedByLink || sink_->pathCongested()))
        encoder->setAverageBitRate(*bitRate);
    // Two frames in the encoder are enough to keep it busy; more would only add latency.
    return !refusedByLink && encoding <= 1;
}

void ScreenCapturer::handleFrame(const VideoFrame& frame)
{
    // Asked before any work: a picture the link cannot take is not worth encoding.
    if (!sink_->canAcceptFrame())
        return;
    if (!frame.planes[0] || frame.width <= 0 || frame.height <= 0)
        return;
    const bool h264Viewer = sink_->isViewerConnected() && sink_->h264Capable();
    std::shared_ptr<H264Encoder> encoder;
    {
        std::lock_guard lock(stateLock_);
        // A stop in progress has taken the encoder already; the frame it caught goes nowhere
        // rather than to an H.264 viewer as a JPEG.
        if (stopped_)
            return;
        if (h264Viewer)
            encoder = encoder_;
    }
    try {
        if (encoder && frame.format == PixelFormat::nv12)
            submit(*encoder, frame);
        else
            sendJpeg(frame);
    } catch (...) {
        // A frame that cannot be made is simply lost; the next one is tried afresh.
    }
}

void ScreenCapturer::submit(H264Encoder& encoder, const VideoFrame& frame)
{
    {
        std::lock_guard lock(encodeLock_);
        // Two frames in the encoder are enough to keep it busy; more would only add latency.
        if (pendingEncodes_ > 1)
            return;
        ++pendingEncodes_;
    }
    // Consumed only now, so that a request made while the encoder was full goes with the next
    // frame that is actually encoded.
    const bool forceKeyFrame = sink_->consumeKeyFrameRequest();
    bool submitted = false;
    try {
        submitted = encoder.encode(frame, forceKeyFrame);
    } catch (...) {
    }
    if (!submitted)
        releaseEncodeSlot();
}

void ScreenCapturer::handleOutput(std::optional<EncodedVideoFrame> output)
{
    if (output) {
        try {
            sendEncoded(*output);
        } catch (...) {
        }
    }
    releaseEncodeSlot();
}

void ScreenCapturer::sendEncoded(const EncodedVideoFrame& output)
{
    // The viewer may have gone, switched codec or filled up while the frame was encoded.
    if (!sink_->isViewerConnected() || !sink_->h264Capable())
        return;
    if (!sink_->canAcceptFrame())
        return;
    sink_->sendVideo(output);
}

void ScreenCapturer::sendJpeg(const VideoFrame& frame)
{
    if (auto jpeg = jpegEncoder_.encode(frame))
        sink_->sendJpeg(std::move(*jpeg));
}

void ScreenCapturer::releaseEncodeSlot()
{
    std::lock_guard lock(encodeLock_);
    pendingEncodes_ = std::max(pendingEncodes_ - 1, 0);
}

}  // namespace kestrio::capture
