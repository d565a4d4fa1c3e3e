#include "link/line_assembler.h"

#include <cstring>

namespace kestrio::link {

bool LineAssembler::ingest(std::string_view chunk, const std::function<bool(std::string_view line)>& onLine)
{
    if (chunk.size() > maxBufferedBytes - bufferedBytes())
        return false;

    buffer_.append(chunk);
    ingesting_ = true;
    while (scanOffset_ < buffer_.size()) {
        const char* const base = buffer_.data();
        const void* found = std::memchr(base + scanOffset_, '\n', buffer_.size() - scanOffset_);
        if (!found) {
            scanOffset_ = buffer_.size();
            break;
        }
        const auto lineFeed = static_cast<std::size_t>(static_cast<const char*>(found) - base);
        const std::string_view line(base + readOffset_, lineFeed - readOffset_);
        readOffset_ = lineFeed + 1;
        scanOffset_ = readOffset_;
        // A clear() from inside onLine moves scanOffset_ to the end, which ends the loop too.
        if (!onLine(line))
            break;
    }
    ingesting_ = false;
    compact();
    return true;
}

void LineAssembler::clear()
{
    if (ingesting_) {
        // The line being handled still points into the buffer: mark everything as handled and
        // let ingest() release it once the callback has returned.
        readOffset_ = buffer_.size();
        scanOffset_ = buffer_.size();
        return;
    }
    buffer_.clear();
    readOffset_ = 0;
    scanOffset_ = 0;
}

void LineAssembler::compact()
{
    if (readOffset_ == buffer_.size()) {
        buffer_.clear();
        readOffset_ = 0;
        scanOffset_ = 0;
        return;
    }
    // Moving the rest to the front costs no more than the bytes already handed out, which keeps
    // the total work linear in the bytes received.
    const std::size_t remaining = buffer_.size() - readOffset_;
    if (readOffset_ >= remaining) {
        buffer_.erase(0, readOffset_);
        scanOffset_ -= readOffset_;
        readOffset_ = 0;
    }
}

}  // namespace kestrio::link
