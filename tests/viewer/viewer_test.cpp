#include "capture/jpeg_encoder.h"
#include "link/h264_packet.h"
#include "link/message_framer.h"
#include "platform/ffmpeg/ffmpeg_h264_encoder.h"
#include "support/test_support.h"
#include "viewer/h264_decoder.h"
#include "viewer/h264_packet.h"
#include "viewer/image_file.h"
#include "viewer/viewer_session.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <netinet/in.h>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace kestrio::viewer {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

// A host on loopback that the test speaks for: the viewer's connection waits in the backlog until
// accept(), and what the test sends waits in the socket for the viewer to read.
class TestHost {
public:
    explicit TestHost(bool ipv6 = false)
    {
        sockaddr_in6 address6{.sin6_family = AF_INET6, .sin6_port = 0, .sin6_flowinfo = 0, .sin6_addr = in6addr_loopback, .sin6_scope_id = 0};
        sockaddr_in address4{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
        auto* address = ipv6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address4);
        socklen_t size = ipv6 ? sizeof address6 : sizeof address4;
        listener_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(listener_, address, size) != 0 || ::getsockname(listener_, address, &size) != 0 || ::listen(listener_, 4) != 0)
            throw std::runtime_error("listen");
        port_ = ntohs(ipv6 ? address6.sin6_port : address4.sin_port);
    }
    ~TestHost()
    {
        for (const int fd : {listener_, connection_})
            if (fd >= 0)
                ::close(fd);
    }

    std::uint16_t port() const { return port_; }
    void accept()
    {
        connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        const timeval fiveSeconds{5, 0};
        ::setsockopt(connection_, SOL_SOCKET, SO_RCVTIMEO, &fiveSeconds, sizeof fiveSeconds);
    }
    void send(const Bytes& payload)
    {
        const Bytes message = link::frameMessage(payload);
        ASSERT_EQ(::send(connection_, message.data(), message.size(), MSG_NOSIGNAL), static_cast<ssize_t>(message.size()));
    }
    void sendControl(const std::string& text) { send(link::makeControlPayload(text)); }
    void closeSending() { ::shutdown(connection_, SHUT_WR); }
    // What the viewer sent, once it has closed its end.
    std::string received()
    {
        std::string all;
        char buffer[4096];
        for (ssize_t size; (size = ::recv(connection_, buffer, sizeof buffer, 0)) > 0;)
            all.append(buffer, static_cast<std::size_t>(size));
        return all;
    }

private:
    int listener_ = -1;
    int connection_ = -1;
    std::uint16_t port_ = 0;
};

// The host's packet around raw NAL units, each behind its 4-byte length.
Bytes makeVideoPacket(bool key, const Bytes& sps, const Bytes& pps, const std::vector<Bytes>& units)
{
    Bytes data;
    for (const auto& unit : units) {
        data.insert(data.end(), {static_cast<std::uint8_t>(unit.size() >> 24), static_cast<std::uint8_t>(unit.size() >> 16),
                                 static_cast<std::uint8_t>(unit.size() >> 8), static_cast<std::uint8_t>(unit.size())});
        data.insert(data.end(), unit.begin(), unit.end());
    }
    return link::makeH264Packet(key, sps, pps, data).value();
}

