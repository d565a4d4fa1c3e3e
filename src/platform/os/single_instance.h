#pragma once

#include <filesystem>
#include <optional>
#include <sys/types.h>

namespace kestrio::platform::os {

// Keeps one host per user running: a newer copy asks the copy it finds recorded to quit
// (SIGTERM), records itself instead and carries on without waiting for the older one to go.
//
// The record is the file kestrio.pid in a directory only this user may use. A recorded process
// is signalled only when it runs the same program file as this one, judged by /proc/<pid>/exe: a
// recycled pid of an unrelated process never matches, and process names are no help there (any
// program may call itself anything, and they are cut to 15 bytes). An older copy whose program
// file an upgrade replaced still counts: its link then ends in " (deleted)", which is ignored.
//
// Failures of any kind just mean no guard: nothing throws, nothing is reported.
class SingleInstance {
public:
    // Keeps the record in `directory`, which claim() creates (mode 0700) if missing. A directory
    // that is a symbolic link, is not owned by this user or is open to anyone else is left alone,
    // and the guard is off.
    explicit SingleInstance(std::filesystem::path directory);
    // $XDG_RUNTIME_DIR/kestrio when the runtime directory is set and exists, else
    // /tmp/kestrio-<uid>.
    static SingleInstance forCurrentUser();

    // Calls release().
    ~SingleInstance();

    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Records this process, after asking the previously recorded copy of this program, if it still
    // runs under this user, to quit. Returns the process that was asked.
    std::optional<pid_t> claim();
    // Removes the record if it still names this process; a newer copy's record stays.
    void release();

    const std::filesystem::path& directory() const { return directory_; }

private:
    std::filesystem::path directory_;
    bool claimed_ = false;
};

}  // namespace kestrio::platform::os
