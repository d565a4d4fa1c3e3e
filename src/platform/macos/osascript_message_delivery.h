#pragma once

#include "remote/messages_notifier.h"

#include <chrono>
#include <optional>
#include <string>

namespace kestrio::platform::macos {

// Sends the notification through the Messages application, running its scripts (MessagesScript)
// with `osascript -e SCRIPT`.
class OsascriptMessageDelivery final : public remote::MessageDelivery {
public:
    static constexpr const char* defaultProgram = "/usr/bin/osascript";
    static constexpr std::chrono::milliseconds defaultTimeout = std::chrono::seconds(30);

    // A run still going after `timeout` is killed and fails.
    explicit OsascriptMessageDelivery(std::string program = defaultProgram,
                                      std::chrono::milliseconds timeout = defaultTimeout);

    // Runs the access probe, or the send script for `recipient` and `text`. A failure carries
    // osascript's standard error, trimmed (empty when it said nothing); a script that cannot be
    // passed as an argument (it holds a NUL) is an unusable script.
    std::optional<remote::MessageDeliveryFailure> probe() override;
    std::optional<remote::MessageDeliveryFailure> deliver(const std::string& recipient, const std::string& text) override;

private:
    std::optional<remote::MessageDeliveryFailure> run(const std::string& script) const;

    std::string program_;
    std::chrono::milliseconds timeout_;
};

}  // namespace kestrio::platform::macos
