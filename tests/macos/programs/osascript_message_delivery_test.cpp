// The address notification through Messages, with a stand-in for osascript.
#include "platform/macos/messages_script.h"
#include "platform/macos/osascript_message_delivery.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

namespace kestrio::platform::macos {
namespace {

using namespace std::chrono_literals;
using Kind = remote::MessageDeliveryFailure::Kind;

TEST(OsascriptMessageDelivery, RunsTheProbeOrTheSendScriptAndSaysWhatFailed)
{
    test::TemporaryDirectory directory;
    const auto tool = directory.path() / "osascript";
    const auto arguments = directory.path() / "arguments";
    OsascriptMessageDelivery delivery(tool.string(), 2s);
    struct Case {
        std::string body;  // of the stand-in, after it has written down its arguments
        std::optional<std::string> text;  // none: the probe
        std::optional<std::pair<Kind, std::string>> failure;
    };
    const Case cases[] = {
        {"exit 0", std::nullopt, std::nullopt},
        {"exit 0", "hi \"you\"\n", std::nullopt},
        {"echo '  execution error: Not authorised (-1743)' >&2\nexit 1", "hi", std::pair{Kind::failed, "execution error: Not authorised (-1743)"}},
        {"exec sleep 10", std::nullopt, std::pair{Kind::failed, ""}},
        {"exit 0", std::string("a\0b", 3), std::pair{Kind::unusableScript, ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        std::ofstream(tool) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << arguments.string() << "'\n" << c.body << "\n";
        chmod(tool.c_str(), 0755);
        std::filesystem::remove(arguments);
        const auto failure = c.text ? delivery.deliver("me@example.com", *c.text) : delivery.probe();
        EXPECT_EQ(failure ? std::optional(std::pair{failure->kind, failure->message}) : std::nullopt, c.failure);
        const bool runnable = !c.failure || c.failure->first != Kind::unusableScript;
        const std::string script = c.text ? MessagesScript::send("me@example.com", *c.text) : std::string(MessagesScript::accessProbe);
        EXPECT_EQ(test::readFile(arguments), runnable ? "-e\n" + script + "\n" : "");
    }
}

}  // namespace
}  // namespace kestrio::platform::macos
