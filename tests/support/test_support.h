#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrio::test {

// A fresh directory under the system's temporary one (empty path if none could be made), removed with all it holds.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets an environment variable (removes it, for no value) until the end of the scope, then puts back what was there.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value);
    ScopedEnvironment(const char* name, const std::string& value) : ScopedEnvironment(name, value.c_str()) {}
    ScopedEnvironment(const char* name, const std::optional<std::string>& value) : ScopedEnvironment(name, value ? value->c_str() : nullptr) {}
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// The whole file; empty when it cannot be read (as a /proc file of a process just gone).
std::string readFile(const std::filesystem::path& path);

// The names of what `folder` holds.
std::set<std::string> fileNames(const std::filesystem::path& folder);

// A 16 KiB file system on `folder` (made when missing) while this lives; not mounted() without privileges.
class SmallDisk {
public:
    explicit SmallDisk(std::filesystem::path folder);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    // Takes up what room is left with a file named "filler".
    void fill() const;
    // Mounts it again, refusing writes or taking them (as root, file modes would refuse nothing).
    bool setReadOnly(bool readOnly) const;

private:
    std::filesystem::path folder_;
    bool mounted_ = false;
};

// Whether `check` holds for a user to whom file modes apply (as root: as "nobody", given `owned` first).
bool holdsForAnUnprivilegedUser(const std::vector<std::filesystem::path>& owned, const std::function<bool()>& check);

}  // namespace kestrio::test
