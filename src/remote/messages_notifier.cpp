#include "remote/messages_notifier.h"

#include "runtime/white_space.h"


namespace kestrio::remote {
namespace {

std::optional<MessagesNotifierError> toNotifierError(const std::optional<MessageDeliveryFailure>& failure)
{
    if (!failure)
        return std::nullopt;
    if (failure->kind == MessageDeliveryFailure::Kind::unusableScript)
        return MessagesNotifierError{MessagesNotifierError::Kind::scriptCreationFailed, {}};
    return MessagesNotifierError{MessagesNotifierError::Kind::scriptFailed,
                                 failure->message.empty() ? std::string(MessagesNotifier::genericFailureText)
                                                          : failure->message};
}

}  // namespace

std::string MessagesNotifierError::description() const
{
    switch (kind) {
    case Kind::scriptFailed:
        return message;
    case Kind::emptyAddress:
        return "받는 사람 주소를 입력하세요.";
    case Kind::scriptCreationFailed:
        return "메시지 자동화 스크립트를 만들 수 없습니다.";
    }
    return message;
}

MessagesNotifier::MessagesNotifier(std::shared_ptr<MessageDelivery> delivery) : delivery_(std::move(delivery)) {}

std::optional<MessagesNotifierError> MessagesNotifier::send(const std::string& message, const std::string& to) const
{
    const std::string address(runtime::trimmedWhiteSpace(to));
    if (address.empty())
        return MessagesNotifierError{MessagesNotifierError::Kind::emptyAddress, {}};
    if (!delivery_)
        return toNotifierError(MessageDeliveryFailure{});
    return toNotifierError(delivery_->deliver(address, message));
}

std::optional<MessagesNotifierError> MessagesNotifier::probeAccess() const
{
    if (!delivery_)
        return toNotifierError(MessageDeliveryFailure{});
    return toNotifierError(delivery_->probe());
}

}  // namespace kestrio::remote
