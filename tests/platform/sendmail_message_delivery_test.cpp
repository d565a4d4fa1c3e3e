#include "platform/linux/sendmail_message_delivery.h"
#include "support/test_support.h"

#include "runtime/base64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace kestrio::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* python = "/usr/bin/python3";
constexpr const char* recipient = "me@example.com";

using test::ScopedEnvironment;
using test::TemporaryDirectory;

std::string findOnPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream directories(path ? path : "/usr/bin:/bin");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        const fs::path candidate = fs::path(directory) / name;
        if (!directory.empty() && access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    return {};
}

bool aiosmtpdAvailable()
{
    if (access(python, X_OK) != 0)
        return false;
    pid_t pid = -1;
    char* argv[] = {const_cast<char*>(python), const_cast<char*>("-c"), const_cast<char*>("import aiosmtpd"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const bool started = posix_spawn(&pid, python, &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return started && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A loopback port that was free a moment ago.
std::uint16_t freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool answersOn(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

struct Mail {
    std::multimap<std::string, std::string> headers;
    std::string body;  // as stored, transfer encoding and all
};

Mail parseMail(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    Mail mail;
    std::string line;
    while (std::getline(in, line) && !line.empty()) {
        const auto colon = line.find(':');
        if (colon != std::string::npos)
            mail.headers.emplace(line.substr(0, colon), line.substr(std::min(line.size(), colon + 2)));
    }
    while (std::getline(in, line))
        mail.body += line;
    return mail;
}

std::string header(const Mail& mail, const std::string& name)
{
    EXPECT_EQ(mail.headers.count(name), 1u) << name;
    const auto found = mail.headers.find(name);
    return found == mail.headers.end() ? std::string() : found->second;
}

// A real SMTP server on loopback (aiosmtpd) that files every mail it accepts into a Maildir, and
// msmtp, as the sendmail program, pointed at it by a configuration of the test's own.
class SendmailDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        msmtp_ = findOnPath("msmtp");
        if (msmtp_.empty())
            GTEST_SKIP() << "msmtp is not installed";
        if (!aiosmtpdAvailable())
            GTEST_SKIP() << "python3-aiosmtpd is not installed";
        ASSERT_FALSE(directory_.path().empty());
        port_ = freePort();
        ASSERT_NE(port_, 0);
        writeConfiguration(port_);
    }

    void TearDown() override
    {
        if (sink_ > 0) {
            kill(sink_, SIGTERM);
            int status = 0;
            while (waitpid(sink_, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }

    void writeConfiguration(std::uint16_t port)
    {
        configuration_ = directory_.path() / "msmtprc";
        std::ofstream out(configuration_);
        out << "account default\nhost 127.0.0.1\nport " << port
            << "\nauth off\ntls off\nfrom kestrio-test@example.org\ntimeout off\n";
        out.close();
        // msmtp refuses a configuration that others can read.
        chmod(configuration_.c_str(), 0600);
    }

    void startSink()
    {
        const std::string listen = "127.0.0.1:" + std::to_string(port_);
        const std::string log = (directory_.path() / "sink.log").string();
        const std::string box = maildir().string();
        char* argv[] = {const_cast<char*>(python),   const_cast<char*>("-m"),
                        const_cast<char*>("aiosmtpd"), const_cast<char*>("-n"),
                        const_cast<char*>("-l"),       const_cast<char*>(listen.c_str()),
                        const_cast<char*>("-c"),       const_cast<char*>("aiosmtpd.handlers.Mailbox"),
                        const_cast<char*>(box.c_str()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const int started = posix_spawn(&sink_, python, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(started, 0);
        // The server gives no other sign of being ready than answering; Python takes a moment.
        const auto giveUp = std::chrono::steady_clock::now() + 20s;
        while (!answersOn(port_)) {
            int status = 0;
            ASSERT_NE(waitpid(sink_, &status, WNOHANG), sink_) << "aiosmtpd ended; see " << log;
            ASSERT_LT(std::chrono::steady_clock::now(), giveUp) << "aiosmtpd does not answer; see " << log;
            poll(nullptr, 0, 20);
        }
    }

    // The Maildir must not exist beforehand: the handler sets up its folders only when it
    // creates the directory itself.
    fs::path maildir() const { return directory_.path() / "mailbox"; }

    // The mails received, in the order the server took them.
    std::vector<Mail> receivedMails() const
    {
        std::vector<std::pair<long, fs::path>> files;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(maildir() / "new", error)) {
            // Python's Maildir names its files "<time>.M<usec>P<pid>Q<count>.<host>"; the count
            // goes up by one with every mail this server files.
            const std::string name = entry.path().filename().string();
            const auto q = name.find('Q', name.find('P'));
            files.emplace_back(std::strtol(name.c_str() + q + 1, nullptr, 10), entry.path());
        }
        std::sort(files.begin(), files.end());
        std::vector<Mail> mails;
        for (const auto& [count, file] : files)
            mails.push_back(parseMail(file));
        return mails;
    }

    SendmailMessageDelivery delivery(std::chrono::milliseconds timeout = SendmailMessageDelivery::defaultTimeout) const
    {
        return SendmailMessageDelivery(msmtp_, {"-C", configuration_.string()}, timeout);
    }

    TemporaryDirectory directory_;
    std::string msmtp_;
    fs::path configuration_;
    std::uint16_t port_ = 0;
    pid_t sink_ = -1;
};

TEST_F(SendmailDeliveryTest, MailsArriveInOrderWithTheirTextsExact)
{
    startSink();
    auto mailer = delivery();
    const std::string explanation = "Kestrio 주소가 변경되었습니다.\n아이폰 앱에 다음 메시지의 주소를 입력하면 외부에서 "
                                    "연결할 수 있습니다.\n.\nsaid \"hi\" \\ · ‑ \r\n  trailing  \n\n";
    const std::string endpoint = "203.0.113.7:59590";

    EXPECT_EQ(mailer.probe("ignored"), std::nullopt);
    const auto first = mailer.deliver("ignored", recipient, explanation);
    EXPECT_FALSE(first.has_value()) << first->message;
    const auto second = mailer.deliver("ignored", recipient, endpoint);
    EXPECT_FALSE(second.has_value()) << second->message;

    const std::vector<Mail> mails = receivedMails();
    ASSERT_EQ(mails.size(), 2u);
    const std::string texts[] = {explanation, endpoint};
    for (std::size_t i = 0; i < 2; ++i) {
        const Mail& mail = mails[i];
        EXPECT_EQ(header(mail, "X-RcptTo"), recipient) << "envelope recipient";
        EXPECT_EQ(header(mail, "To"), recipient);
        EXPECT_EQ(header(mail, "Subject"), "Kestrio");
        EXPECT_EQ(header(mail, "From"), "kestrio-test@example.org") << "filled in by sendmail";
        EXPECT_EQ(header(mail, "MIME-Version"), "1.0");
        EXPECT_EQ(header(mail, "Content-Type"), "text/plain; charset=UTF-8");
        EXPECT_EQ(header(mail, "Content-Transfer-Encoding"), "base64");
        EXPECT_FALSE(header(mail, "Date").empty());
        EXPECT_TRUE(header(mail, "Message-ID").starts_with("<"));
        EXPECT_EQ(runtime::base64Decode(mail.body), texts[i]);
    }
    EXPECT_NE(header(mails[0], "Message-ID"), header(mails[1], "Message-ID"));
}

TEST_F(SendmailDeliveryTest, NonAddressesAreRefusedWithoutRunningSendmail)
{
    for (const char* address : {"me@example.com", "first.last+tag@mail.example.co.kr", "한국@example.com"})
        EXPECT_TRUE(SendmailMessageDelivery::isMailAddress(address)) << address;
    for (const char* address : {"", "me", "me@example", "@example.com", "me@", "me@@example.com", "a@b@example.com",
                                "me @example.com", "me@example.com ", "me@example.com\nBcc: x@example.net",
                                "me\t@example.com", "-X/tmp/log@example.com", "me@.example.com", "me@example.com.",
                                "<me@example.com>", "a,me@example.com", "\"me\"@example.com", "me@exa\x7Fmple.com"})
        EXPECT_FALSE(SendmailMessageDelivery::isMailAddress(address)) << address;

    startSink();
    auto mailer = delivery();
    for (const char* address : {"me", "-X/tmp/log@example.com", "me@example.com\nBcc: x@example.net"}) {
        const auto failure = mailer.deliver("ignored", address, "203.0.113.7:59590");
        ASSERT_TRUE(failure.has_value()) << address;
        EXPECT_FALSE(failure->message.empty());
    }
    EXPECT_TRUE(receivedMails().empty());
}

TEST_F(SendmailDeliveryTest, ARefusingServerFailsWithWhatSendmailSaid)
{
    // Nothing listens on the configured port: msmtp cannot connect and exits with 75.
    const auto failure = delivery().deliver("ignored", recipient, "203.0.113.7:59590");
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->kind, remote::MessageDeliveryFailure::Kind::failed);
    EXPECT_TRUE(failure->message.starts_with("msmtp:")) << failure->message;
    EXPECT_EQ(failure->message.find('\n', failure->message.size() - 1), std::string::npos) << "trimmed";
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
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(silent, 4), 0);

    const auto failure = delivery(300ms).deliver("ignored", recipient, "203.0.113.7:59590");
    close(silent);
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->message.find("did not finish"), std::string::npos) << failure->message;
}

TEST(SendmailDelivery, ProbeFailsExactlyWhenThereIsNoProgramToRun)
{
    TemporaryDirectory directory;
    const fs::path notExecutable = directory.path() / "sendmail";
    std::ofstream(notExecutable) << "#!/bin/sh\nexit 0\n";
    chmod(notExecutable.c_str(), 0644);

    for (const std::string& program : {(directory.path() / "missing").string(), notExecutable.string(),
                                      directory.path().string(), std::string("kestrio-no-such-sendmail")}) {
        SendmailMessageDelivery mailer(program);
        const auto failure = mailer.probe("ignored");
        ASSERT_TRUE(failure.has_value()) << program;
        EXPECT_FALSE(failure->message.empty());
        EXPECT_TRUE(mailer.deliver("ignored", recipient, "x").has_value()) << program;
    }

    EXPECT_EQ(SendmailMessageDelivery("/bin/true").probe("ignored"), std::nullopt);
    EXPECT_EQ(SendmailMessageDelivery("true").probe("ignored"), std::nullopt) << "looked up on PATH";
    if (access("/usr/sbin/sendmail", X_OK) == 0 || access("/usr/lib/sendmail", X_OK) == 0) {
        EXPECT_EQ(SendmailMessageDelivery().probe("ignored"), std::nullopt) << "the system's sendmail";
    }

    // KESTRIO_SENDMAIL names the program in place of the system's; one that is not there is a
    // failure, not a reason to fall back on the system's.
    ScopedEnvironment restore("KESTRIO_SENDMAIL", std::getenv("KESTRIO_SENDMAIL"));
    for (const auto& [program, usable] : std::vector<std::pair<std::string, bool>>{
             {"/bin/true", true}, {"true", true}, {(directory.path() / "missing").string(), false},
             {notExecutable.string(), false}, {"kestrio-no-such-sendmail", false}}) {
        setenv("KESTRIO_SENDMAIL", program.c_str(), 1);
        EXPECT_EQ(SendmailMessageDelivery().probe("ignored").has_value(), !usable) << program;
    }
    setenv("KESTRIO_SENDMAIL", "/bin/false", 1);
    const auto failure = SendmailMessageDelivery().deliver("ignored", recipient, "x");
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->message, "/bin/false exited with status 1") << "the program KESTRIO_SENDMAIL names is run";
}

TEST(SendmailDelivery, ExitStatusDecidesAndAProgramThatReadsNothingDoesNotHurt)
{
    // Far more than a socket buffer holds, to a program that never reads it.
    const std::string large(4 << 20, 'x');
    EXPECT_EQ(SendmailMessageDelivery("/bin/true").deliver("ignored", recipient, large), std::nullopt);

    const auto failure = SendmailMessageDelivery("/bin/false").deliver("ignored", recipient, large);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->message, "/bin/false exited with status 1") << "said nothing, so the status is the reason";
}

}  // namespace
}  // namespace kestrio::platform
