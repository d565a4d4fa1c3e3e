#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrio::remote {

// Why the address notification could not be sent. The model shows one permission text for every
// case; description() is for anyone who needs the detail.
struct MessagesNotifierError {
    enum class Kind { scriptFailed, emptyAddress, scriptCreationFailed } kind = Kind::scriptFailed;
    std::string message;  // scriptFailed: what the platform said went wrong

    std::string description() const;
};

// What the platform's part reports when it could not run a script or deliver a message.
struct MessageDeliveryFailure {
    enum class Kind {
        failed,          // ran (or tried to) and did not succeed
        unusableScript,  // the script source cannot even be handed to the runner
    } kind = Kind::failed;
    std::string message;  // may be empty when the platform gave no reason
};

// The platform's part of the notification. Where the scripts can be run as they are, both calls
// run `scriptSource`; elsewhere the delivery acts on what the script means: probe() checks that
// sending is possible at all, deliver() sends `text` to `recipient` by whatever transport the
// platform has. Several notifications may be under way at once, so both calls must be safe to
// make from several threads. They block until the platform is done (within a bounded time).
class MessageDelivery {
public:
    virtual ~MessageDelivery() = default;

    // Fails exactly when sending is impossible for lack of permission or access.
    virtual std::optional<MessageDeliveryFailure> probe(const std::string& scriptSource) = 0;
    // `recipient` is already trimmed and not empty; `text` is sent as it is.
    virtual std::optional<MessageDeliveryFailure> deliver(const std::string& scriptSource, const std::string& recipient,
                                                          const std::string& text) = 0;
};

// Sends texts to the user's own Apple ID / iMessage address. Holds no state of its own: any
// number of threads may use one notifier at once, as far as the delivery allows.
class MessagesNotifier {
public:
    static constexpr std::string_view addressChangedMessage =
        "Kestrio 주소가 변경되었습니다.\n아이폰 앱에 다음 메시지의 주소를 입력하면 외부에서 연결할 수 있습니다.";
    static constexpr std::string_view accessProbeScript = "tell application \"Messages\"\n    get name\nend tell";
    static constexpr std::string_view sendScriptFirstPiece =
        "tell application \"Messages\"\n"
        "    set targetAccount to first account whose service type is iMessage and enabled is true\n"
        "    set targetParticipant to participant ";
    static constexpr std::string_view sendScriptMiddlePiece = " of targetAccount\n    send ";
    static constexpr std::string_view sendScriptLastPiece = " to targetParticipant\nend tell";
    // Stands in for a platform failure that came without a reason.
    static constexpr std::string_view genericFailureText = "메시지 앱으로 보낼 수 없습니다.";

    explicit MessagesNotifier(std::shared_ptr<MessageDelivery> delivery);

    // `text` as an AppleScript string literal, quotes included.
    static std::string appleScriptLiteral(std::string_view text);

    // Sends `message` (as it is) to `to` (trimmed of white space and line breaks first). A blank
    // address fails with emptyAddress before anything is run.
    std::optional<MessagesNotifierError> send(const std::string& message, const std::string& to) const;
    // Runs a script that carries no message, such as accessProbeScript; where scripts cannot
    // be run as they are, this only checks that sending is possible.
    std::optional<MessagesNotifierError> runAppleScript(const std::string& source) const;

private:
    std::shared_ptr<MessageDelivery> delivery_;
};

}  // namespace kestrio::remote
