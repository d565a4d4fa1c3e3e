#include "platform/macos/messages_script.h"

namespace kestrio::platform::macos {

std::string MessagesScript::send(std::string_view recipient, std::string_view text)
{
    std::string script(sendFirstPiece);
    script += literal(recipient);
    script += sendMiddlePiece;
    script += literal(text);
    script += sendLastPiece;
    return script;
}

std::string MessagesScript::literal(std::string_view text)
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

}  // namespace kestrio::platform::macos
