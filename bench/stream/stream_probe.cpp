// stream_probe: a measuring viewer. Connects to a host with H.264, decodes every frame, reads the
// frame counter drawn by stream_animator back out of the picture and writes one record per frame
// decoded during the measurement window:
//     <counter or -1> <decoded ns> <received ns> <payload bytes> <k|d|j>
// (CLOCK_MONOTONIC nanoseconds; steady_clock is that clock on Linux). Standard output carries
// "connected", "measuring" at the end of the warm-up, and a summary line "done key=value ..." so
// that a driving script can sample other processes at the same moments.
//
// With --count-seconds S it then stops decoding and only reads and counts the stream for S more
// seconds ("counting" when that starts, then "counted frames=... payload_bytes=... seconds=..."),
// so that the host's CPU can be measured without a decoder competing for the same cores.
//
// With --no-read it only handshakes and then sleeps without ever reading, to see what a stuck
// viewer does to the host.

#include "viewer/viewer_session.h"

extern "C" {
#include <libavutil/log.h>
}

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

namespace {

using namespace kestrio::viewer;

constexpr int blockSize = 32;
constexpr int counterBits = 16;
constexpr int counterMargin = 16;

struct Arguments {
    std::uint16_t port = 59590;
    double warmup = 3.0;
    double seconds = 20.0;
    double countSeconds = 0.0;
    int screenWidth = 1920;
    std::string records;
    bool noRead = false;
};

std::int64_t nanoseconds(TimePoint time)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

int luma(const RgbImage& picture, double centreX, double centreY)
{
    const int cx = static_cast<int>(centreX);
    const int cy = static_cast<int>(centreY);
    int sum = 0;
    int count = 0;
    for (int y = cy - 1; y <= cy + 1; ++y) {
        for (int x = cx - 1; x <= cx + 1; ++x) {
            if (x < 0 || y < 0 || x >= picture.width || y >= picture.height)
                continue;
            const std::uint8_t* p = picture.pixel(x, y);
            sum += (77 * p[0] + 150 * p[1] + 29 * p[2]) >> 8;
            ++count;
        }
    }
    return count ? sum / count : 0;
}

// The counter, or -1 when a bit and its inverted copy do not disagree clearly enough.
int readCounter(const RgbImage& picture, int screenWidth)
{
    const double scale = static_cast<double>(picture.width) / screenWidth;
    int value = 0;
    for (int bit = 0; bit < counterBits; ++bit) {
        const double x = (counterMargin + bit * blockSize + blockSize / 2.0) * scale;
        const int top = luma(picture, x, (counterMargin + blockSize / 2.0) * scale);
        const int bottom = luma(picture, x, (counterMargin + blockSize + blockSize / 2.0) * scale);
        if (top - bottom > 64)
            value = (value << 1) | 1;
        else if (bottom - top > 64)
            value <<= 1;
        else
            return -1;
    }
    return value;
}

bool parseArguments(int argc, char** argv, Arguments& arguments)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (flag == "--no-read") {
            arguments.noRead = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        if (flag == "--port")
            arguments.port = static_cast<std::uint16_t>(std::atoi(value));
        else if (flag == "--warmup")
            arguments.warmup = std::atof(value);
        else if (flag == "--seconds")
            arguments.seconds = std::atof(value);
        else if (flag == "--count-seconds")
            arguments.countSeconds = std::atof(value);
        else if (flag == "--screen-width")
            arguments.screenWidth = std::atoi(value);
        else if (flag == "--records")
            arguments.records = value;
        else
            return false;
    }
    return arguments.port != 0 && arguments.screenWidth > 0 && (arguments.noRead || !arguments.records.empty());
}

std::chrono::nanoseconds seconds(double value)
{
    return std::chrono::nanoseconds(static_cast<std::int64_t>(value * 1e9));
}

}  // namespace

