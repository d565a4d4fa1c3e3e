#include "platform/macos/osascript_message_delivery.h"

#include "platform/macos/messages_script.h"
#include "platform/os/child_process_run.h"
#include "runtime/white_space.h"

namespace kestrio::platform::macos {
using remote::MessageDeliveryFailure;

OsascriptMessageDelivery::OsascriptMessageDelivery(std::string program, std::chrono::milliseconds timeout)
    : program_(std::move(program)), timeout_(timeout)
{
}

std::optional<MessageDeliveryFailure> OsascriptMessageDelivery::probe()
{
    return run(std::string(MessagesScript::accessProbe));
}

std::optional<MessageDeliveryFailure> OsascriptMessageDelivery::deliver(const std::string& recipient, const std::string& text)
{
    return run(MessagesScript::send(recipient, text));
}

std::optional<MessageDeliveryFailure> OsascriptMessageDelivery::run(const std::string& script) const
{
    if (script.find('\0') != std::string::npos)
        return MessageDeliveryFailure{MessageDeliveryFailure::Kind::unusableScript, {}};
    const os::ChildProcessResult result = os::runChildProcess(program_, {"-e", script}, {}, timeout_);
    if (result.outcome == os::ChildProcessResult::Outcome::exited && result.exitStatus == 0)
        return std::nullopt;
    return MessageDeliveryFailure{MessageDeliveryFailure::Kind::failed, std::string(runtime::trimmedWhiteSpace(result.output))};
}

}  // namespace kestrio::platform::macos
