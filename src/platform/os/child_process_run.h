#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kestrio::platform::os {

// How a program run by runChildProcess ended.
struct ChildProcessResult {
    enum class Outcome {
        exited,      // ended by itself: see exitStatus
        signalled,   // ended by a signal it did not expect
        timedOut,    // still running at the deadline; it and its process group were killed
        notStarted,  // the program could not be started (missing, not executable, no resources)
        broken,      // talking to it failed, or it wrote past the limit it was given; it was killed
    } outcome = Outcome::notStarted;
    int exitStatus = -1;
    int startError = 0;      // with notStarted: the errno that said why, when there was one
    std::string output;      // what it wrote to the streams captured, up to the limit
    bool outputCut = false;  // it wrote more than that; the rest was read and dropped
};

struct ChildProcessOptions {
    enum class Capture {
        errorOutput,      // standard error; standard output goes to /dev/null
        output,           // standard output; standard error goes to /dev/null
        outputAndErrors,  // both, into one stream
    };

    // Goes to its standard input, which is then closed. Empty: standard input is /dev/null.
    std::string_view input{};
    std::chrono::milliseconds timeout{30'000};
    // "NAME=value" entries in place of (or beside) this process's variables of the same names.
    std::vector<std::string> environment{};
    Capture capture = Capture::errorOutput;
    std::size_t outputLimit = 64 * 1024;
    // A program that writes past outputLimit is killed (outcome broken) rather than read to its end.
    bool stopAtLimit = false;
    // A program name without a slash is looked up on PATH; false takes it as a path.
    bool searchPath = true;
};

// Runs `program` with `arguments`, without a shell, in a process group of its own and with
// signals at their defaults. Blocks until the program has ended and closed the streams captured,
// or until `options.timeout` has passed.
//
// Thread-safe; no descriptor of this process leaks into the child. A program that stops reading
// early does not raise SIGPIPE here.
ChildProcessResult runChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                                   const ChildProcessOptions& options);

// The same with standard error captured, as most callers want it.
ChildProcessResult runChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                                   std::string_view input, std::chrono::milliseconds timeout,
                                   const std::vector<std::string>& environment = {});

// Starts `program` (looked up on PATH) with `arguments` and its standard streams on /dev/null,
// and leaves it running; `keepOpen`, when not -1, is inherited under its own number. Returns the
// child for stopChildProcess, or -1.
pid_t startChildProcess(const std::string& program, const std::vector<std::string>& arguments, int keepOpen = -1);

// Asks a child from startChildProcess to end (SIGTERM), kills it once `grace` has passed, and
// reaps it.
void stopChildProcess(pid_t pid, std::chrono::milliseconds grace);

// Starts `program` (looked up on PATH) in a session of its own, with its standard streams on
// /dev/null and signals at their defaults, and does not wait for it: it outlives the terminal
// this process was started from, and is reaped in the background. False when it could not be
// started.
bool startDetachedProcess(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace kestrio::platform::os
