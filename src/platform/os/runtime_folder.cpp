#include "platform/os/runtime_folder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace kestrio::platform::os {

std::filesystem::path runtimeFolder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat status = {};
    if (runtime && runtime[0] == '/' && ::stat(runtime, &status) == 0 && S_ISDIR(status.st_mode))
        return std::filesystem::path(runtime) / "kestrio";
    return "/tmp/kestrio-" + std::to_string(::geteuid());
}

UniqueFd openPrivateFolder(const std::filesystem::path& folder, bool create)
{
    if (folder.empty())
        return {};
    if (create && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return {};
    struct stat status = {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() ||
        (status.st_mode & 0777) != 0700)
        return {};
    return fd;
}

std::optional<std::filesystem::path> homeFolder()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home);
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry {};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir
        || !*found->pw_dir)
        return std::nullopt;
    return std::filesystem::path(found->pw_dir);
}

}  // namespace kestrio::platform::os
