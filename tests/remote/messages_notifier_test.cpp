#include "remote/messages_notifier.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrio::remote {
namespace {

// Records every call and answers with a failure chosen by the test.
class RecordingDelivery final : public MessageDelivery {
public:
    std::optional<MessageDeliveryFailure> probe(const std::string& scriptSource) override
    {
        scripts.push_back(scriptSource);
        return answer;
    }
    std::optional<MessageDeliveryFailure> deliver(const std::string& scriptSource, const std::string& recipient,
                                                  const std::string& text) override
    {
        scripts.push_back(scriptSource);
        recipients.push_back(recipient);
        texts.push_back(text);
        return answer;
    }

    std::vector<std::string> scripts, recipients, texts;
    std::optional<MessageDeliveryFailure> answer;
};

TEST(MessagesNotifier, LiteralEscapesBackslashesFirstThenQuotesAndControlCharacters)
{
    // A backslash before a quote: doubling the backslash must not also swallow the quote's escape.
    EXPECT_EQ(MessagesNotifier::appleScriptLiteral("a\\\"b"), "\"a\\\\\\\"b\"");
    EXPECT_EQ(MessagesNotifier::appleScriptLiteral("1\r\n2\t3 주소"), "\"1\\r\\n2\\t3 주소\"");
}

TEST(MessagesNotifier, SendHandsOverTheTrimmedAddressAndTheTextAsItIs)
{
    auto delivery = std::make_shared<RecordingDelivery>();
    const MessagesNotifier notifier(delivery);

    EXPECT_EQ(notifier.send(" 203.0.113.7:59590\n", "\u00A0me@example.com\u3000\r\n"), std::nullopt);
    EXPECT_EQ(delivery->scripts, std::vector<std::string>{"tell application \"Messages\"\n"
                                                          "    set targetAccount to first account whose service type is "
                                                          "iMessage and enabled is true\n"
                                                          "    set targetParticipant to participant \"me@example.com\" of "
                                                          "targetAccount\n"
                                                          "    send \" 203.0.113.7:59590\\n\" to targetParticipant\n"
                                                          "end tell"});
    EXPECT_EQ(delivery->recipients, std::vector<std::string>{"me@example.com"});
    EXPECT_EQ(delivery->texts, std::vector<std::string>{" 203.0.113.7:59590\n"});

    const auto error = notifier.send("203.0.113.7:59590", " \t\u00A0\u2028");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description(), "iMessage 주소를 입력하세요.");
    EXPECT_EQ(delivery->scripts.size(), 1u);
}

TEST(MessagesNotifier, DeliveryFailuresBecomeNotifierErrorsWithTheirDetail)
{
    using Failure = MessageDeliveryFailure;
    using Error = MessagesNotifierError;
    auto delivery = std::make_shared<RecordingDelivery>();
    const MessagesNotifier notifier(delivery);
    for (const auto& [failure, kind] : {std::pair{Failure{Failure::Kind::failed, "Not authorised (-1743)"}, Error::Kind::scriptFailed},
                                        std::pair{Failure{Failure::Kind::unusableScript, "ignored"}, Error::Kind::scriptCreationFailed}}) {
        delivery->answer = failure;
        for (const auto& error : {notifier.runAppleScript(std::string(MessagesNotifier::accessProbeScript)),
                                  notifier.send("203.0.113.7:59590", "me@example.com")}) {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->kind, kind);
            EXPECT_EQ(error->description() == failure.message, kind == Error::Kind::scriptFailed);
        }
    }
}

}  // namespace
}  // namespace kestrio::remote
