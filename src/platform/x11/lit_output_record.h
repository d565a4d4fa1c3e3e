#pragma once

#include "platform/x11/randr_requests.h"

#include <filesystem>
#include <optional>
#include <string>

namespace kestrio::platform::x11 {

// What the host changed on an X server to light an output for a virtual monitor: the output, the
// mode it made for it, and the screen's size before. Kept while the output is lit, in a file
// shared by every X server the user's host runs on (one entry per server), so that a run that
// ended without undoing its change (killed, crashed) has it undone by the next.
struct LitOutputRecord {
    std::string output;
    std::string mode;
    ScreenDimensions screenBefore;
    bool operator==(const LitOutputRecord&) const = default;
};

class LitOutputRecords {
public:
    // `file` empty: nothing is kept. Its folder must be a private one of this user's (it is made
    // when missing).
    explicit LitOutputRecords(std::filesystem::path file) : file_(std::move(file)) {}

    std::optional<LitOutputRecord> find(const std::string& server) const;
    // False when the record could not be written.
    bool save(const std::string& server, const LitOutputRecord& record) const;
    void remove(const std::string& server) const;

    // The key of the server `displayName` names ($DISPLAY when empty): its display, without the
    // screen number.
    static std::string serverKey(const std::string& displayName);

private:
    std::filesystem::path file_;
};

}  // namespace kestrio::platform::x11
