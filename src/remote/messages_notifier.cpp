#include "remote/messages_notifier.h"

#include "runtime/white_space.h"

#include <array>

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
        return "iMessage 주소를 입력하세요.";
    case Kind::scriptCreationFailed:
        return "메시지 자동화 스크립트를 만들 수 없습니다.";
    }
    return message;
}

MessagesNotifier::MessagesNotifier(std::shared_ptr<MessageDelivery> delivery) : delivery_(std::move(delivery)) {}

std::string MessagesNotifier::appleScriptLiteral(std::string_view text)
{
    // One pass gives what the successive replacements give: none of them produces a character
    // a later one would replace again, except the backslash, which is doubled first.
    std::string literal;
    literal.reserve(text.size() + 2);
    literal.push_back('"');
    for (const char c : text) {
        switch (c) {
        case '\\':
            literal += "\\\\";
            break;
        case '"':
            literal += "\\\"";
            break;
        case '\r':
            literal += "\\r";
            break;
        case '\n':
            literal += "\\n";
            break;
        case '\t':
            literal += "\\t";
            break;
        default:
            literal.push_back(c);
        }
    }
    literal.push_back('"');
    return literal;
}

std::optional<MessagesNotifierError> MessagesNotifier::send(const std::string& message, const std::string& to) const
{
    const std::string address(runtime::trimmedWhiteSpace(to));
    if (address.empty())
        return MessagesNotifierError{MessagesNotifierError::Kind::emptyAddress, {}};
    std::string script(sendScriptFirstPiece);
    script += appleScriptLiteral(address);
    script += sendScriptMiddlePiece;
    script += appleScriptLiteral(message);
    script += sendScriptLastPiece;
    if (!delivery_)
        return toNotifierError(MessageDeliveryFailure{});
    return toNotifierError(delivery_->deliver(script, address, message));
}

std::optional<MessagesNotifierError> MessagesNotifier::runAppleScript(const std::string& source) const
{
    if (!delivery_)
        return toNotifierError(MessageDeliveryFailure{});
    return toNotifierError(delivery_->probe(source));
}

}  // namespace kestrio::remote
