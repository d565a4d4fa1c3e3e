#include "link/message_framer.h"
#include "runtime/base64.h"
#include "support/test_support.h"
#include "viewer/h264_decoder.h"
#include "viewer/h264_packet.h"
#include "viewer/image_file.h"
#include "viewer/jpeg_decoder.h"
#include "viewer/viewer_session.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrio::viewer {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

// A stand-in host on loopback: accepts one viewer, answers its handshake with a welcome and each
// "PING" with a "PONG" (unless it stays silent), and writes the framed payloads the test hands it
// in order, those handed over before the viewer came as soon as it does.
class TestHost {
public:
    explicit TestHost(bool ipv6 = false, bool answer = true) : answer_(answer)
    {
        sockaddr_in6 address6{};
        sockaddr_in address4{};
        address6.sin6_family = AF_INET6;
        address6.sin6_addr = in6addr_loopback;
        address4.sin_family = AF_INET;
        address4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        auto* address = ipv6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address4);
        socklen_t size = ipv6 ? sizeof address6 : sizeof address4;
        listener_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener_ < 0 || ::bind(listener_, address, size) != 0 || ::getsockname(listener_, address, &size) != 0
            || ::listen(listener_, 4) != 0)
            throw std::runtime_error("listen");
        port_ = ntohs(ipv6 ? address6.sin6_port : address4.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~TestHost()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            ::shutdown(connection_ >= 0 ? connection_ : listener_, SHUT_RDWR);
        }
        thread_.join();
        for (const int fd : {listener_, connection_})
            if (fd >= 0)
                ::close(fd);
    }

    std::uint16_t port() const { return port_; }
    void sendPayload(const Bytes& payload) { write(link::frameMessage(payload)); }
    void sendControl(const std::string& text) { sendPayload(link::makeControlPayload(text)); }
    // Closes the sending side after everything handed over before.
    void closeConnection() { write({}); }
    std::string received() const
    {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::vector<std::string> lines() const
    {
        std::vector<std::string> lines;
        std::istringstream in(received());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    // Once the viewer closed its end, everything it sent has been read.
    bool waitForViewerClose()
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return viewerClosed_; });
    }

private:
    void write(Bytes message)
    {
        std::lock_guard lock(mutex_);
        if (connection_ < 0)
            outgoing_.push_back(std::move(message));
        else
            writeLocked(message);
    }
    void writeLocked(const Bytes& message)
    {
        if (message.empty())
            ::shutdown(connection_, SHUT_WR);
        else
            (void)!::send(connection_, message.data(), message.size(), MSG_NOSIGNAL);
    }
    void serve()
    {
        const int accepted = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        {
            std::lock_guard lock(mutex_);
            connection_ = accepted;
            if (accepted < 0 || stopping_)
                return;
            for (const Bytes& message : outgoing_)
                writeLocked(message);
        }
        std::string pending;
        char buffer[4096];
        for (ssize_t size; (size = ::recv(accepted, buffer, sizeof buffer, 0)) > 0;) {
            std::lock_guard lock(mutex_);
            received_.append(buffer, static_cast<std::size_t>(size));
            pending.append(buffer, static_cast<std::size_t>(size));
            for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (answer_ && (line.starts_with("HELLO ") || line.starts_with("CAP ")))
                    writeLocked(link::frameMessage(link::makeControlPayload(
                        link::makeWelcomeText(line.find(" H264") != std::string::npos, "테스트 호스트", "1.2", "34"))));
                else if (answer_ && line.starts_with("PING "))
                    writeLocked(link::frameMessage(link::makeControlPayload("PONG " + line.substr(5))));
            }
        }
        std::lock_guard lock(mutex_);
        viewerClosed_ = true;
        changed_.notify_all();
    }

    const bool answer_;
    int listener_ = -1;
    int connection_ = -1;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Bytes> outgoing_;
    std::string received_;
    bool viewerClosed_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

