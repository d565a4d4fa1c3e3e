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
    for (std::size_t i = 0; i < a.size(); ++i)
        if (i % 4 != 3)
            squares += (static_cast<double>(a[i]) - b[i]) * (static_cast<double>(a[i]) - b[i]);
    const double meanSquare = squares / static_cast<double>(a.size() / 4 * 3);
    return meanSquare == 0 ? 100.0 : 10.0 * std::log10(255.0 * 255.0 / meanSquare);
}

void Fakes::add(std::string event)
{
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
}

std::vector<std::string> Fakes::log()
{
    std::lock_guard lock(mutex);
    return events;
}

class FakeDisplays::Stream final : public capture::DisplayCaptureStream {
public:
    explicit Stream(FakeDisplays& displays) : displays_(displays) {}
    ~Stream() override { stop(); }

    void stop() override
    {
        if (displays_.stopped.exchange(true))
            return;
        displays_.fakes_->add("stream.stop");
        // Once the queue has run what was posted, no handler is running and none will.
        if (!displays_.queue_->isCurrent())
            displays_.queue_->sync();
    }

    void requestFrame() override { ++displays_.frameRequests; }

private:
    FakeDisplays& displays_;
};

std::unique_ptr<capture::DisplayCaptureStream> FakeDisplays::start(const capture::CaptureDisplay&,
                                                                   const capture::CaptureConfiguration& configuration,
                                                                   std::shared_ptr<runtime::SerialQueue> queue,
                                                                   capture::DisplayCaptureStream::FrameHandler handler)
{
    this->configuration = configuration;
    if (failure)
        throw *failure;
    queue_ = std::move(queue);
    handler_ = std::move(handler);
    stopped = false;
    fakes_->add("stream.start");
    return std::make_unique<Stream>(*this);
}

void FakeDisplays::deliver(const capture::VideoFrame& frame)
{
    queue_->post([this, frame] {
        if (!stopped.load())
            handler_(frame);
    });
    queue_->sync();
}

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

class FakeEncoders::Encoder final : public capture::H264Encoder {
public:
    explicit Encoder(FakeEncoders& factory) : factory_(factory) { factory_.alive = true; }
    ~Encoder() override
    {
        factory_.alive = false;
        factory_.fakes_->add("encoder.destroy");
    }

    bool encode(const capture::VideoFrame&, bool forceKeyFrame) override
    {
        if (factory_.refuse.load())
            return false;
        std::lock_guard lock(factory_.mutex_);
        factory_.forcedKeyFrames.push_back(forceKeyFrame);
        return true;
    }

    void flush() override
    {
        factory_.fakes_->add("encoder.flush");
        factory_.emit();
    }

    std::string name() const override { return "fake"; }
    void setAverageBitRate(int bitsPerSecond) override { factory_.fakes_->add("encoder.bitRate " + std::to_string(bitsPerSecond)); }

private:
    FakeEncoders& factory_;
};

std::unique_ptr<capture::H264Encoder> FakeEncoders::create(const capture::H264EncoderSettings& settings,
                                                           capture::H264Encoder::OutputHandler output)
{
    this->settings = settings;
    if (failCreation)
        throw capture::H264EncoderError("no encoder", -12915);
    output_ = std::move(output);
    return std::make_unique<Encoder>(*this);
}

void FakeEncoders::emit(int count)
{
    std::vector<std::optional<capture::EncodedVideoFrame>> outputs;
    {
        std::lock_guard lock(mutex_);
        for (; answered_ < forcedKeyFrames.size() && (count < 0 || static_cast<int>(outputs.size()) < count); ++answered_) {
            if (emitNothing.load())
                outputs.emplace_back(std::nullopt);
            else
                outputs.emplace_back(fakeEncodedFrame(answered_ == 0 || forcedKeyFrames[answered_], answered_));
        }
    }
    std::thread([&] {
        for (auto& encoded : outputs)
            output_(std::move(encoded));
    }).join();
}

bool ScriptedSink::canAcceptFrame() const
{
    ++acceptQueries;
    if (onAcceptQuery)
        onAcceptQuery();
    return accept.load();
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

std::function<void()> ScriptedSink::frameRequestHandler()
{
    std::lock_guard lock(mutex_);
    return handler_;
}

std::vector<std::vector<std::uint8_t>> ScriptedSink::sent()
{
    std::lock_guard lock(mutex_);
    return sent_;
}

}  // namespace kestrio::test
