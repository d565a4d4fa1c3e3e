#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace kestrio::platform::x11 {

// The secret an X server of ours admits its clients by: a random MIT-MAGIC-COOKIE-1 in an
// authority file of mode 0600 that only this user can reach. The file lies in
// $XDG_RUNTIME_DIR/kestrio/ (a folder of mode 0700), or, without a runtime folder, in a private
// folder made for it under /tmp. It matches any display, so it can be written before the server
// has chosen its display number. File and folder (when empty) go with the object.
class XAuthority {
public:
    static constexpr std::size_t cookieSize = 16;
    using Cookie = std::array<std::uint8_t, cookieSize>;
    static constexpr const char* protocolName = "MIT-MAGIC-COOKIE-1";

    // Returns nothing when no private place or no random cookie could be had; `error` says why.
    static std::unique_ptr<XAuthority> create(std::string& error);
    ~XAuthority();

    XAuthority(const XAuthority&) = delete;
    XAuthority& operator=(const XAuthority&) = delete;

    // For the server's -auth and for clients' XAUTHORITY.
    const std::string& file() const { return file_; }
    const Cookie& cookie() const { return cookie_; }

private:
    XAuthority(std::string folder, std::string file, const Cookie& cookie)
        : folder_(std::move(folder)), file_(std::move(file)), cookie_(cookie)
    {
    }

    std::string folder_;
    std::string file_;
    Cookie cookie_{};
};

}  // namespace kestrio::platform::x11
