#pragma once

#include "platform/os/child_process_run.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace kestrio::platform {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readFile;
}  // namespace kestrio::platform

namespace kestrio::platform::testing {

// Polls `condition` until it holds or `limit` has passed: real processes and daemons keep their own time.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// What a program writes to `path` in one step (to "<path>.new", then renamed), once it is there;
// the file is taken away for the next one.
inline std::string takeRecord(const fs::path& path)
{
    eventually([&] { return fs::exists(path); });
    std::string text = readFile(path);
    fs::remove(path);
    return text;
}

inline void writeScript(const fs::path& path, const std::string& body)
{
    std::ofstream(path) << "#!/bin/sh\n" << body;
    fs::permissions(path, fs::perms::owner_all);
}

// The permission bits of `path`; 01000 when there is nothing there.
inline mode_t fileMode(const fs::path& path)
{
    struct stat status = {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 0777 : 01000;
}

struct ChildStopper {
    pid_t pid;
    ~ChildStopper() { os::stopChildProcess(pid, std::chrono::seconds(10)); }
};

}  // namespace kestrio::platform::testing
