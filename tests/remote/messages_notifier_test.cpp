#include "remote/messages_notifier.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrio::remote {
namespace {

// Stands in for the platform: records every call and answers with a failure chosen by the test.
class RecordingDelivery final : public MessageDelivery {
public:
    struct Call {
        std::string kind;
        std::string script;
        std::string recipient;
        std::string text;
    };

    std::optional<MessageDeliveryFailure> probe(const std::string& scriptSource) override
    {
        calls.push_back({"probe", scriptSource, {}, {}});
        return answer;
    }
    std::optional<MessageDeliveryFailure> deliver(const std::string& scriptSource, const std::string& recipient,
                                                  const std::string& text) override
    {
        calls.push_back({"deliver", scriptSource, recipient, text});
        return answer;
    }

    std::vector<Call> calls;
    std::optional<MessageDeliveryFailure> answer;
};

TEST(MessagesNotifier, LiteralEscapesBackslashesFirstThenQuotesAndControlCharacters)
{
    EXPECT_EQ(MessagesNotifier::appleScriptLiteral(""), "\"\"");
    EXPECT_EQ(MessagesNotifier::appleScriptLiteral("203.0.113.7:59590"), "\"203.0.113.7:59590\"");
    // A backslash before a quote: doubling the backslash must not also swallow the quote's escape.
    EXPECT_EQ(MessagesNotifier::appleScriptLiteral("a\\\"b"), "\"a\\\\\\\"b\"");
    EXPECT_EQ(MessagesNotifier::appleScriptLiteral("\\n"), "\"\\\\n\"") << "a written-out \\n is not a line feed";
    EXPECT_EQ(MessagesNotifier::appleScriptLiteral("1\r\n2\t3"), "\"1\\r\\n2\\t3\"");
    // Everything else, UTF-8 included, goes through untouched.
    EXPECT_EQ(MessagesNotifier::appleScriptLiteral("주소 · ‑ 'x' $y"), "\"주소 · ‑ 'x' $y\"");
}

TEST(MessagesNotifier, SendBuildsTheScriptAndHandsOverTrimmedAddressAndUntrimmedText)
{
    auto delivery = std::make_shared<RecordingDelivery>();
    const MessagesNotifier notifier(delivery);

    EXPECT_EQ(notifier.send(std::string(MessagesNotifier::addressChangedMessage), " \tme@example.com\r\n"), std::nullopt);
    EXPECT_EQ(notifier.send(" 203.0.113.7:59590\n", "\u00A0me@example.com\u3000"), std::nullopt);

    ASSERT_EQ(delivery->calls.size(), 2u);
    EXPECT_EQ(delivery->calls[0].kind, "deliver");
    EXPECT_EQ(delivery->calls[0].script,
              "tell application \"Messages\"\n"
              "    set targetAccount to first account whose service type is iMessage and enabled is true\n"
              "    set targetParticipant to participant \"me@example.com\" of targetAccount\n"
              "    send \"Kestrio 주소가 변경되었습니다.\\n아이폰 앱에 다음 메시지의 주소를 입력하면 외부에서 연결할 수 "
              "있습니다.\" to targetParticipant\n"
              "end tell");
    EXPECT_EQ(delivery->calls[0].recipient, "me@example.com");
    EXPECT_EQ(delivery->calls[0].text,
              "Kestrio 주소가 변경되었습니다.\n아이폰 앱에 다음 메시지의 주소를 입력하면 외부에서 연결할 수 있습니다.");

    EXPECT_EQ(delivery->calls[1].script,
              "tell application \"Messages\"\n"
              "    set targetAccount to first account whose service type is iMessage and enabled is true\n"
              "    set targetParticipant to participant \"me@example.com\" of targetAccount\n"
              "    send \" 203.0.113.7:59590\\n\" to targetParticipant\n"
              "end tell");
    EXPECT_EQ(delivery->calls[1].recipient, "me@example.com") << "no-break and ideographic spaces are trimmed too";
    EXPECT_EQ(delivery->calls[1].text, " 203.0.113.7:59590\n") << "the message is sent as it is";
}

TEST(MessagesNotifier, BlankAddressFailsWithoutReachingTheDelivery)
{
    auto delivery = std::make_shared<RecordingDelivery>();
    const MessagesNotifier notifier(delivery);

    for (const std::string address : {"", "   ", " \t\r\n\v\f", "\u00A0\u2028\u3000"}) {
        const auto error = notifier.send("203.0.113.7:59590", address);
        ASSERT_TRUE(error.has_value()) << "address: \"" << address << "\"";
        EXPECT_EQ(error->kind, MessagesNotifierError::Kind::emptyAddress);
        EXPECT_EQ(error->description(), "iMessage 주소를 입력하세요.");
    }
    EXPECT_TRUE(delivery->calls.empty());
}

TEST(MessagesNotifier, ProbeRunsTheScriptAsGiven)
{
    auto delivery = std::make_shared<RecordingDelivery>();
    const MessagesNotifier notifier(delivery);

    EXPECT_EQ(notifier.runAppleScript(std::string(MessagesNotifier::accessProbeScript)), std::nullopt);
    ASSERT_EQ(delivery->calls.size(), 1u);
    EXPECT_EQ(delivery->calls[0].kind, "probe");
    EXPECT_EQ(delivery->calls[0].script, "tell application \"Messages\"\n    get name\nend tell");
}

TEST(MessagesNotifier, DeliveryFailuresBecomeNotifierErrors)
{
    auto delivery = std::make_shared<RecordingDelivery>();
    const MessagesNotifier notifier(delivery);
    const auto bothWays = [&] {
        return std::vector<std::optional<MessagesNotifierError>>{
            notifier.runAppleScript(std::string(MessagesNotifier::accessProbeScript)),
            notifier.send("203.0.113.7:59590", "me@example.com")};
    };

    delivery->answer = MessageDeliveryFailure{MessageDeliveryFailure::Kind::failed,
                                              "Not authorised to send Apple events to Messages. (-1743)"};
    for (const auto& error : bothWays()) {
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind, MessagesNotifierError::Kind::scriptFailed);
        EXPECT_EQ(error->description(), "Not authorised to send Apple events to Messages. (-1743)");
    }

    // A failure the platform gave no reason for still has something to say.
    delivery->answer = MessageDeliveryFailure{MessageDeliveryFailure::Kind::failed, ""};
    for (const auto& error : bothWays()) {
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind, MessagesNotifierError::Kind::scriptFailed);
        EXPECT_EQ(error->message, "메시지 앱으로 보낼 수 없습니다.");
        EXPECT_EQ(error->description(), "메시지 앱으로 보낼 수 없습니다.");
    }

    delivery->answer = MessageDeliveryFailure{MessageDeliveryFailure::Kind::unusableScript, "ignored"};
    for (const auto& error : bothWays()) {
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind, MessagesNotifierError::Kind::scriptCreationFailed);
        EXPECT_EQ(error->description(), "메시지 자동화 스크립트를 만들 수 없습니다.");
    }
}

}  // namespace
}  // namespace kestrio::remote
