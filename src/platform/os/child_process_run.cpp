#include "platform/os/child_process_run.h"
#include "platform/os/spawn_setup.h"
#include "platform/os/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kestrio::platform::os {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often the child is checked for having exited when the kernel offers no process descriptor.
constexpr int exitCheckIntervalMs = 5;

// Where a child's standard streams go (-1: /dev/null) and how it is placed.
struct SpawnPlan {
    int input = -1;
    int output = -1;
    int errors = -1;
    int keepOpen = -1;
    bool ownGroup = false;
    bool ownSession = false;
    bool searchPath = true;
    char* const* environment = environ;
};

// Starts the child; 0, or the errno that kept it from starting.
int spawn(pid_t& pid, const std::string& program, const std::vector<std::string>& arguments, const SpawnPlan& plan)
{
    SpawnSetup setup;
    if (!setup.ready)
        return ENOMEM;
    const auto place = [&](int fd, int target, int flags) {
        return fd >= 0 ? posix_spawn_file_actions_adddup2(&setup.actions, fd, target)
                       : posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null", flags, 0);
    };
    bool arranged = place(plan.input, 0, O_RDONLY) == 0 && place(plan.output, 1, O_WRONLY) == 0 &&
                    place(plan.errors, 2, O_WRONLY) == 0;
    // Duplicating a descriptor onto itself clears its close-on-exec flag in the child only.
    if (plan.keepOpen >= 0)
        arranged = arranged && posix_spawn_file_actions_adddup2(&setup.actions, plan.keepOpen, plan.keepOpen) == 0;
    // Whatever this process blocks or ignores is no business of the child's. A group of its own
    // lets a timeout take down whatever the program started, too; a session of its own keeps it
    // alive when the terminal this process was started from goes away.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (plan.ownGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        arranged = arranged && posix_spawnattr_setpgroup(&setup.attributes, 0) == 0;
    }
    if (plan.ownSession)
        flags |= POSIX_SPAWN_SETSID;
    arranged = arranged && posix_spawnattr_setsigmask(&setup.attributes, &none) == 0 &&
               posix_spawnattr_setsigdefault(&setup.attributes, &all) == 0 &&
               posix_spawnattr_setflags(&setup.attributes, flags) == 0;
    if (!arranged)
        return EINVAL;

    std::vector<std::string> argumentTexts;
    argumentTexts.reserve(arguments.size() + 1);
    argumentTexts.push_back(program);
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(argumentTexts.size() + 1);
    for (auto& argument : argumentTexts)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    // Without a slash in the name, posix_spawnp searches PATH; a program that is not there fails here.
    return plan.searchPath
               ? posix_spawnp(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), plan.environment)
               : posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), plan.environment);
}

