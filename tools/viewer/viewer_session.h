#pragma once

#include "link/message_reader.h"
#include "viewer/h264_decoder.h"
#include "viewer/jpeg_decoder.h"
#include "viewer/rgb_image.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::viewer {

using Clock = std::chrono::steady_clock;
using Duration = Clock::duration;
using TimePoint = Clock::time_point;

enum class Codec { h264, jpeg };
enum class HandshakeForm { hello, cap };

// "HELLO 2 <codec> [<Base64 name> [<Base64 identifier>]]" or "CAP <codec> […]", without the
// line feed. An empty name leaves out both name and identifier; an empty identifier leaves out
// the identifier, and the host then uses the name.
std::string makeHandshakeLine(HandshakeForm form, Codec codec, std::string_view name, std::string_view identifier);

// "WELCOME 2 <codec> <Base64 host name> <version> <build>", split into its fields.
struct WelcomeFields {
    std::string protocolVersion;
    std::string codec;
    std::string hostName;  // decoded; the raw token when it does not decode
    std::string version;
    std::string build;
};
std::optional<WelcomeFields> parseWelcome(std::string_view text);

struct ViewerOptions {
    std::string host = "127.0.0.1";  // a name, an IPv4 or an IPv6 address
    std::uint16_t port = 59590;
    Codec codec = Codec::h264;
    HandshakeForm form = HandshakeForm::hello;
    std::string name = "kestrio-viewer";
    std::string identifier;
};

enum class FrameKind { h264Key, h264Delta, jpeg };

// A decoded picture, handed to the frame callback as soon as it is decoded.
struct DecodedFrame {
    const RgbImage& picture;
    FrameKind kind;
    TimePoint receivedAt;      // when the last byte of its message was read off the socket
    std::uint64_t index;       // 0 for the first decoded frame of the session
    std::size_t payloadBytes;  // size of the message payload that carried it
};

struct ViewerStatistics {
    std::uint64_t h264KeyFrames = 0;    // H.264 packets received, by key-frame flag
    std::uint64_t h264DeltaFrames = 0;
    std::uint64_t jpegFrames = 0;
    std::uint64_t decodedFrames = 0;
    std::uint64_t decodeErrors = 0;
    std::uint64_t keyFrameRequests = 0;  // "KEYFRAME" lines sent
    std::uint64_t controlMessages = 0;
    std::uint64_t bytesReceived = 0;     // everything read off the socket, framing included
    std::uint64_t videoBytes = 0;        // payloads of video packets and JPEG frames
    std::size_t largestFrameBytes = 0;
    std::optional<std::string> welcomeText;
    std::optional<WelcomeFields> welcome;
    std::vector<std::string> controlTexts;   // every control text, in arrival order
    std::vector<Duration> pingRoundTrips;     // one per answered "PING"
    std::optional<TimePoint> connectedAt;
    std::optional<TimePoint> firstFrameAt;
    std::optional<TimePoint> lastFrameAt;
    std::optional<TimePoint> lastActivityAt;  // end of the latest run()

    std::uint64_t videoFrames() const { return h264KeyFrames + h264DeltaFrames + jpegFrames; }
    double meanFrameBytes() const;
    // Decoded frames per second from connection to the end of the latest run().
    double framesPerSecond() const;
};

// The reference viewer: one TCP connection to the host, read and decoded on the caller's thread.
class ViewerSession {
public:
    enum class RunResult { limitReached, timedOut, closed, failed };
    using NowFunction = std::function<TimePoint()>;
    using FrameCallback = std::function<void(const DecodedFrame&)>;
    using MessageCallback = std::function<void(std::string_view)>;
    // Every video message as it arrived, decoded or not.
    using PayloadCallback = std::function<void(FrameKind kind, std::span<const std::uint8_t> payload, TimePoint receivedAt)>;

    // `now` is the time source for deadlines, receive times and round trips.
    explicit ViewerSession(ViewerOptions options, NowFunction now = &Clock::now);
    ~ViewerSession();
    ViewerSession(const ViewerSession&) = delete;
    ViewerSession& operator=(const ViewerSession&) = delete;

    // Connects (trying each resolved address in turn) and sends the handshake. False when no
    // connection could be made within `timeout` or the handshake could not be sent.
    bool connect(Duration timeout = std::chrono::seconds(5));
    bool connected() const { return socket_ >= 0; }
    void close();

    // Sends `line` followed by a line feed.
    bool sendLine(std::string_view line);
    // Sends "PING <n>" with the next number and remembers when, for the round trip.
    std::optional<std::uint64_t> sendPing();

    // Reads and decodes until `done` holds (checked after every message and before waiting),
    // `timeout` passes, or the host closes the connection.
    RunResult runUntil(const std::function<bool()>& done, Duration timeout);
    // Until `frames` more frames have been decoded (no limit when nullopt) or `duration` passes;
    // a run with no frame limit that lasts its duration counts as limitReached.
    RunResult run(std::optional<std::uint64_t> frames, Duration duration);

    void setFrameCallback(FrameCallback callback) { onFrame_ = std::move(callback); }
    // With decoding off, video messages are only counted: no picture, no frame callback. Turning
    // it back on waits for the next key frame.
    void setDecoding(bool decoding);
    void setMessageCallback(MessageCallback callback) { onControl_ = std::move(callback); }
    void setPayloadCallback(PayloadCallback callback) { onPayload_ = std::move(callback); }

    const ViewerStatistics& statistics() const { return statistics_; }
    const std::optional<RgbImage>& lastPicture() const { return lastPicture_; }

private:
    // Waits at most `wait` for bytes and feeds them to the reader. False when the connection
    // ended or failed.
    bool receive(Duration wait);
    void handleMessage(const link::HostMessage& message, TimePoint receivedAt);
    void handleControl(std::string text, TimePoint receivedAt);
    void handleH264(const link::HostMessage& message, TimePoint receivedAt);
    void handleJpeg(const link::HostMessage& message, TimePoint receivedAt);
    void pictureDecoded(FrameKind kind, TimePoint receivedAt, std::size_t payloadBytes);
    void decodeFailed();

    ViewerOptions options_;
    NowFunction now_;
    int socket_ = -1;
    bool peerClosed_ = false;
    link::MessageReader reader_;
    H264Decoder h264_;
    JpegDecoder jpeg_;
    RgbImage decoded_;
    std::optional<RgbImage> lastPicture_;
    // Set once "KEYFRAME" has gone out; cleared by the next key frame, so that a burst of broken
    // packets asks only once.
    bool keyFrameAsked_ = false;
    bool decoding_ = true;
    bool awaitingKeyFrame_ = false;
    std::uint64_t nextPing_ = 1;
    std::map<std::uint64_t, TimePoint> pingsInFlight_;
    ViewerStatistics statistics_;
    FrameCallback onFrame_;
    MessageCallback onControl_;
    PayloadCallback onPayload_;
};

}  // namespace kestrio::viewer
