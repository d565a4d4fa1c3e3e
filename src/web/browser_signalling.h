#pragma once

#include "runtime/clock.h"
#include "web/browser_pairing.h"

#include <memory>
#include <string>
#include <string_view>

namespace kestrio::web {

// One browser's side of the conversation the page holds with the host over its WebSocket, as far
// as pairing goes. Messages are JSON objects with a "type":
//   page → host  {"type":"pair","code":"123456"}   the code the user typed (or the address held)
//                {"type":"resume","token":"…"}       a browser that paired earlier in this run
//   host → page  {"type":"paired","token":"…"}      it may go on; the token pairs it again
//                {"type":"refused","retryAfterMs":N} a wrong code (or an unknown token)
//                {"type":"wait","retryAfterMs":N}    its network must wait before trying again
// Anything else from a browser that has not paired gets {"type":"refused",…} too, and counts as
// a wrong code, so that nothing is reached without the code.
class BrowserSignalling {
public:
    // Longer messages are not read.
    static constexpr std::size_t maxMessageSize = 64 * 1024;

    // `network`: the browser's source network (link::sourceNetworkOf).
    BrowserSignalling(std::shared_ptr<BrowserPairing> pairing, std::shared_ptr<runtime::Clock> clock, std::string network);

    // A text message from the page; the reply to send back (empty: none).
    std::string receive(std::string_view message);
    bool paired() const { return paired_; }

private:
    std::string refusal(const BrowserPairing::Outcome& outcome) const;

    std::shared_ptr<BrowserPairing> pairing_;
    std::shared_ptr<runtime::Clock> clock_;
    std::string network_;
    bool paired_ = false;
};

}  // namespace kestrio::web
