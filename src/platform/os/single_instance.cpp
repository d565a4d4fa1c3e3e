#include "platform/os/single_instance.h"

#include "platform/os/atomic_file.h"
#include "platform/os/runtime_folder.h"
#include "platform/os/unique_fd.h"
#include "runtime/white_space.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kestrio::platform::os {
namespace {

constexpr const char* recordName = "kestrio.pid";

// Debian 12's C library declares these without C linkage for C++, so they are called directly.
int pinProcess(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int signalPinned(int pidfd, int signal)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

enum class Creation {
    create,
    existingOnly,
};

// The directory opened and locked, or nothing when it is not this user's alone. The lock makes
// copies that start or stop at the same moment take turns on the record; each holds it for a few
// file operations and a kill, never while waiting on another process.
UniqueFd openPrivateDirectory(const std::filesystem::path& directory, Creation creation)
{
    UniqueFd fd = openPrivateFolder(directory, creation == Creation::create);
    if (!fd)
        return {};
    while (flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return {};
    }
    return fd;
}

std::optional<pid_t> readRecord(int directory)
{
    UniqueFd fd(openat(directory, recordName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    char buffer[32];
    ssize_t count = 0;
    do {
        count = read(fd.get(), buffer, sizeof buffer);
    } while (count < 0 && errno == EINTR);
    if (count <= 0)
        return std::nullopt;
    std::string_view text(buffer, static_cast<std::size_t>(count));
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (error != std::errc() || pid <= 0)
        return std::nullopt;
    if (!runtime::isBlank(std::string_view(end, static_cast<std::size_t>(text.data() + text.size() - end))))
        return std::nullopt;
    return pid;
}

// Replaces the record in one step, so that nobody reads half of it. Called with the folder locked:
// a temporary found beside the record is a crashed copy's.
bool writeRecord(const std::filesystem::path& directory, pid_t pid)
{
    const std::filesystem::path record = directory / recordName;
    removeStaleTemporaries(record);
    return replaceFileAtomically(record, std::to_string(pid) + "\n", 0600).replaced();
}

// The program file a process runs, as /proc/<pid>/exe names it. A file that was replaced since
// the process started (an upgrade) shows with " (deleted)" appended, which is dropped.
std::optional<std::string> programOf(const std::string& processEntry)
{
    char buffer[PATH_MAX + 16];
    const ssize_t length = readlink((processEntry + "/exe").c_str(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer)
        return std::nullopt;
    std::string path(buffer, static_cast<std::size_t>(length));
    constexpr std::string_view deleted = " (deleted)";
    if (path.ends_with(deleted))
        path.resize(path.size() - deleted.size());
    return path;
}

bool isOtherCopyOfThisProgram(pid_t pid)
{
    if (pid == getpid())
        return false;
    const std::string entry = "/proc/" + std::to_string(pid);
    struct stat status = {};
    if (stat(entry.c_str(), &status) != 0 || status.st_uid != geteuid())
        return false;
    const auto theirs = programOf(entry);
    const auto ours = programOf("/proc/self");
    return theirs && ours && *theirs == *ours;
}

// Sends SIGTERM to `pid` if it is another copy of this program. The process is pinned before it
// is looked at: should it end and its pid be reused in between, the signal goes nowhere instead
// of to the newcomer.
bool askToQuit(pid_t pid)
{
    UniqueFd pinned(pinProcess(pid));
    if (!pinned) {
        // Kernels older than 5.3 cannot pin; the window is then as small as it can be made.
        if (errno != ENOSYS)
            return false;
        return isOtherCopyOfThisProgram(pid) && kill(pid, SIGTERM) == 0;
    }
    return isOtherCopyOfThisProgram(pid) && signalPinned(pinned.get(), SIGTERM) == 0;
}

}  // namespace

SingleInstance::SingleInstance(std::filesystem::path directory) : directory_(std::move(directory)) {}

SingleInstance SingleInstance::forCurrentUser()
{
    std::filesystem::path directory;
    try {
        directory = runtimeFolder();
    } catch (const std::exception&) {
        directory.clear();
    }
    return SingleInstance(std::move(directory));
}

SingleInstance::~SingleInstance()
{
    release();
}

std::optional<pid_t> SingleInstance::claim()
{
    try {
        const UniqueFd directory = openPrivateDirectory(directory_, Creation::create);
        if (!directory)
            return std::nullopt;
        const auto previous = readRecord(directory.get());
        if (!writeRecord(directory_, getpid()))
            return std::nullopt;
        claimed_ = true;
        // Only now that this process is on record: where the lock is not honoured (some network
        // file systems), the older copy's release, which may follow at once, still finds the
        // newer record and leaves it alone.
        if (previous && askToQuit(*previous))
            return previous;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

void SingleInstance::release()
{
    if (!claimed_)
        return;
    claimed_ = false;
    try {
        const UniqueFd directory = openPrivateDirectory(directory_, Creation::existingOnly);
        if (directory && readRecord(directory.get()) == getpid())
            unlinkat(directory.get(), recordName, 0);
    } catch (const std::exception&) {
    }
}

}  // namespace kestrio::platform::os
