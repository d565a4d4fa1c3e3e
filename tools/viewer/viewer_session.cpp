#include "viewer/viewer_session.h"

#include "link/inbound_line.h"
#include "runtime/base64.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrio::viewer {

namespace {

// The longest single wait on the socket, so that deadlines are re-read from the time source
// often enough even when it is not the wall clock.
constexpr Duration waitSlice = std::chrono::milliseconds(50);

int toPollTimeout(Duration wait)
{
    if (wait <= Duration::zero())
        return 0;
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(std::min(wait, waitSlice));
    return static_cast<int>(milliseconds.count());
}

std::vector<std::string_view> splitSpaces(std::string_view text)
{
    std::vector<std::string_view> tokens;
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t start = text.find_first_not_of(' ', position);
        if (start == std::string_view::npos)
            break;
        const std::size_t end = std::min(text.find(' ', start), text.size());
        tokens.push_back(text.substr(start, end - start));
        position = end;
    }
    return tokens;
}

std::string_view codecToken(Codec codec)
{
    return codec == Codec::h264 ? "H264" : "JPEG";
}

// Connects a non-blocking socket to one address, waiting until `deadline`.
int connectOne(const addrinfo& address, TimePoint deadline, const ViewerSession::NowFunction& now)
{
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
    if (fd < 0)
        return -1;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    for (;;) {
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, toPollTimeout(deadline - now()));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0) {
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
                break;
            const int noDelay = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
            return fd;
        }
        if (now() >= deadline)
            break;
    }
    ::close(fd);
    return -1;
}

}  // namespace

std::string makeHandshakeLine(HandshakeForm form, Codec codec, std::string_view name, std::string_view identifier)
{
    std::string line = form == HandshakeForm::hello ? "HELLO 2 " : "CAP ";
    line += codecToken(codec);
    if (!name.empty()) {
        line += ' ';
        line += runtime::base64Encode(name);
        if (!identifier.empty()) {
            line += ' ';
            line += runtime::base64Encode(identifier);
        }
    }
    return line;
}

std::optional<WelcomeFields> parseWelcome(std::string_view text)
{
    const auto tokens = splitSpaces(text);
    if (tokens.size() < 6 || tokens[0] != "WELCOME")
        return std::nullopt;
    WelcomeFields fields;
    fields.protocolVersion = tokens[1];
    fields.codec = tokens[2];
    fields.hostName = link::decodeTextField(tokens[3]).value_or(std::string(tokens[3]));
    fields.version = tokens[4];
    fields.build = tokens[5];
    return fields;
}

double ViewerStatistics::meanFrameBytes() const
{
    const std::uint64_t frames = videoFrames();
    return frames == 0 ? 0.0 : static_cast<double>(videoBytes) / static_cast<double>(frames);
}

double ViewerStatistics::framesPerSecond() const
{
    if (!connectedAt || !lastActivityAt)
        return 0.0;
    const double seconds = std::chrono::duration<double>(*lastActivityAt - *connectedAt).count();
    return seconds > 0.0 ? static_cast<double>(decodedFrames) / seconds : 0.0;
}

ViewerSession::ViewerSession(ViewerOptions options, NowFunction now) : options_(std::move(options)), now_(std::move(now)) {}

ViewerSession::~ViewerSession()
{
    close();
}

void ViewerSession::close()
{
    if (socket_ >= 0)
        ::close(socket_);
    socket_ = -1;
}

bool ViewerSession::connect(Duration timeout)
{
    close();
    peerClosed_ = false;
    reader_ = {};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* addresses = nullptr;
    const std::string port = std::to_string(options_.port);
    if (::getaddrinfo(options_.host.c_str(), port.c_str(), &hints, &addresses) != 0) {
        // AI_ADDRCONFIG hides ::1 on hosts without a global IPv6 address; retry without it.
        hints.ai_flags = 0;
        if (::getaddrinfo(options_.host.c_str(), port.c_str(), &hints, &addresses) != 0)
            return false;
    }
    const TimePoint deadline = now_() + timeout;
    for (const addrinfo* address = addresses; address && socket_ < 0; address = address->ai_next)
        socket_ = connectOne(*address, deadline, now_);
    ::freeaddrinfo(addresses);
    if (socket_ < 0)
        return false;

    statistics_.connectedAt = now_();
    statistics_.lastActivityAt = statistics_.connectedAt;
    if (!sendLine(makeHandshakeLine(options_.form, options_.codec, options_.name, options_.identifier))) {
        close();
        return false;
    }
    return true;
}

