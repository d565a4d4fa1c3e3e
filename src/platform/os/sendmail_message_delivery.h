#pragma once

#include "remote/messages_notifier.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::platform::os {

// Delivers the address notification as e-mail through the system's sendmail interface (the
// recipient is an e-mail address): the probe asks whether there is a sendmail program to use, and
// a delivery sends one mail with the text as its body.
//
// Sender address and envelope are left to sendmail, which knows which address the user's relay
// accepts (msmtp takes it from its configuration). The body goes as Base64 so that it arrives
// byte for byte through any relay, whatever its lines look like.
class SendmailMessageDelivery final : public remote::MessageDelivery {
public:
    static constexpr std::chrono::milliseconds defaultTimeout = std::chrono::seconds(30);

    // `program`: a path, or a name looked up on PATH; empty means the one KESTRIO_SENDMAIL names
    // (a path or a name on PATH) when it is set, else the system's: /usr/sbin/sendmail, else
    // /usr/lib/sendmail, else sendmail on PATH, looked for at every call. `leadingArguments`
    // go before the delivery's own (for instance {"-C", "/path/to/msmtprc"}). A sendmail still
    // running after `timeout` is killed and the delivery fails.
    explicit SendmailMessageDelivery(std::string program = {}, std::vector<std::string> leadingArguments = {},
                                     std::chrono::milliseconds timeout = defaultTimeout);

    // Fails exactly when no sendmail program is there to use (missing, or not executable).
    std::optional<remote::MessageDeliveryFailure> probe() override;
    // Runs `sendmail [leading arguments] -i -- RECIPIENT` with the mail on its standard input. A
    // recipient that fails isMailAddress fails as an unreachable one would, and nothing is run.
    // A non-zero exit fails with what sendmail wrote to standard error.
    std::optional<remote::MessageDeliveryFailure> deliver(const std::string& recipient, const std::string& text) override;

    // A plain address: one "@", a non-empty local part, a domain with a dot inside it, no white
    // space, control characters or characters that would need quoting in a header, and no
    // leading "-" (sendmail would read it as an option).
    static bool isMailAddress(std::string_view text);

private:
    std::string program_;
    std::vector<std::string> leadingArguments_;
    std::chrono::milliseconds timeout_;
};

}  // namespace kestrio::platform::os
