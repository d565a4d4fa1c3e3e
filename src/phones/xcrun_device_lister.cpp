#include "phones/xcrun_device_lister.h"

#include "phones/device_list_parser.h"
#include "phones/unicode_text.h"
#include "platform/linux/spawn_setup.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kestrio::phones {
namespace {

using Clock = std::chrono::steady_clock;

// devicectl prints a line or two of progress, or a paragraph on failure. A tool printing more
// than this is not saying anything useful; the rest is read and dropped so that it can finish.
constexpr std::size_t maxOutputBytes = 1024 * 1024;
// The report lists a handful of devices; a file far beyond that is not a report.
constexpr off_t maxReportBytes = 64 * 1024 * 1024;
// How often the child is checked for having exited when the kernel offers no process descriptor.
constexpr int exitCheckIntervalMs = 5;

const char* const failedText = "devicectl failed";

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

std::string errorText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

// A version 4 UUID in its usual upper-case form, e.g. "1B4E28BA-2FA1-41D2-883F-0016D3CCA427".
std::string randomUuid()
{
    std::array<std::uint8_t, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        } else if (errno != EINTR) {
            std::random_device device;
            for (auto& byte : bytes)
                byte = static_cast<std::uint8_t>(device());
            break;
        }
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string temporaryDirectoryOrDefault(const std::string& configured)
{
    if (!configured.empty())
        return configured;
    const char* fromEnvironment = std::getenv("TMPDIR");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : "/tmp";
}

std::string joined(const std::string& directory, const std::string& name)
{
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

enum class Ending { launchFailed, exited, signalled, timedOut, broken };

struct Run {
    Ending ending = Ending::broken;
    int launchError = 0;
    int exitStatus = 0;
    std::string output;
    bool outputCut = false;
};

// A descriptor that turns readable once the child has exited, or -1. Called directly: Debian 12's
// <sys/pidfd.h> declares pidfd_open without C linkage.
int openExitNotice(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Looks without collecting the exit status, so that the pid, and with it the process group,
// stays reserved until the child is reaped.
bool hasExited(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

int reap(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Runs `program` with `arguments`, its standard output and error into one pipe, until its
// output has ended and it has exited, or until `timeout` has passed.
Run run(const std::string& program, const std::vector<std::string>& arguments, std::chrono::milliseconds timeout)
{
    Run result;
    const auto deadline = Clock::now() + timeout;

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.ending = Ending::launchFailed;
        result.launchError = errno;
        return result;
    }
    FileDescriptor output(fds[0]);
    FileDescriptor outputForChild(fds[1]);
    // Clear of 0, 1 and 2, whatever this process left closed: the child's end is put there.
    if (outputForChild.get() <= STDERR_FILENO) {
        outputForChild.reset(fcntl(outputForChild.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
        if (!outputForChild.valid()) {
            result.ending = Ending::launchFailed;
            result.launchError = errno;
            return result;
        }
    }

    platform::SpawnSetup setup;
    if (!setup.ready)
        return result;
    bool arranged = posix_spawn_file_actions_adddup2(&setup.actions, outputForChild.get(), STDOUT_FILENO) == 0 &&
                    posix_spawn_file_actions_adddup2(&setup.actions, STDOUT_FILENO, STDERR_FILENO) == 0 &&
                    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    // A group of its own lets a timeout take down whatever the tool started, too; a child
    // still holding the pipe would otherwise outlive it.
    arranged = arranged && posix_spawnattr_setsigmask(&setup.attributes, &none) == 0 &&
               posix_spawnattr_setsigdefault(&setup.attributes, &all) == 0 &&
               posix_spawnattr_setpgroup(&setup.attributes, 0) == 0 &&
               posix_spawnattr_setflags(&setup.attributes,
                                        POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP) == 0;
    if (!arranged)
        return result;

    std::vector<std::string> argumentTexts;
    argumentTexts.reserve(arguments.size() + 1);
    argumentTexts.push_back(program);
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(argumentTexts.size() + 1);
    for (auto& argument : argumentTexts)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    // Room for all the output that is ever kept, taken before the child exists: from the
    // spawn until the child is reaped nothing may throw.
    char buffer[4096];
    result.output.reserve(maxOutputBytes);

    pid_t pid = -1;
    if (const int error = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
        error != 0) {
        result.ending = Ending::launchFailed;
        result.launchError = error;
        return result;
    }
    outputForChild.reset();

    // Without it (kernels before 5.3, some sandboxes) the child is looked at every few
    // milliseconds once its output has ended.
    FileDescriptor exitNotice(openExitNotice(pid));
    bool outputEnded = false;
    bool exited = false;
    bool broken = false;
    bool late = false;
    while (!(outputEnded && exited) && !broken) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            late = true;
            break;
        }
        // The output is read to its end before the exit is looked for: a tool that has
        // exited may still have left output in the pipe.
        pollfd entry{};
        int wait = static_cast<int>(std::min<long long>(left, 60'000));
        if (!outputEnded) {
            entry = {output.get(), POLLIN, 0};
        } else if (exitNotice.valid()) {
            entry = {exitNotice.get(), POLLIN, 0};
        } else {
            exited = hasExited(pid);
            if (exited)
                break;
            entry = {-1, 0, 0};
            wait = std::min(wait, exitCheckIntervalMs);
        }
        const int ready = poll(&entry, 1, wait);
        if (ready < 0) {
            broken = errno != EINTR;
            continue;
        }
        if (ready == 0 || entry.fd < 0)
            continue;
        if (outputEnded) {
            exited = true;
            continue;
        }
        const ssize_t got = read(output.get(), buffer, sizeof buffer);
        if (got == 0) {
            outputEnded = true;
        } else if (got > 0) {
            const std::size_t room = maxOutputBytes - result.output.size();
            const auto kept = std::min(room, static_cast<std::size_t>(got));
            result.output.append(buffer, kept);
            result.outputCut = result.outputCut || kept < static_cast<std::size_t>(got);
        } else if (errno != EINTR && errno != EAGAIN) {
            broken = true;
        }
    }

    if (late || broken)
        kill(-pid, SIGKILL);
    const int status = reap(pid);
    if (late) {
        result.ending = Ending::timedOut;
    } else if (broken) {
        result.ending = Ending::broken;
    } else if (WIFEXITED(status)) {
        result.ending = Ending::exited;
        result.exitStatus = WEXITSTATUS(status);
    } else {
        result.ending = Ending::signalled;
    }
    return result;
}

struct Report {
    std::string text;
    int error = 0;
};

Report readReport(const std::string& path)
{
    Report report;
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        report.error = errno;
        return report;
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0) {
        report.error = errno;
        return report;
    }
    if (info.st_size > maxReportBytes) {
        report.error = EFBIG;
        return report;
    }
    report.text.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[16384];
    for (;;) {
        const ssize_t got = read(file.get(), buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            report.error = errno;
            report.text.clear();
            break;
        }
        if (report.text.size() + static_cast<std::size_t>(got) > static_cast<std::size_t>(maxReportBytes)) {
            report.error = EFBIG;
            report.text.clear();
            break;
        }
        report.text.append(buffer, static_cast<std::size_t>(got));
    }
    return report;
}

// What the tool said, when it can be shown: text, and all of it.
std::string failureText(const Run& run)
{
    if (run.output.empty() || run.outputCut || !isValidUtf8(run.output))
        return failedText;
    return run.output;
}

DeviceListResult failure(std::string text)
{
    DeviceListResult result;
    result.error = std::move(text);
    return result;
}

DeviceListResult listWith(const std::string& toolPath, const std::string& reportPath, std::chrono::milliseconds timeout)
{
    const Run tool = run(toolPath, {"devicectl", "list", "devices", "--timeout", "10", "--json-output", reportPath},
                         timeout);
    switch (tool.ending) {
    case Ending::launchFailed:
        return failure(errorText(tool.launchError));
    case Ending::timedOut:
        return failure("devicectl did not finish in time");
    case Ending::broken:
    case Ending::signalled:
        return failure(failureText(tool));
    case Ending::exited:
        break;
    }
    if (tool.exitStatus != 0)
        return failure(failureText(tool));
    const Report report = readReport(reportPath);
    if (report.error != 0)
        return failure(errorText(report.error));
    DeviceListResult result;
    result.phones = parseDeviceList(report.text);
    return result;
}

}  // namespace

XcrunDeviceLister::XcrunDeviceLister(std::string toolPath, std::string temporaryDirectory,
                                     std::chrono::milliseconds timeout)
    : toolPath_(std::move(toolPath)), temporaryDirectory_(std::move(temporaryDirectory)), timeout_(timeout)
{
}

DeviceListResult XcrunDeviceLister::listPairedDevices()
{
    std::string reportPath;
    try {
        reportPath = joined(temporaryDirectoryOrDefault(temporaryDirectory_), "kestrio-devices-" + randomUuid() + ".json");
        DeviceListResult result = listWith(toolPath_, reportPath, timeout_);
        unlink(reportPath.c_str());
        return result;
    } catch (const std::exception&) {
        // Only allocation can throw here.
        if (!reportPath.empty())
            unlink(reportPath.c_str());
        return failure(failedText);
    }
}

}  // namespace kestrio::phones
