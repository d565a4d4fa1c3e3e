#include "support/test_support.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrio::test {

TemporaryDirectory::TemporaryDirectory()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrio-test-XXXXXX").string();
    if (mkdtemp(pattern.data()))
        path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {
void put(const char* name, const char* value) { value ? setenv(name, value, 1) : unsetenv(name); }
}  // namespace

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : name_(name)
{
    if (const char* old = std::getenv(name))
        old_ = old;
    put(name, value);
}

ScopedEnvironment::~ScopedEnvironment() { put(name_.c_str(), old_ ? old_->c_str() : nullptr); }

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::set<std::string> fileNames(const std::filesystem::path& folder)
{
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        names.insert(entry.path().filename().string());
    return names;
}

SmallDisk::SmallDisk(std::filesystem::path folder) : folder_(std::move(folder))
{
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    mounted_ = mount("tmpfs", folder_.c_str(), "tmpfs", 0, "size=16k,mode=0700") == 0;
}

SmallDisk::~SmallDisk()
{
    if (mounted_)
        umount2(folder_.c_str(), MNT_DETACH);
}

void SmallDisk::fill() const
{
    std::ofstream filler(folder_ / "filler", std::ios::binary);
    const std::string block(1024, 'x');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())))
        filler.flush();
}

bool SmallDisk::setReadOnly(bool readOnly) const
{
    return mount("tmpfs", folder_.c_str(), "tmpfs", MS_REMOUNT | (readOnly ? MS_RDONLY : 0), "size=16k,mode=0700") == 0;
}

bool holdsForAnUnprivilegedUser(const std::vector<std::filesystem::path>& owned, const std::function<bool()>& check)
{
    if (geteuid() != 0)
        return check();
    constexpr uid_t nobody = 65534;
    for (const auto& path : owned)
        if (lchown(path.c_str(), nobody, nobody) != 0 && errno != ENOENT)
            return false;
    const pid_t child = fork();
    if (child == 0)
        _exit(setgid(nobody) == 0 && setuid(nobody) == 0 && check() ? 0 : 1);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace kestrio::test
