#pragma once

#include "link/refusal_penalty.h"
#include "runtime/clock.h"

#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <string_view>

namespace kestrio::web {

// Pairing a browser with this run of the host. The page asks for a six-digit code, new at each
// start, which the host shows (in its status lines and its window, and as the fragment of the
// page's address, which pairs without typing). Each wrong code from a source network (an IPv4
// /24, an IPv6 /64) makes the next try from that network wait, 1 s doubling up to a minute, as
// refused outsiders do; a try while it waits is not judged at all. A browser that paired is given
// a token that pairs it again, without the code, for the rest of the run.
class BrowserPairing {
public:
    static constexpr std::size_t codeLength = 6;
    static constexpr std::size_t maxRememberedNetworks = 4096;
    static constexpr std::size_t maxPairedBrowsers = 64;

    struct Outcome {
        enum class Kind { paired, wrongCode, waitFirst };
        Kind kind = Kind::wrongCode;
        std::string token;             // paired: what pairs this browser again
        runtime::Duration retryAfter{};  // wrongCode, waitFirst: when the network may try again
    };

    // `code`: six digits (newCode() at start; tests give their own).
    explicit BrowserPairing(std::string code);
    // Six random digits.
    static std::string newCode();

    const std::string& code() const { return code_; }

    // A browser from `network` offers `code` at `now`.
    Outcome tryCode(const std::string& network, std::string_view code, runtime::TimePoint now);
    // Whether `token` was given to a browser that paired in this run.
    bool knows(std::string_view token) const;

private:
    link::RefusalPenalty& penaltyOf(const std::string& network, runtime::TimePoint now);

    std::string code_;
    std::map<std::string, link::RefusalPenalty> penalties_;
    std::deque<std::string> tokens_;  // oldest first
};

}  // namespace kestrio::web