// `count` frames of a moving pattern through the host's own encoder, as the host's packets; key
// frames where asked, and in each frame `damaged` names the first slice has its forbidden_zero_bit set.
std::vector<Bytes> hostPackets(int count, const std::set<int>& forcedKeyFrames, const std::set<int>& damaged)
{
    constexpr int width = 160, height = 96;
    std::vector<capture::EncodedVideoFrame> frames;
    const auto encoder = platform::ffmpeg::FfmpegH264EncoderFactory({.candidates = {"x264"}}).create({width, height, 1'000'000, 30}, [&](auto frame) {
        if (frame)
            frames.push_back(std::move(*frame));
    });
    for (int index = 0; index < count; ++index) {
        Bytes nv12(width * height * 3 / 2);
        for (std::size_t i = 0; i < nv12.size(); ++i)
            nv12[i] = static_cast<std::uint8_t>(i % width + i / width + index * (i < width * height ? 3 : 1));
        encoder->encode({capture::PixelFormat::nv12, width, height, {nv12.data(), nv12.data() + width * height}, {width, width}, {}, {}},
                        forcedKeyFrames.contains(index));
    }
    encoder->flush();
    std::vector<Bytes> packets;
    for (auto& frame : frames) {
        auto& data = frame.data;
        bool damage = damaged.contains(static_cast<int>(packets.size()));
        for (std::size_t at = 0; damage && at + 4 < data.size(); at += 4 + (std::size_t{data[at]} << 24 | data[at + 1] << 16 | data[at + 2] << 8 | data[at + 3]))
            if (const int type = data[at + 4] & 0x1F; type == 1 || type == 5)
                data[at + 4] |= 0x80, damage = false;
        packets.push_back(link::makeH264Packet(frame.isKeyFrame, frame.sps, frame.pps, data).value());
    }
    return packets;
}

// A flat grey picture as the host's own JPEG encoder makes it.
Bytes makeJpeg(int width, int height)
{
    const Bytes bgra(static_cast<std::size_t>(width * height * 4), 96);
    return capture::JpegEncoder(85).encode({capture::PixelFormat::bgra, width, height, {bgra.data(), nullptr}, {width * 4, 0}, {}, {}}).value();
}

ViewerOptions at(std::uint16_t port, Codec codec = Codec::h264) { return {.port = port, .codec = codec, .identifier = {}}; }

TEST(HandshakeTest, LinesCarryCodecAndBase64FieldsAndAShortWelcomeIsRefused)
{
    EXPECT_EQ(makeHandshakeLine(HandshakeForm::hello, Codec::h264, "김민지의 iPhone", "기기-7"),
              "HELLO 2 H264 6rmA66+87KeA7J2YIGlQaG9uZQ== 6riw6riwLTc=");
    EXPECT_EQ(makeHandshakeLine(HandshakeForm::cap, Codec::jpeg, "김민지의 iPhone", ""), "CAP JPEG 6rmA66+87KeA7J2YIGlQaG9uZQ==");
    EXPECT_EQ(makeHandshakeLine(HandshakeForm::hello, Codec::jpeg, "", "ignored without a name"), "HELLO 2 JPEG");
    EXPECT_FALSE(parseWelcome("WELCOME 2 H264"));
}

// Damaged frames ask for one key frame until the next arrives; each packet comes out of the
// decoder on its own, not held back.
TEST(ViewerSessionTest, DamagedH264AsksForOneKeyFrameUntilTheNextKeyFrameArrives)
{
    TestHost host;
    ViewerSession session(at(host.port(), Codec::h264));
    std::vector<FrameKind> kinds;
    session.setFrameCallback([&](const DecodedFrame& frame) { kinds.push_back(frame.kind); });
    ASSERT_TRUE(session.connect());
    host.accept();
    av_log_set_level(AV_LOG_QUIET);  // damaged packets are decoded on purpose
    std::vector<Bytes> packets = hostPackets(8, {6}, {2, 3, 7});
    packets[4].pop_back();  // its last length now runs past the end
    packets.insert(packets.begin() + 4, makeVideoPacket(false, {}, {}, {}));
    for (const Bytes& packet : std::span(packets).first(7))
        host.send(packet);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(session.run(1, 5s), ViewerSession::RunResult::limitReached) << "frame " << i;
    EXPECT_THAT(kinds, ElementsAre(FrameKind::h264Key, FrameKind::h264Delta, FrameKind::h264Delta));
    EXPECT_EQ(session.statistics().decodeErrors, 3u);
    EXPECT_EQ(session.statistics().keyFrameRequests, 1u);

    host.send(packets[7]);
    host.send(packets[8]);
    ASSERT_EQ(session.runUntil([&] { return session.statistics().decodeErrors == 4; }, 5s),
              ViewerSession::RunResult::limitReached);
    EXPECT_EQ(session.statistics().h264KeyFrames, 2u);
    EXPECT_EQ(session.statistics().keyFrameRequests, 2u);
    session.close();
    EXPECT_EQ(host.received(), "HELLO 2 H264 a2VzdHJpby12aWV3ZXI=\nKEYFRAME\nKEYFRAME\n");  // the name "kestrio-viewer"
}

