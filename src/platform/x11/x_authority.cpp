#include "platform/x11/x_authority.h"

#include <X11/Xauth.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrio::platform::x11 {
namespace {

// A folder of this user's alone: owned by them, of mode 0700, and not a symbolic link.
bool isPrivateFolder(const std::string& folder)
{
    struct stat status = {};
    return lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == geteuid() &&
           (status.st_mode & 0777) == 0700;
}

// $XDG_RUNTIME_DIR/kestrio when the session has a runtime folder and ours in it is private, else
// a fresh folder under /tmp; empty when neither can be had.
std::string privateFolder(std::string& error)
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
        struct stat status = {};
        if (stat(runtime, &status) == 0 && S_ISDIR(status.st_mode)) {
            std::string folder = std::string(runtime) + "/kestrio";
            if ((mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) && isPrivateFolder(folder))
                return folder;
        }
    }
    char folder[] = "/tmp/kestrio-xauth-XXXXXX";
    if (!mkdtemp(folder)) {
        error = std::string("cannot make a private folder for the X authority: ") + std::strerror(errno);
        return {};
    }
    return folder;
}

bool randomCookie(XAuthority::Cookie& cookie)
{
    for (;;) {
        const ssize_t got = getrandom(cookie.data(), cookie.size(), 0);
        if (got == static_cast<ssize_t>(cookie.size()))
            return true;
        if (got >= 0 || errno != EINTR)
            return false;
    }
}

// One entry for any address and any display number: the server takes every cookie in its file,
// and clients match it whatever display they ask for.
bool writeEntry(int fd, const XAuthority::Cookie& cookie)
{
    FILE* stream = fdopen(fd, "wb");
    if (!stream) {
        close(fd);
        return false;
    }
    std::string name = XAuthority::protocolName;
    char empty[] = "";
    Xauth entry{};
    entry.family = FamilyWild;
    entry.address = empty;
    entry.number = empty;
    entry.name = name.data();
    entry.name_length = static_cast<unsigned short>(name.size());
    entry.data = reinterpret_cast<char*>(const_cast<std::uint8_t*>(cookie.data()));
    entry.data_length = static_cast<unsigned short>(cookie.size());
    bool written = XauWriteAuth(stream, &entry) == 1 && std::fflush(stream) == 0 && fsync(fileno(stream)) == 0;
    written = std::fclose(stream) == 0 && written;
    return written;
}

}  // namespace

std::unique_ptr<XAuthority> XAuthority::create(std::string& error)
{
    Cookie cookie{};
    if (!randomCookie(cookie)) {
        error = std::string("cannot make a random X cookie: ") + std::strerror(errno);
        return nullptr;
    }
    std::string folder = privateFolder(error);
    if (folder.empty())
        return nullptr;
    std::string file = folder + "/xauth-XXXXXX";
    // mkostemp makes the file of mode 0600 and refuses one that exists.
    const int fd = mkostemp(file.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot make the X authority file in " + folder + ": " + std::strerror(errno);
        rmdir(folder.c_str());
        return nullptr;
    }
    if (!writeEntry(fd, cookie)) {
        error = "cannot write the X authority file " + file;
        unlink(file.c_str());
        rmdir(folder.c_str());
        return nullptr;
    }
    return std::unique_ptr<XAuthority>(new XAuthority(std::move(folder), std::move(file), cookie));
}

XAuthority::~XAuthority()
{
    unlink(file_.c_str());
    // Only when empty: $XDG_RUNTIME_DIR/kestrio holds other records of this user's copies too.
    rmdir(folder_.c_str());
}

}  // namespace kestrio::platform::x11
