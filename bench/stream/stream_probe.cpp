// stream_probe: a measuring viewer. Connects to a host, decodes every frame, reads the frame
// counter drawn by stream_animator back out of the picture and writes one record per frame
// decoded during the measurement window:
//     <counter or -1> <decoded ns> <received ns> <payload bytes> <k|d|j>
// (CLOCK_MONOTONIC nanoseconds; steady_clock is that clock on Linux). Standard output carries
// "connected", "measuring" at the end of the warm-up, and a summary line "done key=value ..." so
// that a driving script can sample other processes at the same moments. With --ping-ms N it
// sends "PING" every N ms in the measurement window and the summary adds the round trips.
//
// With --count-seconds S it then stops decoding and only reads and counts the stream for S more
// seconds ("counting" when that starts, then "counted frames=... payload_bytes=... seconds=..."),
// so that the host's CPU can be measured without a decoder competing for the same cores. The
// payloads of that window are kept; once it is over and the connection is closed, they are
// decoded to read the counters ("delivered frames=... distinct=... span=..."), and with --dump
// FILE written out as an elementary stream (Annex B H.264, or concatenated JPEG files) for
// other tools to count distinct pictures in.
//
// With --no-read it only handshakes and then sleeps without ever reading, to see what a stuck
// viewer does to the host.
//
// With --annexb-stdin it reads an H.264 Annex B stream with access unit delimiters from standard
// input instead of a host (an ffmpeg pipe, say), cuts it into access units at the delimiters and
// measures them the same way: "connected" once the first bytes come, the same records and lines.
// A unit's received time is when the read that brought its last byte returned.

#include "viewer/h264_packet.h"
#include "viewer/viewer_session.h"

extern "C" {
#include <libavutil/log.h>
}

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace kestrio::viewer;

constexpr int blockSize = 32;
constexpr int counterBits = 16;
constexpr int counterMargin = 16;

struct Arguments {
    ViewerOptions options;
    double warmup = 3.0;
    double seconds = 20.0;
    double countSeconds = 0.0;
    int pingMilliseconds = 0;
    int screenWidth = 1920;
    std::string records;
    std::string dump;
    bool noRead = false;
    bool annexBStdin = false;
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
    auto& options = arguments.options;
    options.codec = Codec::h264;
    options.name = "stream-probe";
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (flag == "--no-read" || flag == "--annexb-stdin") {
            (flag == "--no-read" ? arguments.noRead : arguments.annexBStdin) = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const std::string_view value = argv[++i];
        if (flag == "--port")
            options.port = static_cast<std::uint16_t>(std::atoi(value.data()));
        else if (flag == "--host")
            options.host = value;
        else if (flag == "--codec" && (value == "h264" || value == "jpeg"))
            options.codec = value == "h264" ? Codec::h264 : Codec::jpeg;
        else if (flag == "--warmup")
            arguments.warmup = std::atof(value.data());
        else if (flag == "--seconds")
            arguments.seconds = std::atof(value.data());
        else if (flag == "--count-seconds")
            arguments.countSeconds = std::atof(value.data());
        else if (flag == "--ping-ms")
            arguments.pingMilliseconds = std::atoi(value.data());
        else if (flag == "--screen-width")
            arguments.screenWidth = std::atoi(value.data());
        else if (flag == "--records")
            arguments.records = value;
        else if (flag == "--dump")
            arguments.dump = value;
        else
            return false;
    }
    if (arguments.annexBStdin)
        return !arguments.records.empty() && arguments.screenWidth > 0 && !arguments.noRead;
    return options.port != 0 && arguments.screenWidth > 0 && arguments.pingMilliseconds >= 0 &&
           (arguments.noRead || !arguments.records.empty());
}

std::chrono::nanoseconds seconds(double value)
{
    return std::chrono::nanoseconds(static_cast<std::int64_t>(value * 1e9));
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const double position = (values.size() - 1) * fraction;
    const auto low = static_cast<std::size_t>(position);
    const std::size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (position - low);
}

