#pragma once

#include "link/message_framer.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrio::link {

// One message from the host, as the viewer receives it.
struct HostMessage {
    // Told apart by the payload's first byte: controlMessageType, videoPacketType, anything
    // else is a JPEG frame. A zero-length payload is `empty`.
    enum class Kind { control, videoPacket, jpegFrame, empty };

    Kind kind = Kind::empty;
    std::vector<std::uint8_t> payload;  // the whole payload, type byte included

    // The text after the type byte of a control message; empty for other kinds.
    std::string controlText() const;
    // True for a video packet whose flag byte (the second) is 1.
    bool isKeyFrame() const;

    bool operator==(const HostMessage&) const = default;
};

// The viewer's side of the framing: cuts the host's byte stream back into messages, however
// the stream was split on the way.
class MessageReader {
public:
    void append(std::span<const std::uint8_t> bytes);

    // The next complete message, or nullopt until more bytes arrive.
    std::optional<HostMessage> next();

    // Bytes received and not yet returned as messages.
    std::size_t bufferedBytes() const { return buffer_.size() - readOffset_; }

private:
    std::vector<std::uint8_t> buffer_;
    // Returned messages are skipped rather than erased, so reading many small messages from one
    // large append stays linear.
    std::size_t readOffset_ = 0;
};

}  // namespace kestrio::link
