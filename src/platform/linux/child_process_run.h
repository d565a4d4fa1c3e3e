#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::platform {

// How a program run by runChildProcess ended.
struct ChildProcessResult {
    enum class Outcome {
        exited,      // ended by itself: see exitStatus
        signalled,   // ended by a signal it did not expect
        timedOut,    // still running at the deadline; it and its process group were killed
        notStarted,  // the program could not be started (missing, not executable, no resources)
        broken,      // talking to it failed; it was killed
    } outcome = Outcome::notStarted;
    int exitStatus = -1;
    std::string errorOutput;  // its standard error, cut off after some tens of kilobytes
};

// Runs `program` (a path, or a name looked up on PATH) with `arguments`, without a shell, in a
// process group of its own and with signals at their defaults. `input` goes to its standard
// input, which is then closed; its standard output goes to /dev/null. Blocks until the program
// has ended and closed its standard error, or until `timeout` has passed.
//
// The child gets this process's environment, with `environment`'s "NAME=value" entries in place
// of (or beside) the variables of the same names.
//
// Thread-safe; no descriptor of this process leaks into the child. A program that stops reading
// early does not raise SIGPIPE here.
ChildProcessResult runChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                                   std::string_view input, std::chrono::milliseconds timeout,
                                   const std::vector<std::string>& environment = {});

}  // namespace kestrio::platform