// What the measurement window saw, for the summary line.
struct Tally {
    std::uint64_t frames = 0;
    std::uint64_t unreadable = 0;
    std::uint64_t payloadBytes = 0;
    std::uint64_t keyFrames = 0;
    int width = 0;
    int height = 0;
};

void writeRecord(std::FILE* records, Tally& tally, const RgbImage& picture, int screenWidth, FrameKind kind, TimePoint decodedAt,
                 TimePoint receivedAt, std::size_t payloadBytes)
{
    const int counter = readCounter(picture, screenWidth);
    const char letter = kind == FrameKind::h264Key ? 'k' : kind == FrameKind::h264Delta ? 'd' : 'j';
    std::fprintf(records, "%d %lld %lld %zu %c\n", counter, static_cast<long long>(nanoseconds(decodedAt)),
                 static_cast<long long>(nanoseconds(receivedAt)), payloadBytes, letter);
    ++tally.frames;
    tally.unreadable += counter < 0 ? 1 : 0;
    tally.payloadBytes += payloadBytes;
    tally.keyFrames += kind == FrameKind::h264Key ? 1 : 0;
    tally.width = picture.width;
    tally.height = picture.height;
}

void printDone(const Tally& tally, std::uint64_t decodeErrors, TimePoint start, TimePoint end, std::vector<double> roundTrips,
               int result)
{
    std::printf("done seconds=%.6f frames=%llu unreadable=%llu payload_bytes=%llu key_frames=%llu decode_errors=%llu "
                "width=%d height=%d start_ns=%lld end_ns=%lld pongs=%zu rtt_p50_ms=%.1f rtt_p95_ms=%.1f rtt_max_ms=%.1f result=%d\n",
                std::chrono::duration<double>(end - start).count(), static_cast<unsigned long long>(tally.frames),
                static_cast<unsigned long long>(tally.unreadable), static_cast<unsigned long long>(tally.payloadBytes),
                static_cast<unsigned long long>(tally.keyFrames), static_cast<unsigned long long>(decodeErrors), tally.width,
                tally.height, static_cast<long long>(nanoseconds(start)), static_cast<long long>(nanoseconds(end)), roundTrips.size(),
                percentile(roundTrips, 0.5), percentile(roundTrips, 0.95), percentile(roundTrips, 1.0), result);
    std::fflush(stdout);
}

// Runs the session for `duration`, sending "PING" every `pingInterval` when that is positive.
ViewerSession::RunResult runWithPings(ViewerSession& session, std::chrono::nanoseconds duration, std::chrono::milliseconds pingInterval)
{
    if (pingInterval <= std::chrono::milliseconds::zero())
        return session.run(std::nullopt, duration);
    const TimePoint end = Clock::now() + duration;
    TimePoint nextPing = Clock::now();
    for (;;) {
        const TimePoint now = Clock::now();
        if (now >= end)
            return ViewerSession::RunResult::limitReached;
        if (now >= nextPing) {
            session.sendPing();
            nextPing += pingInterval;
        }
        const auto result = session.run(std::nullopt, std::min(nextPing, end) - now);
        if (result != ViewerSession::RunResult::limitReached)
            return result;
    }
}

struct KeptPayload {
    FrameKind kind;
    std::vector<std::uint8_t> bytes;
};

