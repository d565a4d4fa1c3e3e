#include "remote/messages_notifier.h"

#include <array>

namespace kestrio::remote {
namespace {

constexpr std::string_view asciiWhitespace = " \t\n\r\v\f";
// The rest of Unicode's white space and line breaks, as UTF-8: a pasted address may carry a
// no-break or ideographic space at either end.
constexpr std::array<std::string_view, 19> wideWhitespace = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
    "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
};

std::string_view trimmed(std::string_view text)
{
    bool changed = true;
    while (changed && !text.empty()) {
        changed = false;
        const auto first = text.find_first_not_of(asciiWhitespace);
        text = first == std::string_view::npos ? std::string_view{} : text.substr(first);
        const auto last = text.find_last_not_of(asciiWhitespace);
        text = last == std::string_view::npos ? std::string_view{} : text.substr(0, last + 1);
        for (const auto space : wideWhitespace) {
            if (text.starts_with(space)) {
                text.remove_prefix(space.size());
                changed = true;
            }
            if (text.ends_with(space)) {
                text.remove_suffix(space.size());
                changed = true;
            }
        }
    }
    return text;
}

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
    const std::string address(trimmed(to));
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
