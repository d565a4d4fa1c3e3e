#pragma once

#include <string>
#include <string_view>

namespace kestrio::platform::macos {

// The AppleScript that drives the Messages application for the address notification.
struct MessagesScript {
    // Asks Messages for its name: the first time, macOS asks the user whether Kestrio may control
    // Messages, and a refusal makes the script fail.
    static constexpr std::string_view accessProbe = "tell application \"Messages\"\n    get name\nend tell";
    // A send script is the first piece, the recipient's literal, the middle piece, the text's
    // literal and the last piece.
    static constexpr std::string_view sendFirstPiece =
        "tell application \"Messages\"\n"
        "    set targetAccount to first account whose service type is iMessage and enabled is true\n"
        "    set targetParticipant to participant ";
    static constexpr std::string_view sendMiddlePiece = " of targetAccount\n    send ";
    static constexpr std::string_view sendLastPiece = " to targetParticipant\nend tell";

    // Sends `text` as it is to `recipient` through the first enabled iMessage account.
    static std::string send(std::string_view recipient, std::string_view text);
    // `text` as an AppleScript string literal, quotes included.
    static std::string literal(std::string_view text);
};

}  // namespace kestrio::platform::macos