// The host's packet layout, built from raw NAL units.
Bytes makeVideoPacket(bool key, const Bytes& sps, const Bytes& pps, const std::vector<Bytes>& units)
{
    Bytes packet{0x02, static_cast<std::uint8_t>(key ? 1 : 0)};
    const auto append = [&](const Bytes& unit, int lengthBytes) {
        for (int shift = (lengthBytes - 1) * 8; shift >= 0; shift -= 8)
            packet.push_back(static_cast<std::uint8_t>(unit.size() >> shift));
        packet.insert(packet.end(), unit.begin(), unit.end());
    };
    append(sps, 2);
    append(pps, 2);
    for (const auto& unit : units)
        append(unit, 4);
    return packet;
}

// libx264 through libavcodec, tuned like the host's encoder (no reordering, low latency). Each
// frame comes as the host's video packet: the Annex B output cut into NAL units, SPS and PPS in
// the front fields, the rest behind 4-byte lengths.
class TestH264Encoder {
public:
    TestH264Encoder(int width, int height)
    {
        // Damaged packets are decoded on purpose; the decoder's complaints would only clutter.
        av_log_set_level(AV_LOG_QUIET);
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (!codec)
            throw std::runtime_error("libx264 missing");
        context_ = avcodec_alloc_context3(codec);
        context_->width = frame_->width = width;
        context_->height = frame_->height = height;
        context_->pix_fmt = AV_PIX_FMT_YUV420P;
        frame_->format = AV_PIX_FMT_YUV420P;
        context_->time_base = AVRational{1, 30};
        context_->framerate = AVRational{30, 1};
        context_->gop_size = 1000;
        context_->max_b_frames = 0;
        context_->thread_count = 1;
        av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
        av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
        if (avcodec_open2(context_, codec, nullptr) < 0 || av_frame_get_buffer(frame_, 0) < 0)
            throw std::runtime_error("libx264 open");
    }
    ~TestH264Encoder()
    {
        avcodec_free_context(&context_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
    }

    // A pattern that moves with `index`, so that non-key frames carry data. With `damaged`, the
    // first slice has its forbidden_zero_bit set.
    Bytes encodePacket(int index, bool forceKeyFrame = false, bool damaged = false)
    {
        if (av_frame_make_writable(frame_) < 0)
            return {};
        for (int plane = 0; plane < 3; ++plane)
            for (int y = 0; y < frame_->height >> (plane ? 1 : 0); ++y)
                for (int x = 0; x < frame_->width >> (plane ? 1 : 0); ++x)
                    frame_->data[plane][y * frame_->linesize[plane] + x] = static_cast<std::uint8_t>(x + y + index * (3 - plane));
        frame_->pts = index;
        frame_->pict_type = forceKeyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (avcodec_send_frame(context_, frame_) < 0 || avcodec_receive_packet(context_, packet_) < 0)
            return {};
        const Bytes stream(packet_->data, packet_->data + packet_->size);
        const bool key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
        av_packet_unref(packet_);
        Bytes sps, pps;
        std::vector<Bytes> units;
        // Cut at the start codes; the leading zero of a 4-byte one is trimmed from the unit before.
        std::vector<std::size_t> starts;
        for (std::size_t i = 0; i + 2 < stream.size(); ++i)
            if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1)
                starts.push_back((i += 2) + 1);
        for (std::size_t n = 0; n < starts.size(); ++n) {
            const bool last = n + 1 == starts.size();
            std::size_t end = last ? stream.size() : starts[n + 1] - 3;
            while (!last && end > starts[n] && stream[end - 1] == 0)
                --end;
            Bytes unit(stream.begin() + static_cast<std::ptrdiff_t>(starts[n]), stream.begin() + static_cast<std::ptrdiff_t>(end));
            const int type = unit.empty() ? 0 : unit[0] & 0x1F;
            if (damaged && (type == 1 || type == 5)) {
                unit[0] |= 0x80;
                damaged = false;
            }
            (type == 7 ? sps : type == 8 ? pps : units.emplace_back()) = std::move(unit);
        }
        return makeVideoPacket(key, sps, pps, units);
    }

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = av_frame_alloc();
    AVPacket* packet_ = av_packet_alloc();
};

