#include "platform/os/xdg_autostart.h"

#include "platform/os/atomic_file.h"
#include "platform/os/desktop_entry.h"
#include "platform/os/runtime_folder.h"
#include "platform/os/unique_fd.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kestrio::platform::os {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view mainGroup = "Desktop Entry";
constexpr mode_t newEntryMode = 0644;

std::string failure(std::string_view what, const fs::path& path, int error)
{
    return std::string(what) + " " + path.string() + ": " + std::generic_category().message(error);
}

// Like mkdir -p; the folders it makes are private to the user, as the base-directory rules ask.
// Returns the errno of the step that failed, or 0.
int makeFolders(const fs::path& folder)
{
    struct stat status {};
    if (::stat(folder.c_str(), &status) == 0)
        return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT)
        return errno;
    if (folder.has_relative_path() && folder.parent_path() != folder) {
        if (int error = makeFolders(folder.parent_path()))
            return error;
    }
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST)
        return 0;
    return errno;
}

// What stands at the entry's path now.
struct ExistingEntry {
    bool exists = false;
    std::string text;
    mode_t mode = newEntryMode;
};

// An error text when something is there that cannot be read as a file.
std::optional<std::string> readExisting(const fs::path& path, ExistingEntry& found)
{
    // O_NONBLOCK so that a FIFO in the entry's place cannot hang the caller.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        // ENOTDIR: a file where the folder should be, so there is no entry either.
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        return failure("cannot read", path, errno);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0)
        return failure("cannot read", path, errno);
    if (S_ISDIR(status.st_mode))
        return failure("cannot read", path, EISDIR);
    if (!S_ISREG(status.st_mode))
        return "cannot read " + path.string() + ": not a regular file";
    std::string text;
    char buffer[8192];
    for (;;) {
        ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return failure("cannot read", path, errno);
        }
        if (got == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    found.exists = true;
    found.text = std::move(text);
    found.mode = status.st_mode & 0777;
    return std::nullopt;
}

std::optional<std::string> replaceFile(const fs::path& path, std::string_view text, mode_t mode)
{
    // Should only the folder flush fail, the new entry is in place all the same, and status()
    // says so: reporting a failure would contradict it.
    const AtomicWriteResult result = replaceFileAtomically(path, text, mode);
    if (!result.replaced())
        return failure("cannot write", path, result.error);
    return std::nullopt;
}

}  // namespace

std::optional<fs::path> XdgAutostart::defaultFolder()
{
    try {
        // Relative values are invalid for XDG variables and are ignored.
        if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
            return fs::path(config) / "autostart";
        if (auto home = homeFolder())
            return *home / ".config" / "autostart";
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<fs::path> XdgAutostart::runningExecutable()
{
    try {
        std::error_code error;
        std::string path = fs::read_symlink("/proc/self/exe", error).string();
        if (error || path.empty())
            return std::nullopt;
        // A program replaced while it runs (an upgrade) reads as "<path> (deleted)"; what
        // should start next time is its successor at the same path.
        constexpr std::string_view deleted = " (deleted)";
        struct stat status {};
        if (path.ends_with(deleted) && ::stat(path.c_str(), &status) != 0)
            path.resize(path.size() - deleted.size());
        return fs::path(path);
    } catch (...) {
        return std::nullopt;
    }
}

XdgAutostart::XdgAutostart()
    : XdgAutostart(defaultFolder().value_or(fs::path()), runningExecutable().value_or(fs::path()))
{
}

XdgAutostart::XdgAutostart(fs::path folder, fs::path executable)
    : folder_(std::move(folder))
    , executable_(std::move(executable))
{
    // A trailing slash would give the folder an empty file name and confuse parent_path().
    if (folder_.has_relative_path() && !folder_.has_filename())
        folder_ = folder_.parent_path();
}

fs::path XdgAutostart::entryPath() const
{
    return folder_.empty() ? fs::path() : folder_ / entryName;
}

model::LoginItemService::Status XdgAutostart::status()
{
    try {
        if (folder_.empty())
            return Status::notRegistered;
        ExistingEntry existing;
        if (readExisting(entryPath(), existing) || !existing.exists)
            return Status::notRegistered;
        auto entry = DesktopEntry::parse(existing.text);
        if (!entry || entry->firstGroup() != mainGroup || entry->stringValue(mainGroup, "Type") != "Application"
            || entry->stringValue(mainGroup, "Exec").value_or("").empty())
            return Status::notRegistered;
        if (entry->boolValue(mainGroup, "Hidden") == true)
            return Status::notRegistered;
        if (entry->hasKey(mainGroup, "X-GNOME-Autostart-enabled")
            && entry->boolValue(mainGroup, "X-GNOME-Autostart-enabled") != true)
            return Status::notRegistered;
        return Status::enabled;
    } catch (...) {
        return Status::notRegistered;
    }
}

std::optional<std::string> XdgAutostart::registerItem()
{
    try {
        if (folder_.empty())
            return "cannot start Kestrio at login: no autostart folder, as neither XDG_CONFIG_HOME nor a home "
                   "folder is known";
        if (executable_.empty())
            return "cannot start Kestrio at login: the program's own path is unknown";
        const fs::path path = entryPath();
        const std::string exec = quoteExecArgument(executable_.native());

        if (int error = makeFolders(folder_))
            return failure("cannot create the folder", folder_, error);
        ExistingEntry existing;
        if (auto problem = readExisting(path, existing))
            return problem;

        DesktopEntry entry;
        if (existing.exists) {
            if (auto parsed = DesktopEntry::parse(existing.text))
                entry = std::move(*parsed);
        }
        entry.makeFirstGroup(mainGroup);
        // Hidden means "deleted" whatever its value, and some desktops read values such as
        // "yes" as true: only its absence is sure to leave the entry on.
        entry.remove(mainGroup, "Hidden");

        struct Setting {
            std::string_view key;
            std::string_view value;
            // Ours are set every time; the rest only fill in what is missing.
            bool ours;
        };
        const Setting settings[] = {
            {"Type", "Application", true},
            {"Name", "Kestrio", true},
            {"Name[ko]", "Kestrio", false},
            {"Comment", "Use your phone as a second screen", false},
            {"Comment[ko]", "휴대폰을 두 번째 화면으로 사용", false},
            {"Exec", exec, true},
            {"Icon", "kestrio", true},
            {"Terminal", "false", true},
            {"Categories", "Utility;", false},
            {"X-GNOME-Autostart-enabled", "true", true},
        };
        for (const Setting& setting : settings) {
            if (!setting.ours && entry.hasKey(mainGroup, setting.key))
                continue;
            if (!entry.setString(mainGroup, setting.key, setting.value))
                return "cannot start Kestrio at login: its path is not UTF-8, which a desktop entry cannot hold";
        }

        removeStaleTemporaries(path);
        return replaceFile(path, entry.text(), existing.mode);
    } catch (const std::bad_alloc&) {
        return "cannot start Kestrio at login: out of memory";
    } catch (const std::exception& error) {
        return std::string("cannot start Kestrio at login: ") + error.what();
    }
}

std::optional<std::string> XdgAutostart::unregisterItem()
{
    try {
        if (folder_.empty())
            return std::nullopt;
        const fs::path path = entryPath();
        if (::unlink(path.c_str()) != 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                return std::nullopt;
            return failure("cannot remove", path, errno);
        }
        syncFolder(folder_);
        return std::nullopt;
    } catch (const std::exception& error) {
        return std::string("cannot stop Kestrio starting at login: ") + error.what();
    }
}

}  // namespace kestrio::platform::os
