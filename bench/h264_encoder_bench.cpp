// Time to encode one frame at the stream sizes and their bit rates, submission to handled output,
// as the capture path waits for it: libx264 driven directly at a quantizer chosen per frame (the
// host's software encoder), and libx264 through libavcodec with its own rate control.
#include "platform/ffmpeg/ffmpeg_h264_encoder.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace kestrio;

// Screen-like content with a region that changes every frame, so every frame costs real work.
std::vector<capture::VideoFrame> makeFrames(int width, int height, int count)
{
    std::vector<capture::VideoFrame> frames;
    for (int index = 0; index < count; ++index) {
        auto bytes = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(width) * height * 3 / 2);
        std::uint8_t* luma = bytes->data();
        std::uint8_t* chroma = luma + static_cast<std::size_t>(width) * height;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                int value = 40 + (x * 120) / width + (y * 60) / height;
                if ((x / 160 + y / 90) % 3 == 0 && x % 160 > 8 && y % 90 > 8)
                    value = 200;
                if (x % 8 < 5 && y % 14 < 9 && (x / 8 + y / 14 + index) % 5 == 0 && y < height / 3)
                    value = 20;  // "text" that scrolls
                const int squareX = (index * 24) % (width - 128);
                if (x >= squareX && x < squareX + 128 && y >= height / 2 && y < height / 2 + 128)
                    value = 230 - (x + y) % 40;
                luma[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint8_t>(value);
            }
        }
        for (int i = 0; i < width * height / 2; ++i)
            chroma[i] = static_cast<std::uint8_t>(128 + (i % 97) / 8 - 6);
        capture::VideoFrame frame;
        frame.width = width;
        frame.height = height;
        frame.planes = {luma, chroma};
        frame.strides = {width, width};
        frame.storage = bytes;
        frames.push_back(std::move(frame));
    }
    return frames;
}

struct Waiter {
    std::mutex mutex;
    std::condition_variable done;
    int handled = 0;
    std::size_t bytes = 0;
};

// Arguments: width, height, bit rate, encoder (0 x264 direct, 1 libavcodec's libx264 ultrafast,
// 2 the same superfast), threads (libavcodec only), copy (1 = the frame has no storage, so the
// encoder copies it).
void encodeFrame(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const int bitRate = static_cast<int>(state.range(2));
    platform::ffmpeg::FfmpegH264EncoderOptions options;
    options.candidates = {state.range(3) == 0 ? "x264" : "libx264"};
    options.x264Preset = state.range(3) == 2 ? "superfast" : "ultrafast";
    options.x264Threads = static_cast<int>(state.range(4));
    const bool copy = state.range(5) != 0;

    auto frames = makeFrames(width, height, 60);
    std::vector<std::shared_ptr<const void>> owners;
    if (copy) {
        for (auto& frame : frames)
            owners.push_back(std::exchange(frame.storage, nullptr));
    }
    Waiter waiter;
    platform::ffmpeg::FfmpegH264EncoderFactory factory(options);
    auto encoder = factory.create({width, height, bitRate, 60, capture::PixelFormat::nv12},
                                  [&waiter](std::optional<capture::EncodedVideoFrame> output) {
                                      std::lock_guard lock(waiter.mutex);
                                      if (output)
                                          waiter.bytes += output->data.size() + output->sps.size() + output->pps.size();
                                      ++waiter.handled;
                                      waiter.done.notify_all();
                                  });
    std::size_t index = 0;
    int submitted = 0;
    auto encodeOne = [&] {
        encoder->encode(frames[index], false);
        index = (index + 1) % frames.size();
        ++submitted;
        std::unique_lock lock(waiter.mutex);
        waiter.done.wait(lock, [&] { return waiter.handled == submitted; });
    };
    // The key frame and the settling of rate control are not what a stream spends its time on.
    for (int i = 0; i < 10; ++i)
        encodeOne();
    const std::size_t warmUpBytes = waiter.bytes;
    const int warmUpFrames = submitted;

    for (auto _ : state)
        encodeOne();
    encoder->flush();
    state.counters["bytes_per_frame"] = static_cast<double>(waiter.bytes - warmUpBytes) / (submitted - warmUpFrames);
    state.SetLabel(encoder->name() + " " + options.x264Preset + (copy ? " copy" : ""));
}

void sizes(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgNames({"w", "h", "bps", "encoder", "threads", "copy"});
    const std::int64_t streams[][3] = {{1280, 720, 4'000'000}, {1728, 972, 8'000'000}, {1920, 1080, 14'000'000}};
    for (const auto& stream : streams) {
        for (std::int64_t encoder : {0, 1, 2})
            benchmark->Args({stream[0], stream[1], stream[2], encoder, 1, 0});
    }
    // Two slice threads, and the copy taken when a frame comes without an owner, at the
    // balanced size.
    benchmark->Args({1728, 972, 8'000'000, 2, 2, 0});
    benchmark->Args({1728, 972, 8'000'000, 1, 2, 0});
    benchmark->Args({1728, 972, 8'000'000, 0, 1, 1});
}

BENCHMARK(encodeFrame)->Apply(sizes)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
