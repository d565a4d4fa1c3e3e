#include "platform/linux/child_process_run.h"
#include "platform/linux/sendmail_message_delivery.h"
#include "runtime/base64.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrio::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TemporaryDirectory;

constexpr const char* recipient = "me@example.com";
constexpr const char* endpoint = "203.0.113.7:59590";

// Connects to a loopback port; `port` 0 binds a free one instead and says which.
std::uint16_t loopback(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool done = port ? connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0
                           : bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                                 getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(fd);
    return done ? ntohs(address.sin_port) : 0;
}

// msmtp, as the sendmail program, pointed by a configuration of the test's own at a port where a
// real SMTP server on loopback (aiosmtpd) may file every mail it accepts into a Maildir.
class SendmailDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(directory_.path().empty());
        if (runChildProcess("/usr/bin/python3", {"-c", "import aiosmtpd"}, {}, 20s).exitStatus != 0 ||
            runChildProcess("msmtp", {"--version"}, {}, 20s).exitStatus != 0)
            GTEST_SKIP() << "needs msmtp and python3-aiosmtpd";
        port_ = loopback(0);
        ASSERT_NE(port_, 0);
        std::ofstream(configuration_) << "account default\nhost 127.0.0.1\nport " << port_
                                      << "\nauth off\ntls off\nfrom kestrio-test@example.org\ntimeout off\n";
        // msmtp refuses a configuration that others can read.
        chmod(configuration_.c_str(), 0600);
    }

    void TearDown() override
    {
        if (sink_ > 0)
            stopChildProcess(sink_, 10s);
    }

    // The Maildir must not exist beforehand: the handler sets up its folders only when it creates
    // the directory itself.
    void startSink()
    {
        sink_ = startChildProcess("/usr/bin/python3", {"-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + std::to_string(port_), "-c",
                                              "aiosmtpd.handlers.Mailbox", maildir_.string()});
        ASSERT_GT(sink_, 0);
        // The server gives no other sign of being ready than answering; Python takes a moment.
        const auto giveUp = std::chrono::steady_clock::now() + 20s;
        while (loopback(port_) == 0) {
            ASSERT_LT(std::chrono::steady_clock::now(), giveUp) << "aiosmtpd does not answer";
            std::this_thread::sleep_for(20ms);
        }
    }

    // The one mail the server has filed since the last call, taken out of the Maildir.
    std::string takeMail() const
    {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(maildir_ / "new", error)) {
            std::string mail = "\n" + test::readFile(entry.path());  // every header after a line end
            fs::remove(entry.path());
            return mail;
        }
        return {};
    }

    SendmailMessageDelivery delivery() const { return SendmailMessageDelivery("msmtp", {"-C", configuration_.string()}); }

    TemporaryDirectory directory_;
    fs::path configuration_ = directory_.path() / "msmtprc";
    fs::path maildir_ = directory_.path() / "mailbox";
    std::uint16_t port_ = 0;
    pid_t sink_ = -1;
};

TEST_F(SendmailDeliveryTest, MailsArriveWithTheirTextsExactAndNonAddressesGetNoMail)
{
    startSink();
    auto mailer = delivery();
    const std::string explanation = "Kestrio 주소가 변경되었습니다.\n아이폰 앱에 다음 메시지의 주소를 입력하면 외부에서 "
                                    "연결할 수 있습니다.\n.\nsaid \"hi\" \\ · ‑ \r\n  trailing  \n\n";
    EXPECT_EQ(mailer.probe("ignored"), std::nullopt);
    std::string messageID;
    for (const std::string& text : {explanation, std::string(endpoint)}) {
        const auto failure = mailer.deliver("ignored", recipient, text);
        ASSERT_FALSE(failure.has_value()) << failure->message;
        const std::string mail = takeMail();
        const auto bodyAt = mail.find("\n\n");
        ASSERT_NE(bodyAt, std::string::npos) << mail;
        // The sender comes from sendmail; the envelope recipient is what the server was given.
        for (const char* header : {"\nX-RcptTo: me@example.com\n", "\nTo: me@example.com\n", "\nSubject: Kestrio\n",
                                   "\nFrom: kestrio-test@example.org\n", "\nMIME-Version: 1.0\n",
                                   "\nContent-Type: text/plain; charset=UTF-8\n", "\nContent-Transfer-Encoding: base64\n",
                                   "\nDate: ", "\nMessage-ID: <"})
            EXPECT_NE(mail.find(header), std::string::npos) << header << " in\n" << mail;
        std::string body = mail.substr(bodyAt + 2);
        std::erase(body, '\n');
        EXPECT_EQ(runtime::base64Decode(body), text);
        const auto idAt = mail.find("\nMessage-ID: ") + 1;
        const auto id = mail.substr(idAt, mail.find('\n', idAt) - idAt);
        EXPECT_NE(id, messageID);
        messageID = id;
    }
    // Nothing reaches sendmail that it could take for an option or a second header.
    for (const char* address : {"me", "-X/tmp/log@example.com", "me@example.com\nBcc: x@example.net"}) {
        const auto failure = mailer.deliver("ignored", address, endpoint);
        ASSERT_TRUE(failure.has_value()) << address;
        EXPECT_FALSE(failure->message.empty());
    }
    EXPECT_EQ(takeMail(), "");
}

