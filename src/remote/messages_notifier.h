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

// What the platform's part reports when it could not deliver a message or check that it can.
struct MessageDeliveryFailure {
    enum class Kind {
        failed,          // tried and did not succeed
        unusableScript,  // what the platform would run for the message cannot even be made
    } kind = Kind::failed;
    std::string message;  // may be empty when the platform gave no reason
};

// The platform's part of the notification: probe() checks that sending is possible at all,
// deliver() sends `text` to `recipient` as one message by whatever transport the platform has.
// Several notifications may be under way at once, so both calls must be safe to make from
// several threads. They block until the platform is done (within a bounded time).
class MessageDelivery {
public:
    virtual ~MessageDelivery() = default;

    // Fails exactly when sending is impossible for lack of permission or access.
    virtual std::optional<MessageDeliveryFailure> probe() = 0;
    // `recipient` is already trimmed and not empty; `text` is sent as it is.
    virtual std::optional<MessageDeliveryFailure> deliver(const std::string& recipient, const std::string& text) = 0;
};

// Sends texts to the user's own address. Holds no state of its own: any number of threads may
// use one notifier at once, as far as the delivery allows.
class MessagesNotifier {
public:
    static constexpr std::string_view addressChangedMessage =
        "Kestrio 주소가 변경되었습니다.\n아이폰 앱에 다음 메시지의 주소를 입력하면 외부에서 연결할 수 있습니다.";
    // Stands in for a platform failure that came without a reason.
    static constexpr std::string_view genericFailureText = "메시지 앱으로 보낼 수 없습니다.";

    explicit MessagesNotifier(std::shared_ptr<MessageDelivery> delivery);

    // Sends `message` (as it is) to `to` (trimmed of white space and line breaks first). A blank
    // address fails with emptyAddress before the delivery is asked.
    std::optional<MessagesNotifierError> send(const std::string& message, const std::string& to) const;
    // Checks, sending nothing, that messages can be sent at all.
    std::optional<MessagesNotifierError> probeAccess() const;

private:
    std::shared_ptr<MessageDelivery> delivery_;
};

}  // namespace kestrio::remote
