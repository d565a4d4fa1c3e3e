#include "platform/os/sendmail_message_delivery.h"
#include "platform/os/child_process_run.h"

#include "runtime/base64.h"
#include "runtime/white_space.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrio::platform::os {
namespace {

using remote::MessageDeliveryFailure;

constexpr std::string_view defaultProgramName = "sendmail";
// Names the program to use instead of the system's sendmail (a path, or a name on PATH).
constexpr const char* programVariable = "KESTRIO_SENDMAIL";
constexpr std::array<std::string_view, 2> systemProgramPaths = {"/usr/sbin/sendmail", "/usr/lib/sendmail"};
constexpr std::string_view subject = "Kestrio";
// RFC 2045's limit for a line of Base64.
constexpr std::size_t base64LineLength = 76;

struct Location {
    std::string path;     // empty when there is nothing to run
    std::string problem;  // why, then
};

bool isExecutableFile(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string searchPath(std::string_view name)
{
    const char* variable = std::getenv("PATH");
    std::string_view directories = variable ? variable : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const auto end = directories.find(':');
        std::string_view directory = directories.substr(0, end);
        // An empty entry is the current directory; a mail program is not looked for there.
        if (!directory.empty()) {
            std::string candidate(directory);
            candidate += '/';
            candidate += name;
            if (isExecutableFile(candidate))
                return candidate;
        }
        if (end == std::string_view::npos)
            return {};
        directories.remove_prefix(end + 1);
    }
}

Location locate(const std::string& program)
{
    if (program.empty()) {
        if (const char* chosen = std::getenv(programVariable); chosen && *chosen)
            return locate(chosen);
        for (const auto path : systemProgramPaths) {
            if (isExecutableFile(std::string(path)))
                return {std::string(path), {}};
        }
        std::string found = searchPath(defaultProgramName);
        if (found.empty())
            return {{}, "no sendmail program: none at /usr/sbin/sendmail, /usr/lib/sendmail or on PATH"};
        return {std::move(found), {}};
    }
    if (program.find('/') != std::string::npos) {
        if (isExecutableFile(program))
            return {program, {}};
        return {{}, program + " is not an executable program"};
    }
    std::string found = searchPath(program);
    if (found.empty())
        return {{}, "no " + program + " program on PATH"};
    return {std::move(found), {}};
}

// RFC 5322's date, in UTC, with English names whatever the locale.
std::string dateHeaderValue()
{
    static constexpr std::array<const char*, 7> days = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d +0000", days[static_cast<std::size_t>(utc.tm_wday) % 7],
                  utc.tm_mday, months[static_cast<std::size_t>(utc.tm_mon) % 12], utc.tm_year + 1900, utc.tm_hour,
                  utc.tm_min, utc.tm_sec);
    return text;
}

// The host's name when it can stand on the right of a Message-ID as it is.
std::string messageIdDomain()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    const std::string_view host(name);
    for (const char c : host) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                             c == '.';
        if (!allowed)
            return "localhost";
    }
    if (host.front() == '.' || host.back() == '.')
        return "localhost";
    return std::string(host);
}

std::string messageIdValue()
{
    static std::atomic<std::uint64_t> counter{0};
    std::array<std::uint64_t, 2> token{};
    if (getrandom(token.data(), sizeof token, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof token)) {
        // Without the kernel's randomness, time, process and a counter still keep it unique here.
        token[0] = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
        token[1] = (static_cast<std::uint64_t>(getpid()) << 32) ^ counter.fetch_add(1);
    }
    char text[40];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(token[0]),
                  static_cast<unsigned long long>(token[1]));
    return "<" + std::string(text) + ".kestrio@" + messageIdDomain() + ">";
}

// The mail as sendmail reads it: LF line ends; sendmail adds From and the envelope.
std::string composeMail(const std::string& recipient, const std::string& text)
{
    std::string mail;
    mail += "To: " + recipient + "\n";
    mail += "Subject: ";
    mail += subject;
    mail += "\n";
    mail += "Date: " + dateHeaderValue() + "\n";
    mail += "Message-ID: " + messageIdValue() + "\n";
    mail += "MIME-Version: 1.0\n";
    mail += "Content-Type: text/plain; charset=UTF-8\n";
    mail += "Content-Transfer-Encoding: base64\n";
    mail += "\n";
    const std::string body = runtime::base64Encode(text);
    for (std::size_t at = 0; at < body.size(); at += base64LineLength) {
        mail.append(body, at, base64LineLength);
        mail += '\n';
    }
    return mail;
}

std::optional<MessageDeliveryFailure> failure(std::string message)
{
    return MessageDeliveryFailure{MessageDeliveryFailure::Kind::failed, std::move(message)};
}

}  // namespace

SendmailMessageDelivery::SendmailMessageDelivery(std::string program, std::vector<std::string> leadingArguments,
                                                 std::chrono::milliseconds timeout)
    : program_(std::move(program)), leadingArguments_(std::move(leadingArguments)), timeout_(timeout)
{
}

std::optional<MessageDeliveryFailure> SendmailMessageDelivery::probe()
{
    Location location = locate(program_);
    if (location.path.empty())
        return failure(std::move(location.problem));
    return std::nullopt;
}

std::optional<MessageDeliveryFailure> SendmailMessageDelivery::deliver(const std::string& recipient, const std::string& text)
{
    if (!isMailAddress(recipient))
        return failure("\"" + recipient + "\" is not an e-mail address");
    Location location = locate(program_);
    if (location.path.empty())
        return failure(std::move(location.problem));

    std::vector<std::string> arguments = leadingArguments_;
    // -i: a line of a single "." is text, not the end of the mail.
    arguments.insert(arguments.end(), {"-i", "--", recipient});
    const ChildProcessResult run = runChildProcess(location.path, arguments, composeMail(recipient, text), timeout_);

    const std::string said(runtime::trimmedWhiteSpace(run.output));
    switch (run.outcome) {
    case ChildProcessResult::Outcome::exited:
        if (run.exitStatus == 0)
            return std::nullopt;
        return failure(!said.empty() ? said
                                     : location.path + " exited with status " + std::to_string(run.exitStatus));
    case ChildProcessResult::Outcome::timedOut:
        return failure(location.path + " did not finish within " +
                       std::to_string(std::chrono::ceil<std::chrono::seconds>(timeout_).count()) + " s");
    case ChildProcessResult::Outcome::notStarted:
        return failure("could not start " + location.path);
    case ChildProcessResult::Outcome::signalled:
    case ChildProcessResult::Outcome::broken:
        break;
    }
    return failure(!said.empty() ? said : location.path + " ended without delivering");
}

bool SendmailMessageDelivery::isMailAddress(std::string_view text)
{
    constexpr std::string_view needQuoting = "()<>[]:;,\\\"";
    const auto at = text.find('@');
    if (at == std::string_view::npos || text.find('@', at + 1) != std::string_view::npos)
        return false;
    const std::string_view local = text.substr(0, at);
    const std::string_view domain = text.substr(at + 1);
    if (local.empty() || local.front() == '-')
        return false;
    const auto dot = domain.find('.');
    if (dot == std::string_view::npos || domain.front() == '.' || domain.back() == '.')
        return false;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || needQuoting.find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

}  // namespace kestrio::platform::os
