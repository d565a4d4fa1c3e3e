#include "platform/linux/pulse_volume_control.h"
#include "platform/linux/spawn_setup.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrio::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* defaultSink = "@DEFAULT_SINK@";
// pactl prints a line or two; anything far beyond that is not pactl.
constexpr std::size_t maxOutputBytes = 64 * 1024;
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
    void reset()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};


enum class Outcome { succeeded, failed, timedOut };

struct RunResult {
    Outcome outcome = Outcome::failed;
    std::string output;
};

std::string_view variableName(std::string_view entry)
{
    return entry.substr(0, entry.find('='));
}

// This process's environment with `overrides` laid over it, and the C locale, whatever anyone
// asked for: the output is parsed, and translations would change its words.
std::vector<std::string> childEnvironment(const std::vector<std::string>& overrides)
{
    std::vector<std::string> names;
    for (const auto& entry : overrides) {
        if (entry.find('=') != std::string::npos)
            names.emplace_back(variableName(entry));
    }
    names.emplace_back("LC_ALL");
    std::vector<std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view name = variableName(*entry);
        if (std::find(names.begin(), names.end(), name) == names.end())
            environment.emplace_back(*entry);
    }
    for (const auto& entry : overrides) {
        if (entry.find('=') != std::string::npos && variableName(entry) != "LC_ALL")
            environment.push_back(entry);
    }
    environment.emplace_back("LC_ALL=C");
    return environment;
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

RunResult run(const std::string& program, const std::vector<std::string>& arguments,
              const std::vector<std::string>& overrides, std::chrono::milliseconds timeout)
{
    RunResult result;
    if (program.empty())
        return result;
    const auto deadline = Clock::now() + timeout;

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return result;
    FileDescriptor output(fds[0]);
    FileDescriptor outputForChild(fds[1]);

    SpawnSetup setup;
    if (!setup.ready)
        return result;
    // The pipe goes onto standard output first: were it itself descriptor 0 or 2, opening
    // /dev/null there would close it.
    bool arranged = posix_spawn_file_actions_adddup2(&setup.actions, outputForChild.get(), 1) == 0 &&
                    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
                    posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0) == 0;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    // A group of its own lets a timeout take down whatever the program started, too; a child
    // still holding the pipe would otherwise outlive it.
    arranged = arranged && posix_spawnattr_setsigmask(&setup.attributes, &none) == 0 &&
               posix_spawnattr_setsigdefault(&setup.attributes, &all) == 0 &&
               posix_spawnattr_setpgroup(&setup.attributes, 0) == 0 &&
               posix_spawnattr_setflags(&setup.attributes,
                                        POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP) == 0;
    if (!arranged)
        return result;

    std::vector<std::string> environment = childEnvironment(overrides);
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
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
    result.output.reserve(maxOutputBytes + sizeof buffer);

    pid_t pid = -1;
    // Without a slash in the name, this searches PATH; a program that is not there fails here.
    if (posix_spawnp(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), envp.data()) != 0)
        return result;
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
        pollfd entries[2];
        nfds_t count = 0;
        if (!outputEnded)
            entries[count++] = {output.get(), POLLIN, 0};
        if (!exited && exitNotice.valid())
            entries[count++] = {exitNotice.get(), POLLIN, 0};
        int wait = static_cast<int>(std::min<long long>(left, 60'000));
        if (outputEnded && !exited && !exitNotice.valid())
            wait = std::min(wait, exitCheckIntervalMs);
        const int ready = poll(entries, count, wait);
        if (ready < 0) {
            broken = errno != EINTR;
            continue;
        }
        if (!outputEnded && entries[0].revents != 0) {
            const ssize_t got = read(output.get(), buffer, sizeof buffer);
            if (got == 0)
                outputEnded = true;
            else if (got > 0)
                result.output.append(buffer, static_cast<std::size_t>(got));
            else if (errno != EINTR && errno != EAGAIN)
                broken = true;
            if (result.output.size() > maxOutputBytes)
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
    if (late)
        result.outcome = Outcome::timedOut;
    else if (!broken && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        result.outcome = Outcome::succeeded;
    return result;
}

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Reads "Volume: front-left: 39321 /  60% / -13.31 dB,   front-right: 26214 /  40% / -23.88 dB"
// (one entry per channel; the balance follows on a line of its own).
//
// The channels are averaged rather than the first one taken: the level that comes back is then
// the same whichever way round the speakers are listed, and a step from it changes the overall
// loudness by about a step even when the user had set a balance (setting the level evens out the
// channels anyway).
std::optional<int> parseVolume(std::string_view text)
{
    constexpr std::string_view label = "Volume:";
    if (!text.starts_with(label))
        return std::nullopt;
    text.remove_prefix(label.size());
    text = text.substr(0, text.find('\n'));

    long long sum = 0;
    long long channels = 0;
    for (;;) {
        const auto comma = text.find(',');
        const std::string_view channel = text.substr(0, comma);
        const auto first = channel.find('/');
        const auto second = first == std::string_view::npos ? first : channel.find('/', first + 1);
        if (second == std::string_view::npos)
            return std::nullopt;
        std::string_view percent = trimmed(channel.substr(first + 1, second - first - 1));
        if (!percent.ends_with('%'))
            return std::nullopt;
        percent.remove_suffix(1);
        int value = 0;
        const auto [end, error] = std::from_chars(percent.data(), percent.data() + percent.size(), value);
        if (error != std::errc{} || end != percent.data() + percent.size() || percent.empty() || value < 0)
            return std::nullopt;
        sum += value;
        ++channels;
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return static_cast<int>((sum + channels / 2) / channels);
}

}  // namespace

PulseVolumeControl::PulseVolumeControl() : PulseVolumeControl("pactl") {}

PulseVolumeControl::PulseVolumeControl(std::string program, std::vector<std::string> environment,
                                       std::chrono::milliseconds timeout)
    : program_(std::move(program)), environment_(std::move(environment)), timeout_(timeout)
{
}

std::optional<int> PulseVolumeControl::outputVolume()
{
    try {
        RunResult result = run(program_, {"get-sink-volume", defaultSink}, environment_, timeout_);
        if (result.outcome != Outcome::succeeded)
            return std::nullopt;
        return parseVolume(result.output);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void PulseVolumeControl::setOutputVolume(int percent, bool muted)
{
    try {
        // A negative level would read as "lower by": pactl takes "-5%" as a relative change.
        const std::string level = std::to_string(std::max(percent, 0)) + "%";
        if (run(program_, {"set-sink-volume", defaultSink, level}, environment_, timeout_).outcome ==
            Outcome::timedOut)
            return;
        run(program_, {"set-sink-mute", defaultSink, muted ? "1" : "0"}, environment_, timeout_);
    } catch (const std::exception&) {
        // Only allocation can throw here; the level stays as it was.
    }
}

}  // namespace kestrio::platform
