#include "platform/linux/child_process_run.h"
#include "platform/linux/single_instance.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kestrio::platform {
namespace {

using test::readFile;
using test::ScopedEnvironment;
using test::TemporaryDirectory;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* pretendHostDirectoryVariable = "KESTRIO_TEST_PRETEND_HOST_DIRECTORY";
constexpr const char* pretendHostReadyVariable = "KESTRIO_TEST_PRETEND_HOST_READY_FD";

// Started with the variables above, this test program is a pretend host instead: it claims the
// directory, writes the pid it asked to quit (0 for none) to the descriptor, and waits for
// SIGTERM, on which it releases and exits 0. Without SIGTERM it stays up, until its parent goes.
[[maybe_unused]] const bool pretendHostRan = [] {
    const char* directory = std::getenv(pretendHostDirectoryVariable);
    const char* ready = std::getenv(pretendHostReadyVariable);
    if (!directory || !ready)
        return false;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    sigprocmask(SIG_BLOCK, &terminate, nullptr);
    {
        SingleInstance instance{fs::path(directory)};
        const std::string asked = std::to_string(instance.claim().value_or(0)) + "\n";
        if (write(std::atoi(ready), asked.data(), asked.size()) != static_cast<ssize_t>(asked.size()))
            std::_Exit(2);
        int received = 0;
        sigwait(&terminate, &received);
    }
    std::_Exit(0);
}();

std::string record(pid_t pid)
{
    return std::to_string(pid) + "\n";
}

// Starts `program` (a copy of this test program) as a pretend host of `directory`; returns its
// pid and the pid its claim asked to quit, once it has claimed.
std::pair<pid_t, pid_t> startPretendHost(const fs::path& directory, const fs::path& program)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return {-1, 0};
    ScopedEnvironment folder(pretendHostDirectoryVariable, directory.string());
    ScopedEnvironment ready(pretendHostReadyVariable, std::to_string(ends[1]));
    const pid_t pid = startChildProcess(program.string(), {}, ends[1]);
    close(ends[1]);
    char said[32] = {};
    const bool claimed = pid > 0 && read(ends[0], said, sizeof said - 1) > 0;
    close(ends[0]);
    return {claimed ? pid : -1, static_cast<pid_t>(std::atol(said))};
}

// Reaps `pid` once it has ended by itself; false when it still runs after a generous bound.
bool endsSoon(pid_t pid, int& status)
{
    for (const auto deadline = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < deadline;) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

TEST(SingleInstanceTest, ANewerCopyAsksTheRunningOneToQuitAndTakesOverThoughAnUpgradeReplacedTheProgram)
{
    TemporaryDirectory directory, installation;
    ASSERT_FALSE(directory.path().empty() || installation.path().empty());
    const fs::path program = installation.path() / "kestrio", pidFile = directory.path() / "kestrio.pid";
    fs::copy_file("/proc/self/exe", program);
    const auto [older, none] = startPretendHost(directory.path(), program);
    ASSERT_GT(older, 0);
    EXPECT_EQ(none, 0);
    EXPECT_EQ(readFile(pidFile), record(older));

    // The package manager writes the new version beside the old one and renames it over it.
    fs::copy_file("/proc/self/exe", installation.path() / "kestrio.new");
    fs::rename(installation.path() / "kestrio.new", program);
    const auto [newer, asked] = startPretendHost(directory.path(), program);
    ASSERT_GT(newer, 0);
    EXPECT_EQ(asked, older);
    int status = 0;
    EXPECT_TRUE(endsSoon(older, status) && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "older copy: " << status;
    // The older copy released on its way out; the record names the newer one still, and nothing
    // is left over from writing it.
    EXPECT_EQ(readFile(pidFile), record(newer));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path()), fs::directory_iterator()), 1);
    stopChildProcess(newer, 10s);
    EXPECT_FALSE(fs::exists(pidFile));
}

