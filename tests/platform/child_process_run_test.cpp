#include "platform/os/child_process_run.h"
#include "platform/platform_test.h"

#include <sstream>
#include <sys/wait.h>

namespace kestrio::platform::os {
namespace {

using Capture = ChildProcessOptions::Capture;
using Outcome = ChildProcessResult::Outcome;

TEST(ChildProcessRunTest, RunsToTheEndAndReportsHowItWent)
{
    static const std::string bigInput(1 << 20, 'x');
    const std::string both = "echo out; echo err >&2; exit 3";
    struct Case {
        std::string program, script;
        ChildProcessOptions options;
        Outcome outcome;
        int exitStatus;
        std::string output;
    } const cases[] = {
        {"sh", both, {}, Outcome::exited, 3, "err\n"},
        {"sh", both, {.capture = Capture::output}, Outcome::exited, 3, "out\n"},
        {"sh", both, {.capture = Capture::outputAndErrors}, Outcome::exited, 3, "out\nerr\n"},
        {"sh", "cat >&2", {.input = "hello\n"}, Outcome::exited, 0, "hello\n"},
        {"sh", "exit 0", {.input = bigInput}, Outcome::exited, 0, ""},
        {"sh", "printf '%s|%s|' \"$KESTRIO_ADDED\" \"$HOME\" >&2; readlink /proc/self/fd/0 >&2",
         {.environment = {"KESTRIO_ADDED=1", "HOME=/elsewhere"}}, Outcome::exited, 0, "1|/elsewhere|/dev/null\n"},
        {"sh", "head -c 100000 /dev/zero | tr '\\0' x >&2", {.outputLimit = 10}, Outcome::exited, 0, "xxxxxxxxxx"},
        // Its output alone must end the run, long before the deadline.
        {"sh", "exec yes >&2", {.timeout = 20s, .outputLimit = 10, .stopAtLimit = true}, Outcome::broken, -1, "y\ny\ny\ny\ny\n"},
        {"sh", "kill -TERM $$", {}, Outcome::signalled, -1, ""},
        {"/nonexistent/tool", "", {}, Outcome::notStarted, -1, ""},
        {"sh", "", {.searchPath = false}, Outcome::notStarted, -1, ""},
        {"", "", {}, Outcome::notStarted, -1, ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto result = runChildProcess(cases[i].program, {"-c", cases[i].script}, cases[i].options);
        EXPECT_EQ(result.outcome, cases[i].outcome);
        EXPECT_EQ(result.exitStatus, cases[i].exitStatus);
        EXPECT_EQ(result.output, cases[i].output);
        EXPECT_EQ(result.outputCut, cases[i].options.outputLimit == 10);
        EXPECT_EQ(result.startError, cases[i].outcome == Outcome::notStarted ? ENOENT : 0);
    }
    EXPECT_EQ(startChildProcess("/nonexistent/tool", {}), -1);
    EXPECT_FALSE(startDetachedProcess("/nonexistent/tool", {}));
}

TEST(ChildProcessRunTest, AProgramStillRunningAtTheDeadlineIsKilledWithWhatItStarted)
{
    const auto result = runChildProcess("sh", {"-c", "sleep 100000 & echo $$ $! >&2; wait"}, {.timeout = 300ms});
    EXPECT_EQ(result.outcome, Outcome::timedOut);
    std::istringstream pids(result.output);
    pid_t shell = 0, sleeper = 0;
    ASSERT_TRUE(pids >> shell >> sleeper) << result.output;
    EXPECT_EQ(waitpid(shell, nullptr, WNOHANG), -1) << "not reaped";
    // Gone, or a zombie left to whoever inherited it.
    EXPECT_TRUE(testing::eventually([&] {
        const std::string stat = test::readFile("/proc/" + std::to_string(sleeper) + "/stat");
        return stat.empty() || stat.compare(stat.rfind(')') + 1, 3, " Z ") == 0;
    })) << "the program's child survived";
    kill(sleeper, SIGKILL);
}

TEST(ChildProcessRunTest, ADetachedProcessLeadsItsOwnSessionWithDefaultSignalsAndIsReaped)
{
    test::TemporaryDirectory directory;
    const std::string record = (directory.path() / "record").string();
    // The streams are read before the group redirects them; the signal sets by the shell itself,
    // whose mask changes while it starts a command.
    const std::string script = "stdio=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); read -r stat < /proc/$$/stat; "
                               "set -- ${stat##*)}; { echo $$ $4; while IFS= read -r line; do case $line in "
                               "SigBlk:*|SigIgn:*) echo ${line#*:};; esac; done < /proc/$$/status; echo $stdio; } > '" +
                               record + ".new' && mv '" + record + ".new' '" + record + "'";
    // What this process happens to block or ignore must not carry over.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    signal(SIGHUP, SIG_IGN);
    const bool started = startDetachedProcess("sh", {"-c", script});
    signal(SIGHUP, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
    ASSERT_TRUE(started);

    std::istringstream fields(testing::takeRecord(record));
    std::string pid, session, streams;
    unsigned long long blockedSet = ~0ull, ignoredSet = ~0ull;
    fields >> pid >> session >> std::hex >> blockedSet >> ignoredSet >> std::ws;
    std::getline(fields, streams);
    EXPECT_EQ(session, pid);
    // Standard signals only: the C library may hold real-time ones of its own.
    EXPECT_EQ(blockedSet & 0x7fffffff, 0u);
    EXPECT_EQ(ignoredSet & 0x7fffffff, 0u);
    EXPECT_EQ(streams, "/dev/null /dev/null /dev/null");
    EXPECT_TRUE(testing::eventually([&] { return !std::filesystem::exists("/proc/" + pid); })) << "left a zombie";
}

}  // namespace
}  // namespace kestrio::platform::os
