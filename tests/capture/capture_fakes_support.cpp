#include "capture/capture_fakes_support.h"

#include <libyuv.h>

#include <cmath>
#include <thread>

namespace kestrio::test {

using capture::PixelFormat;

OwnedFrame makeTestFrame(PixelFormat format, int width, int height)
{
    OwnedFrame owned;
    owned.bgra.resize(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width;
            const double v = static_cast<double>(y) / height;
            auto* pixel = &owned.bgra[(static_cast<std::size_t>(y) * width + x) * 4];
            pixel[0] = static_cast<std::uint8_t>(40 + 170 * u);
            pixel[1] = static_cast<std::uint8_t>(128 + 100 * std::sin(3.0 * u + 2.0 * v));
            pixel[2] = static_cast<std::uint8_t>(30 + 190 * v);
            pixel[3] = 255;
        }
    }

    auto& frame = owned.frame;
    frame.format = format;
    frame.width = width;
    frame.height = height;
    if (format == PixelFormat::bgra) {
        auto pixels = std::make_shared<std::vector<std::uint8_t>>(owned.bgra);
        frame.planes = {pixels->data(), nullptr};
        frame.strides = {width * 4, 0};
        frame.storage = pixels;
        return owned;
    }
    const int chromaStride = ((width + 1) / 2) * 2;
    const std::size_t lumaSize = static_cast<std::size_t>(width) * height;
    auto planes = std::make_shared<std::vector<std::uint8_t>>(lumaSize + static_cast<std::size_t>(chromaStride) * ((height + 1) / 2));
    libyuv::ARGBToNV12(owned.bgra.data(), width * 4, planes->data(), width, planes->data() + lumaSize, chromaStride, width, height);
    frame.planes = {planes->data(), planes->data() + lumaSize};
    frame.strides = {width, chromaStride};
    frame.storage = planes;
    return owned;
}

double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b)
{
    if (a.size() != b.size() || a.empty())
        return 0;
    double squares = 0;
    std::size_t samples = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i % 4 == 3)
            continue;
        const double difference = static_cast<double>(a[i]) - b[i];
        squares += difference * difference;
        ++samples;
    }
    const double meanSquare = squares / static_cast<double>(samples);
    return meanSquare == 0 ? 100.0 : 10.0 * std::log10(255.0 * 255.0 / meanSquare);
}

void EventLog::add(std::string event)
{
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
}

std::vector<std::string> EventLog::events() const
{
    std::lock_guard lock(mutex_);
    return events_;
}

// MARK: Display capture

class FakeDisplayCaptureFactory::Stream final : public capture::DisplayCaptureStream {
public:
    Stream(std::shared_ptr<State> state, std::shared_ptr<EventLog> log) : state_(std::move(state)), log_(std::move(log)) {}
    ~Stream() override { stop(); }

    void stop() override
    {
        if (state_->stopped.exchange(true))
            return;
        log_->add("stream.stop");
        std::shared_ptr<runtime::SerialQueue> queue;
        {
            std::lock_guard lock(state_->mutex);
            queue = state_->queue;
        }
        // Once the queue has run what was posted, no handler is running and none will.
        if (queue && !queue->isCurrent())
            queue->sync();
    }

    void requestFrame() override { ++state_->frameRequests; }

private:
    std::shared_ptr<State> state_;
    std::shared_ptr<EventLog> log_;
};

std::unique_ptr<capture::DisplayCaptureStream> FakeDisplayCaptureFactory::start(const capture::CaptureDisplay& display,
                                                                                const capture::CaptureConfiguration& configuration,
                                                                                std::shared_ptr<runtime::SerialQueue> queue,
                                                                                capture::DisplayCaptureStream::FrameHandler handler)
{
    auto state = std::make_shared<State>();
    state->queue = std::move(queue);
    state->handler = std::move(handler);
    {
        std::lock_guard lock(mutex_);
        configuration_ = configuration;
        display_ = display;
        if (failure)
            throw *failure;
        state_ = state;
    }
    log_->add("stream.start");
    return std::make_unique<Stream>(state, log_);
}

std::shared_ptr<FakeDisplayCaptureFactory::State> FakeDisplayCaptureFactory::state() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

void FakeDisplayCaptureFactory::deliver(const capture::VideoFrame& frame)
{
    const auto state = this->state();
    std::shared_ptr<runtime::SerialQueue> queue;
    {
        std::lock_guard lock(state->mutex);
        queue = state->queue;
    }
    if (!queue)
        return;
    queue->post([state, frame] {
        if (state->stopped.load())
            return;
        capture::DisplayCaptureStream::FrameHandler handler;
        {
            std::lock_guard lock(state->mutex);
            handler = state->handler;
        }
        handler(frame);
    });
    queue->sync();
}

std::optional<capture::CaptureConfiguration> FakeDisplayCaptureFactory::configuration() const
{
    std::lock_guard lock(mutex_);
    return configuration_;
}

std::optional<capture::CaptureDisplay> FakeDisplayCaptureFactory::display() const
{
    std::lock_guard lock(mutex_);
    return display_;
}