bool ViewerSession::sendLine(std::string_view line)
{
    if (socket_ < 0)
        return false;
    std::string bytes(line);
    bytes += '\n';
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const ssize_t sent = ::send(socket_, rest.data(), rest.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            rest.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The host stopped reading; a control line is small, so this is rare and short.
            pollfd entry{socket_, POLLOUT, 0};
            if (::poll(&entry, 1, 1000) > 0)
                continue;
        }
        return false;
    }
    return true;
}

std::optional<std::uint64_t> ViewerSession::sendPing()
{
    const std::uint64_t token = nextPing_++;
    const TimePoint sentAt = now_();
    if (!sendLine("PING " + std::to_string(token)))
        return std::nullopt;
    pingsInFlight_[token] = sentAt;
    return token;
}

bool ViewerSession::receive(Duration wait)
{
    if (socket_ < 0 || peerClosed_)
        return false;
    pollfd entry{socket_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, toPollTimeout(wait));
    if (ready < 0)
        return errno == EINTR;
    if (ready == 0)
        return true;
    std::array<std::uint8_t, 65536> buffer;
    for (;;) {
        const ssize_t size = ::recv(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (size > 0) {
            statistics_.bytesReceived += static_cast<std::uint64_t>(size);
            reader_.append(std::span(buffer.data(), static_cast<std::size_t>(size)));
            if (static_cast<std::size_t>(size) < buffer.size())
                return true;
            continue;
        }
        if (size < 0 && errno == EINTR)
            continue;
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        peerClosed_ = true;
        return false;
    }
}

ViewerSession::RunResult ViewerSession::runUntil(const std::function<bool()>& done, Duration timeout)
{
    const TimePoint deadline = now_() + timeout;
    RunResult result = RunResult::timedOut;
    for (;;) {
        bool finished = false;
        if (done()) {
            result = RunResult::limitReached;
            break;
        }
        // Everything already buffered arrived with the latest read.
        const TimePoint receivedAt = now_();
        while (auto message = reader_.next()) {
            handleMessage(*message, receivedAt);
            if (done()) {
                finished = true;
                break;
            }
        }
        if (finished) {
            result = RunResult::limitReached;
            break;
        }
        if (socket_ < 0) {
            result = RunResult::failed;
            break;
        }
        if (peerClosed_) {
            result = RunResult::closed;
            break;
        }
        const Duration remaining = deadline - now_();
        if (remaining <= Duration::zero())
            break;
        receive(remaining);
    }
    statistics_.lastActivityAt = now_();
    return result;
}

ViewerSession::RunResult ViewerSession::run(std::optional<std::uint64_t> frames, Duration duration)
{
    const std::uint64_t target = statistics_.decodedFrames + frames.value_or(0);
    const RunResult result = runUntil([&] { return frames && statistics_.decodedFrames >= target; }, duration);
    if (!frames && result == RunResult::timedOut)
        return RunResult::limitReached;
    return result;
}

void ViewerSession::setDecoding(bool decoding)
{
    if (decoding && !decoding_)
        awaitingKeyFrame_ = true;
    decoding_ = decoding;
}

void ViewerSession::handleMessage(const link::HostMessage& message, TimePoint receivedAt)
{
    switch (message.kind) {
    case link::HostMessage::Kind::control:
        handleControl(message.controlText(), receivedAt);
        break;
    case link::HostMessage::Kind::videoPacket:
        handleH264(message, receivedAt);
        break;
    case link::HostMessage::Kind::jpegFrame:
        handleJpeg(message, receivedAt);
        break;
    case link::HostMessage::Kind::empty:
        break;
    }
}

void ViewerSession::handleControl(std::string text, TimePoint receivedAt)
{
    ++statistics_.controlMessages;
    if (onControl_)
        onControl_(text);
    const auto tokens = splitSpaces(text);
    if (!tokens.empty() && tokens[0] == "WELCOME") {
        statistics_.welcomeText = text;
        statistics_.welcome = parseWelcome(text);
    } else if (tokens.size() >= 2 && tokens[0] == "PONG") {
        std::uint64_t token = 0;
        const std::string_view digits = tokens[1];
        std::from_chars(digits.data(), digits.data() + digits.size(), token);
        if (const auto sent = pingsInFlight_.find(token); sent != pingsInFlight_.end()) {
            statistics_.pingRoundTrips.push_back(receivedAt - sent->second);
            pingsInFlight_.erase(sent);
        }
    }
    statistics_.controlTexts.push_back(std::move(text));
}

void ViewerSession::handleH264(const link::HostMessage& message, TimePoint receivedAt)
{
    const bool key = message.isKeyFrame();
    ++(key ? statistics_.h264KeyFrames : statistics_.h264DeltaFrames);
    statistics_.videoBytes += message.payload.size();
    statistics_.largestFrameBytes = std::max(statistics_.largestFrameBytes, message.payload.size());
    if (key)
        keyFrameAsked_ = false;
    if (onPayload_)
        onPayload_(key ? FrameKind::h264Key : FrameKind::h264Delta, message.payload, receivedAt);
    if (!decoding_)
        return;
    if (awaitingKeyFrame_) {
        if (!key)
            return;
        awaitingKeyFrame_ = false;
    }

    const auto packet = parseH264Packet(message.payload);
    if (!packet) {
        decodeFailed();
        return;
    }
    switch (h264_.decode(*packet, decoded_)) {
    case H264Decoder::Result::picture:
        pictureDecoded(key ? FrameKind::h264Key : FrameKind::h264Delta, receivedAt, message.payload.size());
        break;
    case H264Decoder::Result::error:
        decodeFailed();
        break;
    case H264Decoder::Result::noPicture:
        break;
    }
}

void ViewerSession::handleJpeg(const link::HostMessage& message, TimePoint receivedAt)
{
    ++statistics_.jpegFrames;
    statistics_.videoBytes += message.payload.size();
    statistics_.largestFrameBytes = std::max(statistics_.largestFrameBytes, message.payload.size());
    if (onPayload_)
        onPayload_(FrameKind::jpeg, message.payload, receivedAt);
    if (!decoding_)
        return;
    if (jpeg_.decode(message.payload, decoded_))
        pictureDecoded(FrameKind::jpeg, receivedAt, message.payload.size());
    else
        ++statistics_.decodeErrors;
}

void ViewerSession::pictureDecoded(FrameKind kind, TimePoint receivedAt, std::size_t payloadBytes)
{
    const std::uint64_t index = statistics_.decodedFrames++;
    if (!statistics_.firstFrameAt)
        statistics_.firstFrameAt = receivedAt;
    statistics_.lastFrameAt = receivedAt;
    // Swapping keeps both buffers allocated, so steady streaming does not copy or reallocate.
    if (!lastPicture_)
        lastPicture_.emplace();
    std::swap(*lastPicture_, decoded_);
    if (onFrame_)
        onFrame_(DecodedFrame{*lastPicture_, kind, receivedAt, index, payloadBytes});
}

void ViewerSession::decodeFailed()
{
    ++statistics_.decodeErrors;
    // Later packets depend on the broken one; only a key frame repairs the picture.
    if (keyFrameAsked_)
        return;
    if (sendLine("KEYFRAME")) {
        keyFrameAsked_ = true;
        ++statistics_.keyFrameRequests;
    }
}

}  // namespace kestrio::viewer