int main(int argc, char** argv)
{
    Arguments arguments;
    if (!parseArguments(argc, argv, arguments)) {
        std::fputs("usage: stream_probe --port N --records FILE [--warmup S] [--seconds S] [--count-seconds S]\n"
                   "                    [--screen-width W]\n"
                   "       stream_probe --port N --no-read [--seconds S]\n",
                   stderr);
        return 2;
    }
    av_log_set_level(AV_LOG_QUIET);

    ViewerOptions options;
    options.port = arguments.port;
    options.codec = Codec::h264;
    options.name = "stream-probe";
    ViewerSession session(options);
    if (!session.connect(std::chrono::seconds(10))) {
        std::fputs("stream_probe: cannot connect\n", stderr);
        return 1;
    }
    std::printf("connected\n");
    std::fflush(stdout);

    if (arguments.noRead) {
        std::this_thread::sleep_for(seconds(arguments.seconds));
        std::printf("done\n");
        return 0;
    }

    std::FILE* records = std::fopen(arguments.records.c_str(), "w");
    if (!records) {
        std::fputs("stream_probe: cannot write the records\n", stderr);
        return 1;
    }

    bool measuring = false;
    std::uint64_t frames = 0;
    std::uint64_t unreadable = 0;
    std::uint64_t payloadBytes = 0;
    std::uint64_t keyFrames = 0;
    int width = 0;
    int height = 0;
    session.setFrameCallback([&](const DecodedFrame& frame) {
        const TimePoint decodedAt = Clock::now();
        if (!measuring)
            return;
        const int counter = readCounter(frame.picture, arguments.screenWidth);
        const char kind = frame.kind == FrameKind::h264Key ? 'k' : frame.kind == FrameKind::h264Delta ? 'd' : 'j';
        std::fprintf(records, "%d %lld %lld %zu %c\n", counter, static_cast<long long>(nanoseconds(decodedAt)),
                     static_cast<long long>(nanoseconds(frame.receivedAt)), frame.payloadBytes, kind);
        ++frames;
        unreadable += counter < 0 ? 1 : 0;
        payloadBytes += frame.payloadBytes;
        keyFrames += frame.kind == FrameKind::h264Key ? 1 : 0;
        width = frame.picture.width;
        height = frame.picture.height;
    });

    auto result = session.run(std::nullopt, seconds(arguments.warmup));
    if (result == ViewerSession::RunResult::closed || result == ViewerSession::RunResult::failed) {
        std::fputs("stream_probe: the host went away during the warm-up\n", stderr);
        std::fclose(records);
        return 1;
    }
    const auto errorsBefore = session.statistics().decodeErrors;
    measuring = true;
    const TimePoint start = Clock::now();
    std::printf("measuring\n");
    std::fflush(stdout);
    result = session.run(std::nullopt, seconds(arguments.seconds));
    const TimePoint end = Clock::now();
    measuring = false;
    std::fclose(records);
    const double elapsed = std::chrono::duration<double>(end - start).count();
    std::printf("done seconds=%.6f frames=%llu unreadable=%llu payload_bytes=%llu key_frames=%llu decode_errors=%llu "
                "width=%d height=%d start_ns=%lld end_ns=%lld result=%d\n",
                elapsed, static_cast<unsigned long long>(frames), static_cast<unsigned long long>(unreadable),
                static_cast<unsigned long long>(payloadBytes), static_cast<unsigned long long>(keyFrames),
                static_cast<unsigned long long>(session.statistics().decodeErrors - errorsBefore), width, height,
                static_cast<long long>(nanoseconds(start)), static_cast<long long>(nanoseconds(end)), static_cast<int>(result));
    std::fflush(stdout);
    if (result == ViewerSession::RunResult::limitReached && arguments.countSeconds > 0) {
        session.setDecoding(false);
        const auto& statistics = session.statistics();
        const auto countedFrames = [&] { return statistics.h264KeyFrames + statistics.h264DeltaFrames + statistics.jpegFrames; };
        const std::uint64_t framesBefore = countedFrames();
        const std::uint64_t bytesBefore = statistics.videoBytes;
        const TimePoint countStart = Clock::now();
        std::printf("counting\n");
        std::fflush(stdout);
        result = session.run(std::nullopt, seconds(arguments.countSeconds));
        const double counted = std::chrono::duration<double>(Clock::now() - countStart).count();
        std::printf("counted seconds=%.6f frames=%llu payload_bytes=%llu result=%d\n", counted,
                    static_cast<unsigned long long>(countedFrames() - framesBefore),
                    static_cast<unsigned long long>(statistics.videoBytes - bytesBefore), static_cast<int>(result));
        std::fflush(stdout);
    }
    session.close();
    return result == ViewerSession::RunResult::limitReached ? 0 : 1;
}
