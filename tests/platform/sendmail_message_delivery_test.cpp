#include "platform/os/sendmail_message_delivery.h"
#include "platform/platform_test.h"
#include "runtime/base64.h"

#include <arpa/inet.h>

namespace kestrio::platform::os {
namespace {

constexpr const char* recipient = "me@example.com";

// msmtp as the sendmail program, pointed by a configuration of the test's own at a loopback port
// where nothing listens, then nothing answers, then a real SMTP server files what it accepts.
TEST(SendmailDeliveryTest, FailsWithWhatSendmailSaidOrAtTheDeadlineAndMailsArriveWithTheirTextsExact)
{
    test::TemporaryDirectory directory;
    const fs::path configuration = directory.path() / "msmtprc", maildir = directory.path() / "mailbox";
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length) |
                  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    std::ofstream(configuration) << "account default\nhost 127.0.0.1\nport " << port
                                 << "\nauth off\ntls off\nfrom kestrio-test@example.org\ntimeout off\n";
    fs::permissions(configuration, fs::perms::owner_read | fs::perms::owner_write);  // or msmtp refuses it
    SendmailMessageDelivery mailer("msmtp", {"-C", configuration.string()}, 2s);

    const auto refused = mailer.deliver(recipient, "x");
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->kind, remote::MessageDeliveryFailure::Kind::failed);
    EXPECT_TRUE(refused->message.starts_with("msmtp:") && !refused->message.ends_with("\n")) << refused->message;
    // The kernel takes the connection from the backlog and nothing ever greets: without a network
    // timeout of its own, msmtp would wait for ever.
    ASSERT_EQ(listen(listener, 4), 0);
    const auto started = std::chrono::steady_clock::now();
    const auto silent = mailer.deliver(recipient, "x");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "the deadline given was not kept";
    ASSERT_TRUE(silent.has_value());
    EXPECT_NE(silent->message.find("did not finish"), std::string::npos) << silent->message;
    close(listener);

    const testing::ChildStopper stop{startChildProcess("/usr/bin/python3", {"-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + port,
                                                                            "-c", "aiosmtpd.handlers.Mailbox", maildir.string()})};
    const auto takeMail = [&] {
        std::string mail;
        for (const auto& entry : fs::directory_iterator(maildir / "new"))
            mail = "\n" + readFile(entry.path()), fs::remove(entry.path());
        return mail;
    };
    std::string previousID;
    for (const std::string text : {"Kestrio 주소가 변경되었습니다.\n.\nsaid \"hi\" \\ · ‑ \r\n  trailing  \n\n", "203.0.113.7:59590"}) {
        // Refused until the server listens.
        ASSERT_TRUE(testing::eventually([&] { return !mailer.deliver(recipient, text); }));
        const std::string mail = takeMail();
        // The sender comes from sendmail; the envelope recipient is what the server was given.
        for (const char* header : {"\nX-RcptTo: me@example.com\n", "\nTo: me@example.com\n", "\nSubject: Kestrio\n",
                                   "\nFrom: kestrio-test@example.org\n", "\nMIME-Version: 1.0\n",
                                   "\nContent-Type: text/plain; charset=UTF-8\n", "\nContent-Transfer-Encoding: base64\n",
                                   "\nDate: ", "\nMessage-ID: <"})
            EXPECT_NE(mail.find(header), std::string::npos) << header << " in\n" << mail;
        std::string body = mail.substr(mail.find("\n\n") + 2);
        std::erase(body, '\n');
        EXPECT_EQ(runtime::base64Decode(body), text);
        const auto idAt = mail.find("\nMessage-ID: ");
        EXPECT_NE(mail.substr(idAt, mail.find('\n', idAt + 1) - idAt), previousID);
        previousID = mail.substr(idAt, mail.find('\n', idAt + 1) - idAt);
    }
    // Nothing reaches sendmail but one plain address: no option, second header or list.
    for (const char* address : {"first.last+tag@mail.example.co.kr", "한국@example.com"})
        EXPECT_TRUE(SendmailMessageDelivery::isMailAddress(address)) << address;
    for (const char* address : {"", "me", "me@example", "@example.com", "me@", "me@@example.com", "a@b@example.com",
                                "me @example.com", "me@example.com ", "me@example.com\nBcc: x@example.net",
                                "me\t@example.com", "-X/tmp/log@example.com", "me@.example.com", "me@example.com.",
                                "<me@example.com>", "a,me@example.com", "\"me\"@example.com", "me@exa\x7Fmple.com"})
        EXPECT_TRUE(mailer.deliver(address, "x").has_value()) << address;
    EXPECT_EQ(takeMail(), "");
}

// A program KESTRIO_SENDMAIL names that is not there is a failure, not a reason to fall back.
TEST(SendmailDelivery, TheProgramIsTheOneGivenOrKestrioSendmailsAndMustBeThere)
{
    test::TemporaryDirectory directory;
    std::ofstream(directory.path() / "sendmail") << "#!/bin/sh\n";
    test::ScopedEnvironment restore("KESTRIO_SENDMAIL", std::getenv("KESTRIO_SENDMAIL"));
    for (const auto& [program, usable] : {std::pair<std::string, bool>{"/bin/true", true}, {"true", true},
                                          {(directory.path() / "sendmail").string(), false},
                                          {directory.path().string(), false}, {"kestrio-no-such-sendmail", false}}) {
        EXPECT_EQ(SendmailMessageDelivery(program).probe().has_value(), !usable) << program;
        setenv("KESTRIO_SENDMAIL", program.c_str(), 1);
        EXPECT_EQ(SendmailMessageDelivery().deliver(recipient, "x").has_value(), !usable) << program;
    }
    setenv("KESTRIO_SENDMAIL", "/bin/false", 1);
    EXPECT_EQ(SendmailMessageDelivery().deliver(recipient, "x")->message, "/bin/false exited with status 1");
}

}  // namespace
}  // namespace kestrio::platform::os