Bytes makeJpeg(int width, int height)
{
    const Bytes rgb(static_cast<std::size_t>(width * height * 3), 96);
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int failed = tjCompress2(handle, rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_420, 85, 0);
    Bytes out = failed ? Bytes() : Bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    return out;
}

ViewerOptions at(std::uint16_t port, Codec codec = Codec::h264) { return {.port = port, .codec = codec, .identifier = {}}; }

long count(const std::vector<std::string>& lines, const std::string& line) { return std::ranges::count(lines, line); }

TEST(HandshakeTest, LinesCarryCodecAndBase64FieldsAndTheWelcomeIsDecoded)
{
    EXPECT_EQ(makeHandshakeLine(HandshakeForm::hello, Codec::h264, "김민지의 iPhone", "기기-7"),
              "HELLO 2 H264 6rmA66+87KeA7J2YIGlQaG9uZQ== 6riw6riwLTc=");
    EXPECT_EQ(makeHandshakeLine(HandshakeForm::cap, Codec::jpeg, "김민지의 iPhone", ""), "CAP JPEG 6rmA66+87KeA7J2YIGlQaG9uZQ==");
    EXPECT_EQ(makeHandshakeLine(HandshakeForm::hello, Codec::jpeg, "", "ignored without a name"), "HELLO 2 JPEG");
    const auto welcome = parseWelcome("WELCOME 2 H264 " + runtime::base64Encode("작업실 PC") + " 1.4 207");
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->hostName + "|" + welcome->build, "작업실 PC|207");
    EXPECT_FALSE(parseWelcome("WELCOME 2 H264"));
}

// What a host sends (decoding, on the real host, is the end-to-end tests' part): damaged frames,
// which ask for one key frame until the next arrives (H.264) or none (JPEG); frames that must come
// out of the decoder one by one; the host closing.
TEST(ViewerSessionTest, DamagedH264AsksForOneKeyFrameUntilTheNextKeyFrameArrives)
{
    TestHost host;
    TestH264Encoder encoder(160, 96);
    host.sendPayload(encoder.encodePacket(0));
    host.sendPayload(encoder.encodePacket(1));
    host.sendPayload(encoder.encodePacket(2, false, true));
    host.sendPayload(encoder.encodePacket(3, false, true));
    host.sendPayload(makeVideoPacket(false, {}, {}, {}) /* no NAL units: nothing to decode */);
    Bytes truncated = encoder.encodePacket(4);
    truncated.pop_back();  // its last length now runs past the end
    host.sendPayload(truncated);
    host.sendPayload(encoder.encodePacket(5));

    ViewerSession session(at(host.port(), Codec::h264));
    std::vector<FrameKind> kinds;
    session.setFrameCallback([&](const DecodedFrame& frame) { kinds.push_back(frame.kind); });
    ASSERT_TRUE(session.connect());
    // One frame per run: each packet must come out of the decoder on its own, not held back.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(session.run(1, 5s), ViewerSession::RunResult::limitReached) << "frame " << i;
    EXPECT_THAT(kinds, ElementsAre(FrameKind::h264Key, FrameKind::h264Delta, FrameKind::h264Delta));
    EXPECT_EQ(session.statistics().decodeErrors, 3u);
    EXPECT_EQ(session.statistics().keyFrameRequests, 1u);

    // A key frame re-arms the request; the next damage asks again.
    host.sendPayload(encoder.encodePacket(6, true));
    host.sendPayload(encoder.encodePacket(7, false, true));
    ASSERT_EQ(session.runUntil([&] { return session.statistics().decodeErrors == 4; }, 5s),
              ViewerSession::RunResult::limitReached);
    EXPECT_EQ(session.statistics().h264KeyFrames, 2u);
    EXPECT_EQ(session.statistics().keyFrameRequests, 2u);
    session.close();
    ASSERT_TRUE(host.waitForViewerClose());
    EXPECT_EQ(count(host.lines(), "KEYFRAME"), 2);
}

