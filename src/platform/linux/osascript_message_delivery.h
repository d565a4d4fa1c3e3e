#pragma once

#include "remote/messages_notifier.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace kestrio::platform {

// Runs the notifier's scripts as they are, with `osascript -e SCRIPT`: where there is an
// osascript, the scripts say all there is to say, recipient and text included.
class OsascriptMessageDelivery final : public remote::MessageDelivery {
public:
    static constexpr const char* defaultProgram = "/usr/bin/osascript";
    static constexpr std::chrono::milliseconds defaultTimeout = std::chrono::seconds(30);

    // A run still going after `timeout` is killed and fails.
    explicit OsascriptMessageDelivery(std::string program = defaultProgram,
                                      std::chrono::milliseconds timeout = defaultTimeout);

    // Both run `scriptSource`. A failure carries osascript's standard error, trimmed (empty when
    // it said nothing); a source that cannot be passed as an argument (it holds a NUL) is an
    // unusable script.
    std::optional<remote::MessageDeliveryFailure> probe(const std::string& scriptSource) override;
    std::optional<remote::MessageDeliveryFailure> deliver(const std::string& scriptSource, const std::string& recipient,
                                                          const std::string& text) override;

private:
    std::optional<remote::MessageDeliveryFailure> run(const std::string& scriptSource) const;

    std::string program_;
    std::chrono::milliseconds timeout_;
};

// The delivery for this system: osascript where OsascriptMessageDelivery::defaultProgram is an
// executable program, else the system's sendmail.
std::shared_ptr<remote::MessageDelivery> makeSystemMessageDelivery();

}  // namespace kestrio::platform