TEST(SingleInstanceTest, RecordsNamingNoOtherCopyAreReplacedWithoutSignallingAnyone)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path pidFile = directory.path() / "kestrio.pid";
    // A copy that has ended, an unrelated process, this process itself, and text that is no pid.
    const pid_t dead = startChildProcess("true", {});
    int status = 0;
    ASSERT_TRUE(dead > 0 && endsSoon(dead, status));
    const pid_t unrelated = startChildProcess("sleep", {"1000"});
    ASSERT_GT(unrelated, 0);
    for (const std::string& content : {record(dead), record(unrelated), record(getpid()), std::string("not a pid\n"),
                                       std::string("-1\n"), std::string("12abc\n"), std::string()}) {
        std::ofstream(pidFile) << content;
        SingleInstance instance(directory.path());
        EXPECT_EQ(instance.claim(), std::nullopt) << content;
        EXPECT_EQ(readFile(pidFile), record(getpid())) << content;
    }
    // The kernel records the first fatal signal: SIGTERM, had the unrelated process been sent one.
    kill(unrelated, SIGKILL);
    ASSERT_EQ(waitpid(unrelated, &status, 0), unrelated);
    EXPECT_EQ(WTERMSIG(status), SIGKILL) << "the unrelated process was signalled";

    // Release removes only this process's record, and only once it claimed.
    {
        SingleInstance instance(directory.path());
        instance.claim();
        std::ofstream(pidFile) << record(1);  // a newer copy has taken over meanwhile
    }
    EXPECT_EQ(readFile(pidFile), record(1));
    { SingleInstance(directory.path()).claim(); }
    EXPECT_FALSE(fs::exists(pidFile));
    std::ofstream(pidFile) << record(getpid());
    { SingleInstance instance(directory.path()); }
    EXPECT_TRUE(fs::exists(pidFile));
}

TEST(SingleInstanceTest, OnlyADirectoryOfThisUsersAloneIsUsed)
{
    TemporaryDirectory parent;
    ASSERT_FALSE(parent.path().empty());
    const fs::path missing = parent.path() / "missing";
    EXPECT_EQ(SingleInstance(missing).claim(), std::nullopt);
    struct stat status = {};
    ASSERT_EQ(stat(missing.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode) && (status.st_mode & 0777) == 0700 && status.st_uid == geteuid());

    const fs::path open = parent.path() / "open", link = parent.path() / "link", target = parent.path() / "target",
                   file = parent.path() / "file", foreign = parent.path() / "foreign";
    ASSERT_EQ(mkdir(open.c_str(), 0700) | chmod(open.c_str(), 0755) | mkdir(target.c_str(), 0700) |
                  mkdir(foreign.c_str(), 0700),
              0);
    fs::create_directory_symlink(target, link);
    std::ofstream(file) << "";
    std::vector<fs::path> refused{open, link, file};
    // Only a privileged test run can give a directory to someone else.
    if (chown(foreign.c_str(), 65534, 65534) == 0)
        refused.push_back(foreign);
    for (const auto& directory : refused) {
        EXPECT_EQ(SingleInstance(directory).claim(), std::nullopt) << directory;
        std::error_code error;
        EXPECT_FALSE(fs::exists(directory / "kestrio.pid", error) || fs::exists(target / "kestrio.pid", error)) << directory;
    }
    EXPECT_EQ(readFile(file), "");

    // The runtime directory when there is a usable one.
    {
        ScopedEnvironment variable("XDG_RUNTIME_DIR", parent.path().c_str());
        EXPECT_EQ(SingleInstance::forCurrentUser().directory(), parent.path() / "kestrio");
    }
    for (const char* unusable : {static_cast<const char*>(nullptr), "", "relative/run", "/nonexistent/kestrio-runtime"}) {
        ScopedEnvironment variable("XDG_RUNTIME_DIR", unusable);
        EXPECT_EQ(SingleInstance::forCurrentUser().directory(), "/tmp/kestrio-" + std::to_string(geteuid()))
            << (unusable ? unusable : "(unset)");
    }
}

}  // namespace
}  // namespace kestrio::platform