// Moves `fd` above the standard descriptors: the child's file actions put descriptors onto 0, 1
// and 2, and one that already sat there would be overwritten before it was copied.
bool lift(UniqueFd& fd)
{
    if (fd.get() > 2)
        return true;
    fd.reset(fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
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

int reap(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// This process's environment with `changes` ("NAME=value") put in place of the same names.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& changes)
{
    std::vector<std::string> merged;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const auto replaced = std::any_of(changes.begin(), changes.end(), [&](const std::string& change) {
            const auto nameEnd = change.find('=');
            return nameEnd != std::string::npos && text.size() > nameEnd && text.compare(0, nameEnd + 1, change, 0, nameEnd + 1) == 0;
        });
        if (!replaced)
            merged.emplace_back(text);
    }
    for (const auto& change : changes) {
        if (change.find('=') != std::string::npos)
            merged.push_back(change);
    }
    return merged;
}

ChildProcessResult notStarted(int error)
{
    ChildProcessResult result;
    result.startError = error;
    return result;
}

}  // namespace

ChildProcessResult runChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                                   const ChildProcessOptions& options)
{
    if (program.empty())
        return notStarted(ENOENT);
    const auto deadline = SteadyClock::now() + options.timeout;
    const std::string_view input = options.input;

    // Standard input is a socket rather than a pipe so that writing to a child that has stopped
    // reading fails with EPIPE (MSG_NOSIGNAL) instead of signalling the whole process.
    UniqueFd inputWriter;
    UniqueFd inputForChild;
    if (!input.empty()) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return notStarted(errno);
        inputWriter.reset(pair[0]);
        inputForChild.reset(pair[1]);
    }
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return notStarted(errno);
    UniqueFd outputReader(pipeEnds[0]);
    UniqueFd outputForChild(pipeEnds[1]);
    if ((inputForChild.valid() && !lift(inputForChild)) || !lift(outputForChild))
        return notStarted(errno);

    SpawnPlan plan;
    plan.input = inputForChild.get();
    using Capture = ChildProcessOptions::Capture;
    if (options.capture != Capture::errorOutput)
        plan.output = outputForChild.get();
    if (options.capture != Capture::output)
        plan.errors = outputForChild.get();
    plan.ownGroup = true;
    plan.searchPath = options.searchPath;
    std::vector<std::string> environmentTexts;
    std::vector<char*> envp;
    if (!options.environment.empty()) {
        environmentTexts = mergedEnvironment(options.environment);
        envp.reserve(environmentTexts.size() + 1);
        for (auto& entry : environmentTexts)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        plan.environment = envp.data();
    }

    // Room for all the output that is ever kept, taken before the child exists: from the spawn
    // until the child is reaped nothing may throw.
    ChildProcessResult result;
    char buffer[4096];
    result.output.reserve(options.outputLimit);

    pid_t pid = -1;
    if (const int error = spawn(pid, program, arguments, plan); error != 0)
        return notStarted(error);
    inputForChild.reset();
    outputForChild.reset();

    // Without it (kernels before 5.3, some sandboxes) the child is looked at every few
    // milliseconds.
    UniqueFd exitNotice(openExitNotice(pid));
    std::size_t written = 0;
    bool outputEnded = false;
    bool exited = false;
    bool broken = false;
    bool late = false;
    while (!(outputEnded && exited) && !broken) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        if (left <= 0) {
            late = true;
            break;
        }
        pollfd entries[3];
        nfds_t count = 0;
        int inputEntry = -1;
        int outputEntry = -1;
        if (inputWriter.valid()) {
            inputEntry = static_cast<int>(count);
            entries[count++] = {inputWriter.get(), POLLOUT, 0};
        }
        if (!outputEnded) {
            outputEntry = static_cast<int>(count);
            entries[count++] = {outputReader.get(), POLLIN, 0};
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
        if (outputEntry >= 0 && entries[outputEntry].revents != 0) {
            const ssize_t got = read(outputReader.get(), buffer, sizeof buffer);
            if (got == 0) {
                outputEnded = true;
            } else if (got > 0) {
                const std::size_t room = options.outputLimit - result.output.size();
                const auto kept = std::min(room, static_cast<std::size_t>(got));
                result.output.append(buffer, kept);
                if (kept < static_cast<std::size_t>(got)) {
                    result.outputCut = true;
                    broken = options.stopAtLimit;
                }
            } else if (errno != EINTR && errno != EAGAIN) {
                broken = true;
            }
        }
        if (!exited)
            exited = hasExited(pid);
    }

    if (late || broken)
        kill(-pid, SIGKILL);
    const int status = reap(pid);
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

ChildProcessResult runChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                                   std::string_view input, std::chrono::milliseconds timeout,
                                   const std::vector<std::string>& environment)
{
    ChildProcessOptions options;
    options.input = input;
    options.timeout = timeout;
    options.environment = environment;
    return runChildProcess(program, arguments, options);
}

pid_t startChildProcess(const std::string& program, const std::vector<std::string>& arguments, int keepOpen)
{
    if (program.empty())
        return -1;
    SpawnPlan plan;
    plan.keepOpen = keepOpen;
    pid_t pid = -1;
    return spawn(pid, program, arguments, plan) == 0 ? pid : -1;
}

void stopChildProcess(pid_t pid, std::chrono::milliseconds grace)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    const auto deadline = SteadyClock::now() + grace;
    for (;;) {
        const pid_t done = waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return;
        if (SteadyClock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    reap(pid);
}

bool startDetachedProcess(const std::string& program, const std::vector<std::string>& arguments)
{
    if (program.empty())
        return false;
    SpawnPlan plan;
    plan.ownSession = true;
    pid_t pid = -1;
    if (spawn(pid, program, arguments, plan) != 0)
        return false;
    try {
        std::thread([pid] { reap(pid); }).detach();
    } catch (const std::exception&) {
        // Without a thread the child stays a zombie until this process ends; still better than
        // blocking the caller until the program is closed.
    }
    return true;
}

}  // namespace kestrio::platform::os