// Decodes what the counting window kept, reads the counters and, when asked, writes the stream
// out. The span runs from the first readable counter to the last, in arrival order, across the
// 16-bit wrap: every change drawn in it had a counter of its own.
void reportDelivered(const std::vector<KeptPayload>& kept, const Arguments& arguments)
{
    std::FILE* dump = arguments.dump.empty() ? nullptr : std::fopen(arguments.dump.c_str(), "wb");
    H264Decoder h264;
    JpegDecoder jpeg;
    RgbImage picture;
    std::set<std::int64_t> distinct;
    std::int64_t first = -1;
    std::int64_t last = -1;
    std::uint64_t decoded = 0;
    std::uint64_t unreadable = 0;
    std::uint64_t repeats = 0;
    bool started = false;
    for (const KeptPayload& payload : kept) {
        bool pictured = false;
        if (payload.kind == FrameKind::jpeg) {
            if (dump)
                std::fwrite(payload.bytes.data(), 1, payload.bytes.size(), dump);
            pictured = jpeg.decode(payload.bytes, picture);
        } else {
            // Decoding starts at a key frame, as a viewer joining the stream would.
            started = started || payload.kind == FrameKind::h264Key;
            const auto packet = parseH264Packet(payload.bytes);
            if (!started || !packet)
                continue;
            if (dump) {
                const auto annexB = toAnnexB(*packet);
                std::fwrite(annexB.data(), 1, annexB.size(), dump);
            }
            pictured = h264.decode(*packet, picture) == H264Decoder::Result::picture;
        }
        if (!pictured)
            continue;
        ++decoded;
        const int counter = readCounter(picture, arguments.screenWidth);
        if (counter < 0) {
            ++unreadable;
            continue;
        }
        // Unwrapped: the nearest value to the previous one with these low 16 bits.
        std::int64_t value = counter;
        if (last >= 0) {
            value = last + static_cast<std::int16_t>(static_cast<std::uint16_t>(counter - last));
            repeats += value == last ? 1 : 0;
        } else {
            first = value;
        }
        last = std::max(last, value);
        distinct.insert(value);
    }
    if (dump)
        std::fclose(dump);
    const std::int64_t span = first >= 0 ? last - first + 1 : 0;
    std::printf("delivered frames=%zu decoded=%llu distinct=%zu span=%lld repeats=%llu unreadable=%llu\n", kept.size(),
                static_cast<unsigned long long>(decoded), distinct.size(), static_cast<long long>(span),
                static_cast<unsigned long long>(repeats), static_cast<unsigned long long>(unreadable));
    std::fflush(stdout);
}

// Standard input, read on a thread of its own: the time a read returns is when its bytes
// arrived, however long decoding the pictures before them takes.
class InputReader {
public:
    struct Chunk {
        std::vector<std::uint8_t> bytes;
        TimePoint readAt;
    };

    InputReader() : thread_([this] { readAll(); }) {}
    ~InputReader()
    {
        stop_ = true;
        thread_.join();
    }

    // Moves what has been read into `out`, waiting until `deadline` when nothing has. False once
    // the input has ended and everything read has been taken.
    bool take(TimePoint deadline, std::vector<Chunk>& out)
    {
        std::unique_lock lock(mutex_);
        ready_.wait_until(lock, deadline, [&] { return !chunks_.empty() || ended_; });
        out = std::move(chunks_);
        chunks_.clear();
        return !out.empty() || !ended_;
    }

private:
    void readAll()
    {
        std::vector<std::uint8_t> buffer(65536);
        while (!stop_) {
            pollfd entry{STDIN_FILENO, POLLIN, 0};
            const int ready = ::poll(&entry, 1, 100);
            if (ready < 0 && errno != EINTR)
                break;
            if (ready <= 0)
                continue;
            const ssize_t size = ::read(STDIN_FILENO, buffer.data(), buffer.size());
            const TimePoint readAt = Clock::now();
            if (size < 0 && errno == EINTR)
                continue;
            if (size <= 0)
                break;
            std::lock_guard lock(mutex_);
            chunks_.push_back({std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + size), readAt});
            ready_.notify_one();
        }
        std::lock_guard lock(mutex_);
        ended_ = true;
        ready_.notify_one();
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Chunk> chunks_;
    bool ended_ = false;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

// An Annex B stream cut into access units at their delimiters (NAL type 9). A unit is known to
// be complete only once the next delimiter has come, but it arrived with the read that brought
// its last byte: the end offset and time of every read are kept to find that one.
class AccessUnits {
public:
    struct Unit {
        std::vector<std::uint8_t> bytes;
        TimePoint receivedAt;
    };

    void append(std::span<const std::uint8_t> bytes, TimePoint readAt)
    {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        reads_.push_back({dropped_ + bytes_.size(), readAt});
    }