TEST(ViewerSessionTest, DamagedJpegCountsAnErrorWithoutAskingForAKeyFrameAndTheHostMayClose)
{
    TestHost host;
    Bytes broken = makeJpeg(32, 32);
    broken.resize(40);
    host.sendPayload(broken);
    host.sendPayload(makeJpeg(32, 24));
    host.closeConnection();
    ViewerSession session(at(host.port(), Codec::jpeg));
    session.setFrameCallback([&](const DecodedFrame& frame) {
        EXPECT_EQ(frame.kind, FrameKind::jpeg);
        EXPECT_EQ(std::pair(frame.picture.width, frame.picture.height), std::pair(32, 24));
    });
    ASSERT_TRUE(session.connect());
    EXPECT_EQ(session.run(5, 5s), ViewerSession::RunResult::closed);
    EXPECT_EQ(session.statistics().decodedFrames, 1u);
    EXPECT_EQ(session.statistics().decodeErrors, 1u);
    session.close();
    ASSERT_TRUE(host.waitForViewerClose());
    EXPECT_EQ(count(host.lines(), "KEYFRAME"), 0);
}

TEST(ViewerSessionTest, MeasuresPingRoundTripsAndKeepsControlTextsOverIpv6)
{
    TestHost host(true);
    std::vector<std::string> seen;
    // A time source that moves on by 1 ms every time it is read.
    ViewerSession session({"::1", host.port(), Codec::h264, HandshakeForm::hello, "김민지의 iPhone", "기기-7"},
                          [now = TimePoint()]() mutable { return now += 1ms; });
    session.setMessageCallback([&](std::string_view text) { seen.emplace_back(text); });
    ASSERT_TRUE(session.connect());
    host.sendControl("INPUT READY");

    const auto first = session.sendPing();
    const auto second = session.sendPing();
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    ASSERT_EQ(session.runUntil([&] { return session.statistics().pingRoundTrips.size() == 2; }, 100s),
              ViewerSession::RunResult::limitReached);
    for (const Duration trip : session.statistics().pingRoundTrips)
        EXPECT_GT(trip, Duration::zero());
    ASSERT_EQ(session.runUntil([&] { return seen.size() == 4; }, 100s), ViewerSession::RunResult::limitReached);
    EXPECT_EQ(count(seen, "PONG " + std::to_string(*first)), 1);
    EXPECT_EQ(count(seen, "INPUT READY"), 1);
    ASSERT_TRUE(session.statistics().welcome);
    EXPECT_EQ(session.statistics().welcome->hostName, "테스트 호스트");

    session.sendLine("K 10 20 1");
    session.close();
    ASSERT_TRUE(host.waitForViewerClose());
    EXPECT_EQ(host.received(), "HELLO 2 H264 6rmA66+87KeA7J2YIGlQaG9uZQ== 6riw6riwLTc=\nPING " + std::to_string(*first)
                                   + "\nPING " + std::to_string(*second) + "\nK 10 20 1\n");
}

TEST(ViewerSessionTest, GivesUpWhenNoFrameArrivesInTimeOrNobodyListens)
{
    TestHost host(false, false);
    ViewerSession session(at(host.port()), [now = TimePoint()]() mutable { return now += 500ms; });
    ASSERT_TRUE(session.connect());
    EXPECT_EQ(session.run(1, 2s), ViewerSession::RunResult::timedOut);
    // Without a frame limit, lasting the duration is the goal.
    EXPECT_EQ(session.run(std::nullopt, 1s), ViewerSession::RunResult::limitReached);

    // A port that was just free has nobody listening.
    ViewerSession refused(at(TestHost().port()));
    EXPECT_FALSE(refused.connect(1s));
    EXPECT_FALSE(refused.sendLine("PING 1"));
}

