#include "platform/linux/child_process_run.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace kestrio::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readFile;
using test::TemporaryDirectory;
using Capture = ChildProcessOptions::Capture;
using Outcome = ChildProcessResult::Outcome;

// Gone, or a zombie waiting for whoever inherited it. A signal takes effect a moment after it
// was sent, hence the wait.
bool endedSoon(pid_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    const fs::path stat = "/proc/" + std::to_string(pid) + "/stat";
    for (;;) {
        const std::string text = readFile(stat);
        const auto nameEnd = text.rfind(')');
        if (text.empty() || (nameEnd != std::string::npos && text.compare(nameEnd + 1, 3, " Z ") == 0))
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
}

// Gone altogether: reaped by its parent.
bool reapedSoon(pid_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (fs::exists("/proc/" + std::to_string(pid))) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

struct RunCase {
    const char* what;
    std::string program;
    std::string script;  // for sh -c
    ChildProcessOptions options;
    Outcome outcome;
    int exitStatus;
    std::string output;
    bool outputCut;
    int startError;
};

ChildProcessOptions with(Capture capture, std::string_view input = {}, std::vector<std::string> environment = {},
                         std::size_t limit = 64 * 1024, bool stopAtLimit = false, bool searchPath = true)
{
    ChildProcessOptions options;
    options.capture = capture;
    options.input = input;
    options.environment = std::move(environment);
    options.outputLimit = limit;
    options.stopAtLimit = stopAtLimit;
    options.searchPath = searchPath;
    options.timeout = 10min;
    return options;
}

TEST(ChildProcessRunTest, RunsToTheEndAndReportsHowItWent)
{
    static const std::string bigInput(1 << 20, 'x');
    const std::string bothStreams = "echo out; echo err >&2; exit 3";
    // Its output alone must end the run, long before the deadline.
    ChildProcessOptions stopping = with(Capture::output, {}, {}, 10, true);
    stopping.timeout = 20s;
    const RunCase cases[] = {
        {"standard error", "sh", bothStreams, with(Capture::errorOutput), Outcome::exited, 3, "err\n", false, 0},
        {"standard output", "sh", bothStreams, with(Capture::output), Outcome::exited, 3, "out\n", false, 0},
        {"both streams", "sh", bothStreams, with(Capture::outputAndErrors), Outcome::exited, 3, "out\nerr\n", false, 0},
        {"input", "sh", "cat >&2", with(Capture::errorOutput, "hello\n"), Outcome::exited, 0, "hello\n", false, 0},
        {"no input is /dev/null", "sh", "readlink /proc/self/fd/0", with(Capture::output), Outcome::exited, 0,
         "/dev/null\n", false, 0},
        {"input left unread", "sh", "exit 0", with(Capture::errorOutput, bigInput), Outcome::exited, 0, "", false, 0},
        {"environment", "sh", "printf '%s|%s' \"$KESTRIO_ADDED\" \"$HOME\"",
         with(Capture::output, {}, {"KESTRIO_ADDED=1", "HOME=/elsewhere"}), Outcome::exited, 0, "1|/elsewhere", false, 0},
        {"output cut", "sh", "head -c 100000 /dev/zero | tr '\\0' x", with(Capture::output, {}, {}, 10), Outcome::exited,
         0, "xxxxxxxxxx", true, 0},
        {"stopped at the limit", "sh", "exec yes", stopping, Outcome::broken, -1, "y\ny\ny\ny\ny\n", true, 0},
        {"signalled", "sh", "kill -TERM $$", with(Capture::errorOutput), Outcome::signalled, -1, "", false, 0},
        {"missing", "/nonexistent/tool", "", with(Capture::errorOutput), Outcome::notStarted, -1, "", false, ENOENT},
        {"not looked up on PATH", "sh", "", with(Capture::errorOutput, {}, {}, 10, false, false), Outcome::notStarted, -1,
         "", false, ENOENT},
        {"no program", "", "", with(Capture::errorOutput), Outcome::notStarted, -1, "", false, ENOENT},
    };
    for (const auto& run : cases) {
        SCOPED_TRACE(run.what);
        const std::vector<std::string> arguments =
            run.script.empty() ? std::vector<std::string>{} : std::vector<std::string>{"-c", run.script};
        const ChildProcessResult result = runChildProcess(run.program, arguments, run.options);
        EXPECT_EQ(result.outcome, run.outcome);
        EXPECT_EQ(result.exitStatus, run.exitStatus);
        EXPECT_EQ(result.output, run.output);
        EXPECT_EQ(result.outputCut, run.outputCut);
        EXPECT_EQ(result.startError, run.startError);
    }
}

TEST(ChildProcessRunTest, AProgramStillRunningAtTheDeadlineIsKilledWithWhatItStarted)
{
    // It reports its child, keeps the stream open through it and never ends.
    ChildProcessOptions options;
    options.timeout = 300ms;
    const ChildProcessResult result =
        runChildProcess("sh", {"-c", "sleep 100000 & echo $$ $! >&2; wait"}, options);
    EXPECT_EQ(result.outcome, Outcome::timedOut);
    std::istringstream pids(result.output);
    pid_t shell = 0;
    pid_t sleeper = 0;
    ASSERT_TRUE(pids >> shell >> sleeper) << result.output;
    EXPECT_TRUE(reapedSoon(shell));
    const bool sleeperEnded = endedSoon(sleeper);
    EXPECT_TRUE(sleeperEnded) << "the program's child survived";
    if (!sleeperEnded)
        kill(sleeper, SIGKILL);
}

constexpr unsigned long long standardSignals = (1ull << 31) - 1;

// A signal set from /proc/<pid>/status ("SigBlk:\t<hex>"), bit n - 1 standing for signal n.
unsigned long long signalBits(const std::string& status, const std::string& field)
{
    const auto at = status.find(field + ":\t");
    if (at == std::string::npos)
        return ~0ull;
    return std::stoull(status.substr(at + field.size() + 2, 16), nullptr, 16);
}

TEST(ChildProcessRunTest, ADetachedProcessLeadsItsOwnSessionWithDefaultSignalsAndIsReaped)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path record = directory.path() / "record";
    // The record appears in one step, once everything is written.
    // The streams are read first: the shell applies a group's redirection to itself. The signal
    // sets are read by the shell itself: while it starts a command, its own mask changes.
    const std::string script = "stdio=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); "
                               "{ cat /proc/$$/stat; echo; while IFS= read -r line; do case $line in "
                               "SigBlk:*|SigIgn:*) printf '%s\\n' \"$line\";; esac; done < /proc/$$/status; "
                               "echo \"$stdio\"; } > '" +
                               record.string() + ".new' && mv '" + record.string() + ".new' '" + record.string() + "'";

    // What this process happens to block or ignore must not carry over.
    sigset_t blocked;
    sigset_t previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
    struct sigaction ignore = {};
    struct sigaction previousAction = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, &previousAction);
    const bool started = startDetachedProcess("sh", {"-c", script});
    sigaction(SIGHUP, &previousAction, nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ASSERT_TRUE(started);

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!fs::exists(record) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    const std::string text = readFile(record);
    ASSERT_FALSE(text.empty());
    const std::string stat = text.substr(0, text.find('\n'));
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string state, parent, group, session;
    fields >> state >> parent >> group >> session;
    const std::string pid = stat.substr(0, stat.find(' '));
    EXPECT_EQ(session, pid);
    EXPECT_EQ(signalBits(text, "SigBlk") & standardSignals, 0u) << text;
    EXPECT_EQ(signalBits(text, "SigIgn") & standardSignals, 0u) << text;
    EXPECT_NE(text.find("/dev/null\n/dev/null\n/dev/null\n"), std::string::npos) << text;
    EXPECT_TRUE(reapedSoon(std::stoi(pid))) << "left a zombie";

    EXPECT_FALSE(startDetachedProcess("/nonexistent/tool", {}));
}

TEST(ChildProcessRunTest, AStartedChildKeepsTheDescriptorItWasGivenUntilStopped)
{
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    const pid_t pid =
        startChildProcess("sh", {"-c", "echo ready >&" + std::to_string(ends[1]) + "; exec sleep 100000"}, ends[1]);
    close(ends[1]);
    ASSERT_GT(pid, 0);
    char said[16] = {};
    EXPECT_EQ(read(ends[0], said, sizeof said), 6);
    EXPECT_STREQ(said, "ready\n");
    close(ends[0]);

    stopChildProcess(pid, 5s);
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH) << "not reaped";
    EXPECT_EQ(startChildProcess("/nonexistent/tool", {}), -1);
}

}  // namespace
}  // namespace kestrio::platform