TEST(ViewerSessionTest, DamagedJpegCountsAnErrorWithoutAskingForAKeyFrameAndTheHostMayClose)
{
    TestHost host;
    ViewerSession session(at(host.port(), Codec::jpeg));
    session.setFrameCallback([&](const DecodedFrame& frame) {
        EXPECT_EQ(frame.kind, FrameKind::jpeg);
        EXPECT_EQ(std::pair(frame.picture.width, frame.picture.height), std::pair(32, 24));
    });
    ASSERT_TRUE(session.connect());
    host.accept();
    Bytes broken = makeJpeg(32, 32);
    broken.resize(40);
    host.send(broken);
    host.send(makeJpeg(32, 24));
    host.closeSending();
    EXPECT_EQ(session.run(5, 5s), ViewerSession::RunResult::closed);
    EXPECT_EQ(session.statistics().decodedFrames, 1u);
    EXPECT_EQ(session.statistics().decodeErrors, 1u);
    session.close();
    EXPECT_EQ(host.received(), "HELLO 2 JPEG a2VzdHJpby12aWV3ZXI=\n");
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
    host.accept();
    const auto first = session.sendPing();
    const auto second = session.sendPing();
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    for (const std::string& text : {link::makeWelcomeText(true, "테스트 호스트", "1.2", "34"), std::string("INPUT READY"),
                                   "PONG " + std::to_string(*second), "PONG " + std::to_string(*first)})
        host.sendControl(text);
    ASSERT_EQ(session.runUntil([&] { return seen.size() == 4; }, 100s), ViewerSession::RunResult::limitReached);
    ASSERT_EQ(session.statistics().pingRoundTrips.size(), 2u);
    for (const Duration trip : session.statistics().pingRoundTrips)
        EXPECT_GT(trip, Duration::zero());
    EXPECT_EQ(seen[1], "INPUT READY");
    ASSERT_TRUE(session.statistics().welcome);
    EXPECT_EQ(session.statistics().welcome->hostName + "|" + session.statistics().welcome->build, "테스트 호스트|34");

    session.sendLine("K 10 20 1");
    session.close();
    EXPECT_EQ(host.received(), "HELLO 2 H264 6rmA66+87KeA7J2YIGlQaG9uZQ== 6riw6riwLTc=\nPING " + std::to_string(*first)
                                   + "\nPING " + std::to_string(*second) + "\nK 10 20 1\n");
}