TEST(H264PacketTest, KeyFrameRebuildsAnnexBWithTheParameterSetsInFront)
{
    const Bytes sps = {0x67, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, pps = {0x68, 0xCE, 0x3C, 0x80}, idr(600, 0x65), sei(392, 0x06);
    const Bytes payload = makeVideoPacket(true, sps, pps, {sei, idr});
    ASSERT_EQ(payload.size(), 1021u);  // 6 + 11 + 4 + 1000 bytes of length-prefixed units
    const auto packet = parseH264Packet(payload);
    ASSERT_TRUE(packet);
    EXPECT_TRUE(packet->isKeyFrame);
    Bytes expected;
    for (const Bytes* unit : {&sps, &pps, &sei, &idr}) {
        expected.insert(expected.end(), {0, 0, 0, 1});
        expected.insert(expected.end(), unit->begin(), unit->end());
    }
    EXPECT_EQ(toAnnexB(*packet), expected);

    // Without parameter sets, as every other frame comes.
    const Bytes delta = makeVideoPacket(false, {}, {}, {Bytes(496, 0x41)});
    EXPECT_EQ(Bytes(delta.begin(), delta.begin() + 6), (Bytes{2, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(parseH264Packet(delta)->isKeyFrame);
    EXPECT_EQ(toAnnexB(*parseH264Packet(delta)).size(), 500u);
}

TEST(H264PacketTest, MalformedPacketsAreRejected)
{
    const Bytes good = makeVideoPacket(true, {0x67, 1}, {0x68, 2}, {{0x65, 3, 4}});
    ASSERT_TRUE(parseH264Packet(good));
    Bytes wrongKind = good, emptyUnit = good;
    wrongKind[0] = 0x03;
    EXPECT_FALSE(parseH264Packet(wrongKind));
    // Every cut short of the whole packet leaves some length pointing past the end, but for the
    // one just after the PPS: a valid packet without NAL units.
    for (std::size_t size = 0; size < good.size(); ++size)
        EXPECT_EQ(parseH264Packet(std::span(good.data(), size)).has_value(), size == 8 + 2) << "cut at " << size;
    emptyUnit.insert(emptyUnit.end(), {0, 0, 0, 0});
    EXPECT_FALSE(parseH264Packet(emptyUnit));
    EXPECT_FALSE(parseH264Packet(Bytes{2, 1, 0xFF, 0xFF, 0x67}));
}

// A frame of libavcodec's with its buffers.
AVFrame* makeFrame(int format, int width, int height)
{
    AVFrame* frame = av_frame_alloc();
    frame->format = format;
    frame->width = width;
    frame->height = height;
    return av_frame_get_buffer(frame, 0) == 0 ? frame : nullptr;
}

// libavcodec's PNG decoder, strict about checksums, as an independent reader.
std::optional<RgbImage> decodePng(const std::string& png)
{
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->err_recognition = AV_EF_CRCCHECK | AV_EF_EXPLODE;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::optional<RgbImage> result;
    if (avcodec_open2(context, codec, nullptr) == 0 && av_new_packet(packet, static_cast<int>(png.size())) == 0) {
        std::copy(png.begin(), png.end(), packet->data);
        if (avcodec_send_packet(context, packet) == 0 && avcodec_receive_frame(context, frame) == 0
            && frame->format == AV_PIX_FMT_RGB24) {
            result = RgbImage{frame->width, frame->height, {}};
            for (int y = 0; y < frame->height; ++y)
                result->pixels.insert(result->pixels.end(), frame->data[0] + y * frame->linesize[0],
                                      frame->data[0] + y * frame->linesize[0] + result->rowBytes());
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return result;
}

TEST(ImageFileTest, WritesValidPngPpmAndJpegOnlyWhereAndAsAsked)
{
    test::TemporaryDirectory directory;
    const auto path = [&](const char* name) { return directory.path() / name; };
    // Over 64 KiB of scanlines, so that the image spans several stored deflate blocks.
    RgbImage image{181, 130, Bytes(181 * 130 * 3)};
    for (std::size_t i = 0; i < image.pixels.size(); ++i)
        image.pixels[i] = static_cast<std::uint8_t>(i * 7 + i / 97);
    ASSERT_TRUE(saveImage(image, path("frame.PNG")));
    const auto decoded = decodePng(test::readFile(path("frame.PNG")));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(std::tuple(decoded->width, decoded->height, decoded->pixels), std::tuple(181, 130, image.pixels));
    ASSERT_TRUE(saveImage(image, path("frame.ppm")));
    EXPECT_EQ(test::readFile(path("frame.ppm")), "P6\n181 130\n255\n" + std::string(image.pixels.begin(), image.pixels.end()));

    // A smooth picture, so that JPEG at quality 95 keeps every pixel close.
    RgbImage smooth{64, 48, {}}, fromJpeg;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            smooth.pixels.insert(smooth.pixels.end(), {static_cast<std::uint8_t>(x * 4), static_cast<std::uint8_t>(y * 5), 120});
    ASSERT_TRUE(saveImage(smooth, path("frame.jpg")));
    const std::string jpeg = test::readFile(path("frame.jpg"));
    ASSERT_TRUE(JpegDecoder().decode(Bytes(jpeg.begin(), jpeg.end()), fromJpeg));
    ASSERT_EQ(fromJpeg.pixels.size(), smooth.pixels.size());
    for (std::size_t i = 0; i < smooth.pixels.size(); ++i)
        ASSERT_NEAR(fromJpeg.pixels[i], smooth.pixels[i], 6) << "byte " << i;

    EXPECT_FALSE(saveImage(RgbImage{4, 4, Bytes(48)}, path("frame.bmp")));
    EXPECT_FALSE(saveImage(RgbImage{4, 4, Bytes(48)}, directory.path() / "missing" / "frame.png"));
    EXPECT_FALSE(std::filesystem::exists(path("frame.bmp")));
}

// Decoded YUV reaches RGB with the matrix and range the stream declares.
TEST(YuvConversionTest, ConvertsWithTheDeclaredMatrixAndRange)
{
    struct Case {
        AVPixelFormat format;
        AVColorRange range;
        AVColorSpace space;
        std::uint8_t y, cb, cr;
        std::array<int, 3> rgb;
    };
    const Case cases[] = {
        {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT470BG, 81, 90, 240, {255, 0, 0}},
        {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709, 63, 102, 240, {255, 0, 0}},
        {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_UNSPECIFIED, 235, 128, 128, {255, 255, 255}},
        {AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_UNSPECIFIED, AVCOL_SPC_BT470BG, 76, 85, 255, {254, 0, 0}},
        {AV_PIX_FMT_YUV444P, AVCOL_RANGE_JPEG, AVCOL_SPC_BT470BG, 150, 44, 21, {0, 255, 1}},
    };
    RgbImage out;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        AVFrame* frame = makeFrame(c.format, 6, 4);
        ASSERT_TRUE(frame);
        frame->color_range = c.range;
        frame->colorspace = c.space;
        const int chromaRows = 4 >> av_pix_fmt_desc_get(c.format)->log2_chroma_h;
        for (int plane = 0; plane < 3; ++plane)
            std::fill_n(frame->data[plane], frame->linesize[plane] * (plane ? chromaRows : 4), (std::array{c.y, c.cb, c.cr})[plane]);
        ASSERT_TRUE(convertToRgb(*frame, out));
        av_frame_free(&frame);
        ASSERT_EQ(out.pixels.size(), 6u * 4u * 3u);
        for (int channel = 0; channel < 3; ++channel)
            EXPECT_NEAR(out.pixel(5, 3)[channel], c.rgb[static_cast<std::size_t>(channel)], 2) << "channel " << channel;
    }
    AVFrame* rgb = makeFrame(AV_PIX_FMT_RGB24, 2, 2);
    EXPECT_FALSE(convertToRgb(*rgb, out));
    av_frame_free(&rgb);
}

}  // namespace
}  // namespace kestrio::viewer
