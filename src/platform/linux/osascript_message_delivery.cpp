#include "platform/linux/osascript_message_delivery.h"
#include "platform/linux/child_process_run.h"
#include "platform/linux/sendmail_message_delivery.h"
#include "runtime/white_space.h"

#include <string_view>
#include <unistd.h>

namespace kestrio::platform {
using remote::MessageDeliveryFailure;

OsascriptMessageDelivery::OsascriptMessageDelivery(std::string program, std::chrono::milliseconds timeout)
    : program_(std::move(program)), timeout_(timeout)
{
}

std::optional<MessageDeliveryFailure> OsascriptMessageDelivery::probe(const std::string& scriptSource)
{
    return run(scriptSource);
}

std::optional<MessageDeliveryFailure> OsascriptMessageDelivery::deliver(const std::string& scriptSource,
                                                                        const std::string&, const std::string&)
{
    return run(scriptSource);
}

std::optional<MessageDeliveryFailure> OsascriptMessageDelivery::run(const std::string& scriptSource) const
{
    if (scriptSource.find('\0') != std::string::npos)
        return MessageDeliveryFailure{MessageDeliveryFailure::Kind::unusableScript, {}};
    const ChildProcessResult result = runChildProcess(program_, {"-e", scriptSource}, {}, timeout_);
    if (result.outcome == ChildProcessResult::Outcome::exited && result.exitStatus == 0)
        return std::nullopt;
    return MessageDeliveryFailure{MessageDeliveryFailure::Kind::failed, std::string(runtime::trimmedWhiteSpace(result.output))};
}

std::shared_ptr<remote::MessageDelivery> makeSystemMessageDelivery()
{
    if (access(OsascriptMessageDelivery::defaultProgram, X_OK) == 0)
        return std::make_shared<OsascriptMessageDelivery>();
    return std::make_shared<SendmailMessageDelivery>();
}

}  // namespace kestrio::platform