// MARK: H.264 encoder

capture::EncodedVideoFrame fakeEncodedFrame(bool keyFrame, std::size_t index)
{
    capture::EncodedVideoFrame frame;
    frame.isKeyFrame = keyFrame;
    if (keyFrame) {
        frame.sps = {0x67, 0x64, 0x00, 0x1f};
        frame.pps = {0x68, 0xee};
    }
    frame.data = {0, 0, 0, 2, keyFrame ? std::uint8_t{0x65} : std::uint8_t{0x41}, static_cast<std::uint8_t>(index)};
    return frame;
}

class FakeH264EncoderFactory::Encoder final : public capture::H264Encoder {
public:
    Encoder(FakeH264EncoderFactory& factory, std::shared_ptr<State> state, std::shared_ptr<EventLog> log)
        : factory_(factory), state_(std::move(state)), log_(std::move(log))
    {
        state_->alive = true;
    }
    ~Encoder() override
    {
        state_->alive = false;
        log_->add("encoder.destroy");
    }

    bool encode(const capture::VideoFrame& frame, bool forceKeyFrame) override
    {
        if (factory_.refuse.load())
            return false;
        std::lock_guard lock(state_->mutex);
        state_->submissions.push_back({frame.format, frame.width, frame.height, forceKeyFrame});
        state_->unanswered.push_back(state_->submissions.size() - 1);
        return true;
    }

    void flush() override
    {
        log_->add("encoder.flush");
        factory_.emitFrom(state_, -1);
    }

    std::string name() const override { return "fake"; }

    void setAverageBitRate(int bitsPerSecond) override { log_->add("encoder.bitRate " + std::to_string(bitsPerSecond)); }

private:
    FakeH264EncoderFactory& factory_;
    std::shared_ptr<State> state_;
    std::shared_ptr<EventLog> log_;
};

std::unique_ptr<capture::H264Encoder> FakeH264EncoderFactory::create(const capture::H264EncoderSettings& settings,
                                                                     capture::H264Encoder::OutputHandler output)
{
    {
        std::lock_guard lock(mutex_);
        settings_ = settings;
    }
    if (failCreation)
        throw capture::H264EncoderError("no encoder", -12915);
    {
        std::lock_guard lock(state_->mutex);
        state_->output = std::move(output);
    }
    return std::make_unique<Encoder>(*this, state_, log_);
}

void FakeH264EncoderFactory::emit(int count)
{
    emitFrom(state_, count);
}

void FakeH264EncoderFactory::emitFrom(const std::shared_ptr<State>& state, int count)
{
    std::vector<std::optional<capture::EncodedVideoFrame>> outputs;
    capture::H264Encoder::OutputHandler output;
    {
        std::lock_guard lock(state->mutex);
        output = state->output;
        while (!state->unanswered.empty() && (count < 0 || static_cast<int>(outputs.size()) < count)) {
            const auto index = state->unanswered.front();
            state->unanswered.pop_front();
            if (emitNothing.load())
                outputs.emplace_back(std::nullopt);
            else
                outputs.emplace_back(fakeEncodedFrame(index == 0 || state->submissions[index].forceKeyFrame, index));
        }
    }
    std::thread encoderThread([&] {
        for (auto& encoded : outputs)
            output(std::move(encoded));
    });
    encoderThread.join();
}

std::optional<capture::H264EncoderSettings> FakeH264EncoderFactory::settings() const
{
    std::lock_guard lock(mutex_);
    return settings_;
}

std::vector<FakeH264EncoderFactory::Submission> FakeH264EncoderFactory::submissions() const
{
    std::lock_guard lock(state_->mutex);
    return state_->submissions;
}

int FakeH264EncoderFactory::unanswered() const
{
    std::lock_guard lock(state_->mutex);
    return static_cast<int>(state_->unanswered.size());
}

// MARK: Sink

bool ScriptedSink::canAcceptFrame() const
{
    ++acceptQueries;
    if (onAcceptQuery)
        onAcceptQuery();
    return accept.load();
}

bool ScriptedSink::isViewerConnected() const
{
    ++otherQueries;
    return connected.load();
}

bool ScriptedSink::h264Capable() const
{
    ++otherQueries;
    return h264.load();
}

bool ScriptedSink::consumeKeyFrameRequest()
{
    ++otherQueries;
    return keyFrameRequested.exchange(false);
}

void ScriptedSink::send(std::vector<std::uint8_t> payload)
{
    std::lock_guard lock(mutex_);
    sent_.push_back(std::move(payload));
}

void ScriptedSink::setFrameRequestHandler(std::function<void()> handler)
{
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void ScriptedSink::requestFrame()
{
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        handler = handler_;
    }
    if (handler)
        handler();
}

bool ScriptedSink::hasFrameRequestHandler() const
{
    std::lock_guard lock(mutex_);
    return static_cast<bool>(handler_);
}

std::vector<std::vector<std::uint8_t>> ScriptedSink::sent() const
{
    std::lock_guard lock(mutex_);
    return sent_;
}

}  // namespace kestrio::test
