#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrio::test {

// A fresh directory under the system's temporary directory, removed with all it holds.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    // Empty when the directory could not be made.
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets an environment variable (removes it, for a null or absent value) until the end of the
// scope, then puts back what was there.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value);
    ScopedEnvironment(const char* name, const std::string& value) : ScopedEnvironment(name, value.c_str()) {}
    ScopedEnvironment(const char* name, const std::optional<std::string>& value)
        : ScopedEnvironment(name, value ? value->c_str() : nullptr)
    {
    }
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// The whole file; empty when it cannot be read (as when the process a /proc file describes has
// just gone).
std::string readFile(const std::filesystem::path& path);

// The names of what `folder` holds.
std::set<std::string> fileNames(const std::filesystem::path& folder);

// A 16 KiB file system of its own on `folder` (made when missing) for as long as this object
// lives. Mounting needs a privileged test run: without one, mounted() is false.
class SmallDisk {
public:
    explicit SmallDisk(std::filesystem::path folder);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    // Takes up what room is left with a file named "filler".
    void fill() const;

private:
    std::filesystem::path folder_;
    bool mounted_ = false;
};

// Whether `check` holds when run as a user for whom file modes count. As root, who reads and
// writes anything, it runs in a child process as "nobody", to whom `owned` are given first.
bool holdsForAnUnprivilegedUser(const std::vector<std::filesystem::path>& owned, const std::function<bool()>& check);

}  // namespace kestrio::test
