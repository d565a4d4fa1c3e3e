#include "platform/linux/single_instance.h"

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

namespace kestrio::platform {
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

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now; false when the close reported an error (for a written file: a lost write).
    bool reset()
    {
        bool closed = true;
        if (fd_ >= 0)
            closed = close(fd_) == 0;
        fd_ = -1;
        return closed;
    }

private:
    int fd_ = -1;
};

enum class Creation {
    create,
    existingOnly,
};

// The directory opened and locked, or nothing when it is not this user's alone. The lock makes
// copies that start or stop at the same moment take turns on the record; each holds it for a few
// file operations and a kill, never while waiting on another process.
FileDescriptor openPrivateDirectory(const std::filesystem::path& directory, Creation creation)
{
    if (directory.empty())
        return {};
    if (creation == Creation::create && mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    // No following of a symbolic link planted where the directory should be.
    FileDescriptor fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return {};
    struct stat status = {};
    if (fstat(fd.get(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != geteuid() ||
        (status.st_mode & 0777) != 0700)
        return {};
    while (flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return {};
    }
    return fd;
}

std::optional<pid_t> readRecord(int directory)
{
    FileDescriptor fd(openat(directory, recordName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
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
    if (std::string_view(end, static_cast<std::size_t>(text.data() + text.size() - end)).find_first_not_of(" \t\r\n") !=
        std::string_view::npos)
        return std::nullopt;
    return pid;
}

// Replaces the record in one step, so that nobody reads half of it.
bool writeRecord(int directory, pid_t pid)
{
    const std::string temporary = "." + std::string(recordName) + "." + std::to_string(pid);
    const std::string text = std::to_string(pid) + "\n";
    FileDescriptor fd(openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return false;
    bool written = write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    written = fd.reset() && written;
    if (!written || renameat(directory, temporary.c_str(), directory, recordName) != 0) {
        unlinkat(directory, temporary.c_str(), 0);
        return false;
    }
    return true;
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
    FileDescriptor pinned(pinProcess(pid));
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
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        struct stat status = {};
        if (runtime && runtime[0] == '/' && stat(runtime, &status) == 0 && S_ISDIR(status.st_mode))
            directory = std::filesystem::path(runtime) / "kestrio";
        else
            directory = "/tmp/kestrio-" + std::to_string(geteuid());
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
        const FileDescriptor directory = openPrivateDirectory(directory_, Creation::create);
        if (!directory)
            return std::nullopt;
        const auto previous = readRecord(directory.get());
        if (!writeRecord(directory.get(), getpid()))
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
        const FileDescriptor directory = openPrivateDirectory(directory_, Creation::existingOnly);
        if (directory && readRecord(directory.get()) == getpid())
            unlinkat(directory.get(), recordName, 0);
    } catch (const std::exception&) {
    }
}

}  // namespace kestrio::platform
