#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kestrio::link {

// Cuts the bytes received from the viewer into lines ended by a line feed. A line that never
// ends cannot grow without bound: past maxBufferedBytes the caller is told to give up.
class LineAssembler {
public:
    static constexpr std::size_t maxBufferedBytes = 65536;

    // Appends `chunk`. When the unhandled bytes would then exceed maxBufferedBytes, returns false
    // without handing out any line and without keeping the chunk (the caller drops the
    // connection). Otherwise hands each complete line to onLine in order (the bytes before the
    // LF; the LF removed, a CR kept) and returns true. The test counts the whole chunk, so a
    // chunk that completes several lines counts in full.
    //
    // Extraction stops early when onLine returns false (the rest stays buffered; ingesting an
    // empty chunk resumes it) or when onLine calls clear(). The view passed to onLine is valid only during the
    // call. onLine must not call ingest() on the same assembler.
    bool ingest(std::string_view chunk, const std::function<bool(std::string_view line)>& onLine);

    // Forgets every unhandled byte, e.g. when the connection changes.
    void clear();

    // Bytes received and not yet handed out as lines.
    std::size_t bufferedBytes() const { return buffer_.size() - readOffset_; }

private:
    void compact();

    std::string buffer_;
    // Start of the unhandled bytes: handed-out lines are skipped, not erased, so that many short
    // lines in one chunk cost linear time.
    std::size_t readOffset_ = 0;
    // Where the search for the next LF resumes: bytes before it are known to hold none, so a
    // long line arriving in small pieces is scanned once.
    std::size_t scanOffset_ = 0;
    bool ingesting_ = false;
};

}  // namespace kestrio::link
