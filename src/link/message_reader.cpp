#include "link/message_reader.h"

#include <iterator>

namespace kestrio::link {

std::string HostMessage::controlText() const
{
    if (kind != Kind::control)
        return {};
    return std::string(payload.begin() + 1, payload.end());
}

bool HostMessage::isKeyFrame() const
{
    return kind == Kind::videoPacket && payload.size() >= 2 && payload[1] == 1;
}

void MessageReader::append(std::span<const std::uint8_t> bytes)
{
    // Drop what was already read when that costs no more than it frees.
    if (readOffset_ > 0 && readOffset_ >= buffer_.size() - readOffset_) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(readOffset_));
        readOffset_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<HostMessage> MessageReader::next()
{
    const std::size_t available = bufferedBytes();
    if (available < 4)
        return std::nullopt;
    const std::uint8_t* header = buffer_.data() + readOffset_;
    const std::size_t length = std::size_t{header[0]} << 24 | std::size_t{header[1]} << 16
        | std::size_t{header[2]} << 8 | std::size_t{header[3]};
    if (available - 4 < length)
        return std::nullopt;

    HostMessage message;
    const auto begin = buffer_.begin() + static_cast<std::ptrdiff_t>(readOffset_ + 4);
    message.payload.assign(begin, begin + static_cast<std::ptrdiff_t>(length));
    readOffset_ += 4 + length;
    if (readOffset_ == buffer_.size()) {
        buffer_.clear();
        readOffset_ = 0;
    }

    if (message.payload.empty())
        message.kind = HostMessage::Kind::empty;
    else if (message.payload[0] == controlMessageType)
        message.kind = HostMessage::Kind::control;
    else if (message.payload[0] == videoPacketType)
        message.kind = HostMessage::Kind::videoPacket;
    else
        message.kind = HostMessage::Kind::jpegFrame;
    return message;
}

}  // namespace kestrio::link
