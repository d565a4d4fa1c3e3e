#include "platform/linux/child_process_run.h"
#include "platform/linux/spawn_setup.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrio::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Enough for any error report; a program writing far more is not reporting an error.
constexpr std::size_t maxErrorOutputBytes = 64 * 1024;
// How often the child is checked for having exited when the kernel offers no process descriptor.
constexpr int exitCheckIntervalMs = 5;

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

// Moves `fd` above the standard descriptors: the child's file actions put descriptors onto 0 and
// 2, and one that already sat there would be overwritten before it was copied.
bool lift(FileDescriptor& fd)
{
    if (fd.get() > 2)
        return true;
    const int lifted = fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    fd.reset(lifted);
    return fd.valid();
}

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

// This process's environment with `changes` ("NAME=value") put in place of the same names.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& changes)
{
    std::vector<std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        const auto replaced = std::any_of(changes.begin(), changes.end(), [&](const std::string& change) {
            const auto nameEnd = change.find('=');
            return nameEnd != std::string::npos && text.size() > nameEnd && text.compare(0, nameEnd + 1, change, 0, nameEnd + 1) == 0;
        });
        if (!replaced)
            merged.emplace_back(text);
    }
    merged.insert(merged.end(), changes.begin(), changes.end());
    return merged;
}

}  // namespace

ChildProcessResult runChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                                   std::string_view input, std::chrono::milliseconds timeout,
                                   const std::vector<std::string>& environment)
{
    ChildProcessResult result;
    if (program.empty())
        return result;
    const auto deadline = SteadyClock::now() + timeout;

    // Standard input is a socket rather than a pipe so that writing to a child that has stopped
    // reading fails with EPIPE (MSG_NOSIGNAL) instead of signalling the whole process.
    int inputPair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inputPair) != 0)
        return result;
    FileDescriptor inputWriter(inputPair[0]);
    FileDescriptor inputForChild(inputPair[1]);
    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0)
        return result;
    FileDescriptor errorReader(errorPipe[0]);
    FileDescriptor errorForChild(errorPipe[1]);
    if (!lift(inputForChild) || !lift(errorForChild))
        return result;

    SpawnSetup setup;
    if (!setup.ready)
        return result;
    bool arranged = posix_spawn_file_actions_adddup2(&setup.actions, inputForChild.get(), 0) == 0 &&
                    posix_spawn_file_actions_adddup2(&setup.actions, errorForChild.get(), 2) == 0 &&
                    posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0) == 0;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    // A group of its own lets a timeout take down whatever the program started, too; a child
    // still holding the error pipe would otherwise outlive it.
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
    std::vector<std::string> environmentTexts;
    std::vector<char*> envp;
    if (!environment.empty()) {
        environmentTexts = mergedEnvironment(environment);
        envp.reserve(environmentTexts.size() + 1);
        for (auto& entry : environmentTexts)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
    }

    // Room for all the output that is ever kept, taken before the child exists: from the spawn
    // until the child is reaped nothing may throw.
    char buffer[4096];
    result.errorOutput.reserve(maxErrorOutputBytes + sizeof buffer);

    pid_t pid = -1;
    // Without a slash in the name, this searches PATH; a program that is not there fails here.
    if (posix_spawnp(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(),
                     envp.empty() ? environ : envp.data()) != 0)
        return result;
    inputForChild.reset();
    errorForChild.reset();

    FileDescriptor exitNotice(openExitNotice(pid));
    std::size_t written = 0;
    if (input.empty())
        inputWriter.reset();
    bool errorEnded = false;
    bool exited = false;
    bool broken = false;
    bool late = false;
    while (!(errorEnded && exited) && !broken) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        if (left <= 0) {
            late = true;
            break;
        }
        pollfd entries[3];
        nfds_t count = 0;
        int inputEntry = -1;
        int errorEntry = -1;
        if (inputWriter.valid()) {
            inputEntry = static_cast<int>(count);
            entries[count++] = {inputWriter.get(), POLLOUT, 0};
        }
        if (!errorEnded) {
            errorEntry = static_cast<int>(count);
            entries[count++] = {errorReader.get(), POLLIN, 0};
        }
        if (!exited && exitNotice.valid())
            entries[count++] = {exitNotice.get(), POLLIN, 0};
        int wait = static_cast<int>(std::min<long long>(left, 60'000));
        if (!exited && !exitNotice.valid())
            wait = std::min(wait, exitCheckIntervalMs);
        const int ready = poll(entries, count, wait);
        if (ready < 0) {
            broken = errno != EINTR;
            continue;
        }
        if (inputEntry >= 0 && entries[inputEntry].revents != 0) {
            const ssize_t sent = send(inputWriter.get(), input.data() + written, input.size() - written,
                                      MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0)
                written += static_cast<std::size_t>(sent);
            // A program that ends without reading all of its input says so by its exit status;
            // the rest of the input is of no use to anyone then.
            else if (errno != EINTR && errno != EAGAIN)
                inputWriter.reset();
            if (written == input.size())
                inputWriter.reset();
        }
        if (errorEntry >= 0 && entries[errorEntry].revents != 0) {
            const ssize_t got = read(errorReader.get(), buffer, sizeof buffer);
            if (got == 0)
                errorEnded = true;
            else if (got > 0 && result.errorOutput.size() < maxErrorOutputBytes)
                result.errorOutput.append(buffer, static_cast<std::size_t>(got));
            else if (got < 0 && errno != EINTR && errno != EAGAIN)
                broken = true;
        }
        if (!exited)
            exited = hasExited(pid);
    }

    if (late || broken)
        kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (late) {
        result.outcome = ChildProcessResult::Outcome::timedOut;
    } else if (broken) {
        result.outcome = ChildProcessResult::Outcome::broken;
    } else if (WIFEXITED(status)) {
        result.outcome = ChildProcessResult::Outcome::exited;
        result.exitStatus = WEXITSTATUS(status);
    } else {
        result.outcome = ChildProcessResult::Outcome::signalled;
    }
    return result;
}

}  // namespace kestrio::platform