    std::optional<Unit> next()
    {
        for (; scan_ + 3 < bytes_.size(); ++scan_) {
            if (bytes_[scan_] != 0 || bytes_[scan_ + 1] != 0 || bytes_[scan_ + 2] != 1 || (bytes_[scan_ + 3] & 0x1f) != 9)
                continue;
            // A four-byte start code's leading zero belongs to the unit it starts.
            const std::size_t end = scan_ > 0 && bytes_[scan_ - 1] == 0 ? scan_ - 1 : scan_;
            if (end == 0)
                continue;
            while (reads_.front().end < dropped_ + end)
                reads_.pop_front();
            Unit unit{std::vector<std::uint8_t>(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(end)), reads_.front().at};
            bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(end));
            dropped_ += end;
            scan_ -= end - 1;
            return unit;
        }
        return std::nullopt;
    }

private:
    struct Read {
        std::uint64_t end;  // offset in the whole stream just past the read's last byte
        TimePoint at;
    };

    std::vector<std::uint8_t> bytes_;
    std::uint64_t dropped_ = 0;  // stream offset of bytes_[0]
    std::size_t scan_ = 0;
    std::deque<Read> reads_;
};

// The NAL units of an access unit, without start codes or the zeros before them.
H264Packet packetOf(std::span<const std::uint8_t> unit)
{
    H264Packet packet;
    std::size_t begin = 0;
    const auto add = [&](std::size_t end) {
        while (end > begin && unit[end - 1] == 0)
            --end;
        if (begin > 0 && end > begin) {
            packet.nalUnits.push_back(unit.subspan(begin, end - begin));
            packet.isKeyFrame = packet.isKeyFrame || (unit[begin] & 0x1f) == 5;
        }
    };
    for (std::size_t i = 0; i + 2 < unit.size(); ++i) {
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) {
            add(i);
            begin = i + 3;
            i += 2;
        }
    }
    add(unit.size());
    return packet;
}

