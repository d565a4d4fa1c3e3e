#pragma once

#include "desktop/permission_facility.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace kestrio::platform::x11 {

// What an X server allows this process. Input counts as trusted when the server offers XTEST;
// capture counts as allowed when the root window can be read. X has no consent dialogues, so the
// prompts do nothing.
//
// Every query opens a connection of its own and closes it again: the answer then always reflects
// the server as it is now, a server that went away or was replaced needs no reconnection logic,
// and nothing is shared between callers on different threads. The cost, one local connection
// set-up, is small beside how rarely anyone asks.
//
// xcb cannot time out, and a frozen server (stopped, or stuck) would block a caller for as long
// as it stays frozen. So the talking happens on a short-lived thread of its own, and the caller
// waits for its answer at most `answerTimeout`; a server that has not answered by then counts as
// allowing nothing. While a server leaves a query unanswered, later queries wait for that one
// rather than pile up more threads blocked on it.
class X11PermissionFacility final : public model::PermissionFacility {
public:
    static constexpr std::chrono::milliseconds defaultAnswerTimeout{2000};

    // `displayName` as for xcb_connect (":1"); empty means $DISPLAY.
    explicit X11PermissionFacility(std::string displayName = {},
                                   std::chrono::milliseconds answerTimeout = defaultAnswerTimeout);
    ~X11PermissionFacility() override;

    X11PermissionFacility(const X11PermissionFacility&) = delete;
    X11PermissionFacility& operator=(const X11PermissionFacility&) = delete;

    bool inputTrusted() override;
    void promptForInputTrust() override {}
    bool captureAllowed() override;
    void requestCaptureAccess() override {}

private:
    enum class Question;
    struct Probe;

    bool ask(Question question);
    // Talks to the server; blocks for as long as the server takes.
    static bool askServer(const std::string& displayName, Question question);

    std::string displayName_;
    std::chrono::milliseconds answerTimeout_;
    std::mutex mutex_;
    // The most recent conversation with the server; it may still be waiting for an answer.
    std::shared_ptr<Probe> lastProbe_;
};

}  // namespace kestrio::platform::x11