TEST_F(SendmailDeliveryTest, ARefusingServerFailsWithWhatSendmailSaid)
{
    // Nothing listens on the configured port: msmtp cannot connect and exits with 75.
    const auto failure = delivery().deliver("ignored", recipient, endpoint);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->kind, remote::MessageDeliveryFailure::Kind::failed);
    EXPECT_TRUE(failure->message.starts_with("msmtp:")) << failure->message;
    EXPECT_FALSE(failure->message.ends_with("\n")) << "trimmed";
}

TEST_F(SendmailDeliveryTest, ASendmailThatHangsIsKilledAtTheDeadline)
{
    // A server that takes the connection (the kernel does, from the backlog) and never greets:
    // without a network timeout of its own, msmtp would wait for ever.
    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address) | listen(silent, 4), 0);
    const auto started = std::chrono::steady_clock::now();
    const auto failure = SendmailMessageDelivery("msmtp", {"-C", configuration_.string()}, 300ms)
                             .deliver("ignored", recipient, endpoint);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s) << "the deadline given was not kept";
    close(silent);
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->message.find("did not finish"), std::string::npos) << failure->message;
}

TEST(SendmailDelivery, WhatIsAMailAddress)
{
    for (const char* address : {"me@example.com", "first.last+tag@mail.example.co.kr", "한국@example.com"})
        EXPECT_TRUE(SendmailMessageDelivery::isMailAddress(address)) << address;
    for (const char* address : {"", "me", "me@example", "@example.com", "me@", "me@@example.com", "a@b@example.com",
                                "me @example.com", "me@example.com ", "me@example.com\nBcc: x@example.net",
                                "me\t@example.com", "-X/tmp/log@example.com", "me@.example.com", "me@example.com.",
                                "<me@example.com>", "a,me@example.com", "\"me\"@example.com", "me@exa\x7Fmple.com"})
        EXPECT_FALSE(SendmailMessageDelivery::isMailAddress(address)) << address;
}

TEST(SendmailDelivery, TheProgramIsTheOneGivenOrKestrioSendmailsAndMustBeThere)
{
    TemporaryDirectory directory;
    const fs::path notExecutable = directory.path() / "sendmail";
    std::ofstream(notExecutable) << "#!/bin/sh\nexit 0\n";
    chmod(notExecutable.c_str(), 0644);
    test::ScopedEnvironment restore("KESTRIO_SENDMAIL", std::getenv("KESTRIO_SENDMAIL"));
    const std::pair<std::string, bool> cases[] = {
        {"/bin/true", true}, {"true", true}, {(directory.path() / "missing").string(), false},
        {notExecutable.string(), false}, {directory.path().string(), false}, {"kestrio-no-such-sendmail", false}};
    for (const auto& [program, usable] : cases) {
        EXPECT_EQ(SendmailMessageDelivery(program).probe("ignored").has_value(), !usable) << program;
        // A program KESTRIO_SENDMAIL names that is not there is a failure, not a reason to fall back.
        setenv("KESTRIO_SENDMAIL", program.c_str(), 1);
        EXPECT_EQ(SendmailMessageDelivery().probe("ignored").has_value(), !usable) << program;
        EXPECT_EQ(SendmailMessageDelivery().deliver("ignored", recipient, "x").has_value(), !usable) << program;
    }
    // A sendmail that says nothing fails with its status.
    setenv("KESTRIO_SENDMAIL", "/bin/false", 1);
    const auto failure = SendmailMessageDelivery().deliver("ignored", recipient, "x");
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->message, "/bin/false exited with status 1");
}

}  // namespace
}  // namespace kestrio::platform
