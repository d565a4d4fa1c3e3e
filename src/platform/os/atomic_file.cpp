#include "platform/os/atomic_file.h"
#include "platform/os/unique_fd.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <vector>

namespace kestrio::platform::os {
namespace {

// Not ending in the file's own suffix, so that a temporary left by a crash is never taken for it.
constexpr std::string_view temporaryInfix = ".tmp-";

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

AtomicWriteResult replaceFileAtomically(const std::filesystem::path& file, std::string_view text, mode_t mode,
                                        const AtomicWriteHook& hook)
{
    AtomicWriteResult result;
    const auto reached = [&](AtomicWriteStep step) {
        if (!hook || hook(step))
            return true;
        result.error = ECANCELED;
        return false;
    };
    std::string temporary = file.string() + std::string(temporaryInfix) + "XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) {
        result.error = errno;
        return result;
    }
    if (!reached(AtomicWriteStep::temporaryCreated))
        return result;
    const std::size_t half = text.size() / 2;
    bool done = ::fchmod(fd.get(), mode) == 0 && writeAll(fd.get(), text.substr(0, half));
    if (done && !reached(AtomicWriteStep::partlyWritten))
        return result;
    done = done && writeAll(fd.get(), text.substr(half));
    if (done && !reached(AtomicWriteStep::written))
        return result;
    done = done && ::fsync(fd.get()) == 0;
    if (done && !reached(AtomicWriteStep::synced))
        return result;
    int error = done ? 0 : errno;
    // A failing close is a deferred write error on some file systems.
    if (!fd.close() && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), file.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        result.error = error;
        return result;
    }
    if (!reached(AtomicWriteStep::renamed))
        return result;
    result.folderSynced = syncFolder(file.parent_path());
    return result;
}

void removeStaleTemporaries(const std::filesystem::path& file)
{
    const std::string prefix = file.filename().string() + std::string(temporaryInfix);
    std::error_code error;
    std::filesystem::directory_iterator entries(file.parent_path(), error);
    std::vector<std::filesystem::path> stale;
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        if (entries->path().filename().string().starts_with(prefix))
            stale.push_back(entries->path());
    }
    for (const auto& path : stale)
        ::unlink(path.c_str());
}

bool syncFolder(const std::filesystem::path& folder)
{
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && ::fsync(fd.get()) == 0;
}

}  // namespace kestrio::platform::os
