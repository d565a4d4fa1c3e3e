#include "platform/linux/child_process_run.h"
#include "platform/platform_test.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>

namespace kestrio::platform {
namespace {

using namespace std::chrono_literals;
using Capture = ChildProcessOptions::Capture;
using Outcome = ChildProcessResult::Outcome;

TEST(ChildProcessRunTest, RunsToTheEndAndReportsHowItWent)
{
    static const std::string bigInput(1 << 20, 'x');
    const std::string both = "echo out; echo err >&2; exit 3";
    struct Case {
        const char* what;
        std::string program, script;
        ChildProcessOptions options;
        Outcome outcome;
        int exitStatus;
        std::string output;
        bool cut = false;
        int startError = 0;
    };
    const Case cases[] = {
        {"standard error", "sh", both, {}, Outcome::exited, 3, "err\n"},
        {"standard output", "sh", both, {.capture = Capture::output}, Outcome::exited, 3, "out\n"},
        {"both streams", "sh", both, {.capture = Capture::outputAndErrors}, Outcome::exited, 3, "out\nerr\n"},
        {"input", "sh", "cat >&2", {.input = "hello\n"}, Outcome::exited, 0, "hello\n"},
        {"no input is /dev/null", "sh", "readlink /proc/self/fd/0 >&2", {}, Outcome::exited, 0, "/dev/null\n"},
        {"input left unread", "sh", "exit 0", {.input = bigInput}, Outcome::exited, 0, ""},
        {"environment", "sh", "printf '%s|%s' \"$KESTRIO_ADDED\" \"$HOME\" >&2",
         {.environment = {"KESTRIO_ADDED=1", "HOME=/elsewhere"}}, Outcome::exited, 0, "1|/elsewhere"},
        {"output cut", "sh", "head -c 100000 /dev/zero | tr '\\0' x >&2", {.outputLimit = 10}, Outcome::exited, 0,
         "xxxxxxxxxx", true},
        // Its output alone must end the run, long before the deadline.
        {"stopped at the limit", "sh", "exec yes >&2", {.timeout = 20s, .outputLimit = 10, .stopAtLimit = true},
         Outcome::broken, -1, "y\ny\ny\ny\ny\n", true},
        {"signalled", "sh", "kill -TERM $$", {}, Outcome::signalled, -1, ""},
        {"missing", "/nonexistent/tool", "", {}, Outcome::notStarted, -1, "", false, ENOENT},
        {"not looked up on PATH", "sh", "", {.searchPath = false}, Outcome::notStarted, -1, "", false, ENOENT},
        {"no program", "", "", {}, Outcome::notStarted, -1, "", false, ENOENT},
    };
    for (const auto& run : cases) {
        SCOPED_TRACE(run.what);
        const auto result = runChildProcess(run.program, {"-c", run.script}, run.options);
        EXPECT_EQ(result.outcome, run.outcome);
        EXPECT_EQ(result.exitStatus, run.exitStatus);
        EXPECT_EQ(result.output, run.output);
        EXPECT_EQ(result.outputCut, run.cut);
        EXPECT_EQ(result.startError, run.startError);
    }
}

// Gone, or a zombie left to whoever inherited it.
bool ended(pid_t pid)
{
    const std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.compare(stat.rfind(')') + 1, 3, " Z ") == 0;
}

TEST(ChildProcessRunTest, AProgramStillRunningAtTheDeadlineIsKilledWithWhatItStarted)
{
    const auto result = runChildProcess("sh", {"-c", "sleep 100000 & echo $$ $! >&2; wait"}, {.timeout = 300ms});
    EXPECT_EQ(result.outcome, Outcome::timedOut);
    std::istringstream pids(result.output);
    pid_t shell = 0, sleeper = 0;
    ASSERT_TRUE(pids >> shell >> sleeper) << result.output;
    EXPECT_EQ(waitpid(shell, nullptr, WNOHANG), -1) << "not reaped";
    EXPECT_TRUE(testing::eventually([&] { return ended(sleeper); })) << "the program's child survived";
    kill(sleeper, SIGKILL);
}

// A signal set from /proc/<pid>/status ("SigBlk:\t<hex>"), bit n - 1 standing for signal n.
unsigned long long standardSignals(const std::string& status, const std::string& field)
{
    const auto at = status.find(field + ":\t");
    return at == std::string::npos ? ~0ull : std::stoull(status.substr(at + field.size() + 2, 16), nullptr, 16) & 0x7fffffff;
}

TEST(ChildProcessRunTest, ADetachedProcessLeadsItsOwnSessionWithDefaultSignalsAndIsReaped)
{
    test::TemporaryDirectory directory;
    const std::string record = (directory.path() / "record").string();
    // The streams are read first: the shell applies a group's redirection to itself. The signal
    // sets are read by the shell itself: while it starts a command, its own mask changes.
    const std::string script = "stdio=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); "
                               "{ cat /proc/$$/stat; echo; while IFS= read -r line; do case $line in "
                               "SigBlk:*|SigIgn:*) printf '%s\\n' \"$line\";; esac; done < /proc/$$/status; "
                               "echo \"$stdio\"; } > '" + record + ".new' && mv '" + record + ".new' '" + record + "'";
    // What this process happens to block or ignore must not carry over.
    sigset_t blocked, previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
    struct sigaction ignore = {}, previousAction = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, &previousAction);
    const bool started = startDetachedProcess("sh", {"-c", script});
    sigaction(SIGHUP, &previousAction, nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ASSERT_TRUE(started);

    const std::string text = testing::takeRecord(record);
    std::istringstream fields(text.substr(text.find(')') + 1));
    std::string state, parent, group, session;
    fields >> state >> parent >> group >> session;
    const std::string pid = text.substr(0, text.find(' '));
    EXPECT_EQ(session, pid);
    EXPECT_EQ(standardSignals(text, "SigBlk"), 0u) << text;
    EXPECT_EQ(standardSignals(text, "SigIgn"), 0u) << text;
    EXPECT_NE(text.find("/dev/null\n/dev/null\n/dev/null\n"), std::string::npos) << text;
    EXPECT_TRUE(testing::eventually([&] { return !std::filesystem::exists("/proc/" + pid); })) << "left a zombie";
    EXPECT_FALSE(startDetachedProcess("/nonexistent/tool", {}));
}

TEST(ChildProcessRunTest, AStartedChildKeepsTheDescriptorItWasGivenUntilStopped)
{
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    const pid_t pid = startChildProcess("sh", {"-c", "echo ready >&" + std::to_string(ends[1]) + "; exec sleep 100000"}, ends[1]);
    close(ends[1]);
    ASSERT_GT(pid, 0);
    char said[16] = {};
    EXPECT_EQ(read(ends[0], said, sizeof said), 6);
    close(ends[0]);
    stopChildProcess(pid, 5s);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << "not reaped";
    EXPECT_EQ(startChildProcess("/nonexistent/tool", {}), -1);
}

}  // namespace
}  // namespace kestrio::platform