TEST(ViewerSessionTest, GivesUpWhenNoFrameArrivesInTimeOrNobodyListens)
{
    TestHost host;
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

TEST(H264PacketTest, KeyFramesRebuildAnnexBWithTheParameterSetsInFrontAndMalformedPacketsAreRejected)
{
    const Bytes sps = {0x67, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, pps = {0x68, 0xCE, 0x3C, 0x80}, idr(600, 0x65), sei(392, 0x06);
    const Bytes payload = makeVideoPacket(true, sps, pps, {sei, idr});
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
    EXPECT_FALSE(parseH264Packet(delta)->isKeyFrame);
    EXPECT_EQ(toAnnexB(*parseH264Packet(delta)).size(), 500u);

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

// Read back by libavcodec's decoder of the format, strict about checksums.
std::optional<RgbImage> decodeFile(AVCodecID codecId, const std::string& file)
{
    AVCodecContext* context = avcodec_alloc_context3(avcodec_find_decoder(codecId));
    context->err_recognition = AV_EF_CRCCHECK | AV_EF_EXPLODE;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::optional<RgbImage> result;
    if (avcodec_open2(context, nullptr, nullptr) == 0 && av_new_packet(packet, static_cast<int>(file.size())) == 0) {
        std::copy(file.begin(), file.end(), packet->data);
        if (avcodec_send_packet(context, packet) == 0 && avcodec_receive_frame(context, frame) == 0) {
            result.emplace();
            if (!convertToRgb(*frame, *result) && frame->format == AV_PIX_FMT_RGB24)
                for (int y = 0; y < frame->height; ++y)
                    result->pixels.insert(result->pixels.end(), frame->data[0] + y * frame->linesize[0],
                                          frame->data[0] + y * frame->linesize[0] + frame->width * 3);
            result->width = frame->width;
            result->height = frame->height;
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return result;
}

TEST(ImageFileTest, WritesValidPngAndJpegOnlyWhereAndAsAsked)
{
    test::TemporaryDirectory directory;
    const auto path = [&](const char* name) { return directory.path() / name; };
    // Over 64 KiB of scanlines, so that the image spans several stored deflate blocks.
    RgbImage image{181, 130, Bytes(181 * 130 * 3)};
    for (std::size_t i = 0; i < image.pixels.size(); ++i)
        image.pixels[i] = static_cast<std::uint8_t>(i * 7 + i / 97);
    ASSERT_TRUE(saveImage(image, path("frame.PNG")));
    const auto png = decodeFile(AV_CODEC_ID_PNG, test::readFile(path("frame.PNG")));
    ASSERT_TRUE(png);
    EXPECT_EQ(std::tuple(png->width, png->height, png->pixels), std::tuple(181, 130, image.pixels));

    // A smooth picture, so that JPEG at quality 95 keeps every pixel close.
    RgbImage smooth{64, 48, {}};
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            smooth.pixels.insert(smooth.pixels.end(), {static_cast<std::uint8_t>(x * 4), static_cast<std::uint8_t>(y * 5), 120});
    ASSERT_TRUE(saveImage(smooth, path("frame.jpg")));
    const auto jpeg = decodeFile(AV_CODEC_ID_MJPEG, test::readFile(path("frame.jpg")));
    ASSERT_TRUE(jpeg && jpeg->pixels.size() == smooth.pixels.size());
    for (std::size_t i = 0; i < smooth.pixels.size(); ++i)
        ASSERT_NEAR(jpeg->pixels[i], smooth.pixels[i], 6) << "byte " << i;

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
        std::array<std::uint8_t, 3> yuv;
        std::array<int, 3> rgb;
    };
    const Case cases[] = {
        {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT470BG, {81, 90, 240}, {255, 0, 0}},
        {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709, {63, 102, 240}, {255, 0, 0}},
        {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_UNSPECIFIED, {235, 128, 128}, {255, 255, 255}},
        {AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_UNSPECIFIED, AVCOL_SPC_BT470BG, {76, 85, 255}, {254, 0, 0}},
        {AV_PIX_FMT_YUV444P, AVCOL_RANGE_JPEG, AVCOL_SPC_BT470BG, {150, 44, 21}, {0, 255, 1}},
        {AV_PIX_FMT_RGB24, AVCOL_RANGE_JPEG, AVCOL_SPC_RGB, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        AVFrame* frame = av_frame_alloc();
        frame->format = c.format;
        frame->width = 6;
        frame->height = 4;
        frame->color_range = c.range;
        frame->colorspace = c.space;
        ASSERT_EQ(av_frame_get_buffer(frame, 0), 0);
        for (int plane = 0; plane < 3 && c.format != AV_PIX_FMT_RGB24; ++plane)
            std::fill_n(frame->data[plane], frame->linesize[plane] * (plane ? 4 >> av_pix_fmt_desc_get(c.format)->log2_chroma_h : 4),
                        c.yuv[static_cast<std::size_t>(plane)]);
        RgbImage out;
        const bool converted = convertToRgb(*frame, out);
        av_frame_free(&frame);
        ASSERT_EQ(converted, c.format != AV_PIX_FMT_RGB24);
        for (int channel = 0; channel < 3 && converted; ++channel)
            EXPECT_NEAR(out.pixel(5, 3)[channel], c.rgb[static_cast<std::size_t>(channel)], 2) << "channel " << channel;
    }
}

}  // namespace
}  // namespace kestrio::viewer