int readAnnexB(const Arguments& arguments)
{
    std::FILE* records = std::fopen(arguments.records.c_str(), "w");
    if (!records) {
        std::fputs("stream_probe: cannot write the records\n", stderr);
        return 1;
    }
    InputReader input;
    AccessUnits units;
    H264Decoder decoder;
    // Every picture is decoded, sixty a second: converting only the counter's strip leaves the
    // cores to the pipe being measured.
    decoder.setConvertedRows(2 * counterMargin + 2 * blockSize);
    RgbImage picture;
    std::vector<InputReader::Chunk> chunks;
    bool measuring = false;
    Tally tally;
    std::uint64_t decodeErrors = 0;
    // Decodes every unit complete by `until`; false when the input ends first.
    const auto pump = [&](TimePoint until) {
        do {
            if (!input.take(until, chunks))
                return false;
            for (const auto& chunk : chunks)
                units.append(chunk.bytes, chunk.readAt);
            while (auto unit = units.next()) {
                const H264Packet packet = packetOf(unit->bytes);
                const auto result = decoder.decode(packet, picture);
                const TimePoint decodedAt = Clock::now();
                if (!measuring)
                    continue;
                decodeErrors += result == H264Decoder::Result::error ? 1 : 0;
                if (result == H264Decoder::Result::picture)
                    writeRecord(records, tally, picture, arguments.screenWidth,
                                packet.isKeyFrame ? FrameKind::h264Key : FrameKind::h264Delta, decodedAt, unit->receivedAt,
                                unit->bytes.size());
            }
        } while (Clock::now() < until);
        return true;
    };

    if (!input.take(Clock::now() + std::chrono::seconds(10), chunks) || chunks.empty()) {
        std::fputs("stream_probe: nothing came on standard input\n", stderr);
        std::fclose(records);
        return 1;
    }
    for (const auto& chunk : chunks)
        units.append(chunk.bytes, chunk.readAt);
    std::printf("connected\n");
    std::fflush(stdout);
    if (!pump(Clock::now() + seconds(arguments.warmup))) {
        std::fputs("stream_probe: the stream ended during the warm-up\n", stderr);
        std::fclose(records);
        return 1;
    }
    measuring = true;
    const TimePoint start = Clock::now();
    std::printf("measuring\n");
    std::fflush(stdout);
    const bool lasted = pump(start + seconds(arguments.seconds));
    const TimePoint end = Clock::now();
    std::fclose(records);
    const auto result = lasted ? ViewerSession::RunResult::limitReached : ViewerSession::RunResult::closed;
    printDone(tally, decodeErrors, start, end, {}, static_cast<int>(result));
    return lasted ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Arguments arguments;
    if (!parseArguments(argc, argv, arguments)) {
        std::fputs("usage: stream_probe --port N --records FILE [--host H] [--codec h264|jpeg] [--warmup S] [--seconds S]\n"
                   "                    [--ping-ms N] [--count-seconds S [--dump FILE]] [--screen-width W]\n"
                   "       stream_probe --port N --no-read [--seconds S]\n"
                   "       stream_probe --annexb-stdin --records FILE [--warmup S] [--seconds S] [--screen-width W]\n",
                   stderr);
        return 2;
    }
    av_log_set_level(AV_LOG_QUIET);
    if (arguments.annexBStdin)
        return readAnnexB(arguments);

    ViewerSession session(arguments.options);
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
    Tally tally;
    session.setFrameCallback([&](const DecodedFrame& frame) {
        const TimePoint decodedAt = Clock::now();
        if (measuring)
            writeRecord(records, tally, frame.picture, arguments.screenWidth, frame.kind, decodedAt, frame.receivedAt,
                        frame.payloadBytes);
    });

    const std::chrono::milliseconds pingInterval(arguments.pingMilliseconds);
    auto result = runWithPings(session, seconds(arguments.warmup), pingInterval);
    if (result == ViewerSession::RunResult::closed || result == ViewerSession::RunResult::failed) {
        std::fputs("stream_probe: the host went away during the warm-up\n", stderr);
        std::fclose(records);
        return 1;
    }
    const auto errorsBefore = session.statistics().decodeErrors;
    const std::size_t pingsBefore = session.statistics().pingRoundTrips.size();
    measuring = true;
    const TimePoint start = Clock::now();
    std::printf("measuring\n");
    std::fflush(stdout);
    result = runWithPings(session, seconds(arguments.seconds), pingInterval);
    const TimePoint end = Clock::now();
    measuring = false;
    std::fclose(records);
    std::vector<double> roundTrips;
    const auto& allRoundTrips = session.statistics().pingRoundTrips;
    for (std::size_t i = pingsBefore; i < allRoundTrips.size(); ++i)
        roundTrips.push_back(std::chrono::duration<double, std::milli>(allRoundTrips[i]).count());
    printDone(tally, session.statistics().decodeErrors - errorsBefore, start, end, std::move(roundTrips), static_cast<int>(result));
    if (result == ViewerSession::RunResult::limitReached && arguments.countSeconds > 0) {
        session.setDecoding(false);
        std::vector<KeptPayload> kept;
        session.setPayloadCallback([&](FrameKind kind, std::span<const std::uint8_t> payload, TimePoint) {
            kept.push_back({kind, std::vector<std::uint8_t>(payload.begin(), payload.end())});
        });
        const auto& statistics = session.statistics();
        const std::uint64_t framesBefore = statistics.videoFrames();
        const std::uint64_t bytesBefore = statistics.videoBytes;
        // The kept stream is decoded from its first key frame: ask for one now.
        if (arguments.options.codec == Codec::h264)
            session.sendLine("KEYFRAME");
        const TimePoint countStart = Clock::now();
        std::printf("counting\n");
        std::fflush(stdout);
        result = session.run(std::nullopt, seconds(arguments.countSeconds));
        const double counted = std::chrono::duration<double>(Clock::now() - countStart).count();
        std::printf("counted seconds=%.6f frames=%llu payload_bytes=%llu result=%d\n", counted,
                    static_cast<unsigned long long>(statistics.videoFrames() - framesBefore),
                    static_cast<unsigned long long>(statistics.videoBytes - bytesBefore), static_cast<int>(result));
        std::fflush(stdout);
        session.close();
        reportDelivered(kept, arguments);
    }
    session.close();
    return result == ViewerSession::RunResult::limitReached ? 0 : 1;
}
