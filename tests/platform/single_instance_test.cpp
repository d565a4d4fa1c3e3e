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
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kestrio::platform {
namespace {

using test::ScopedEnvironment;
using test::readFile;

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
        const int readyFd = std::atoi(ready);
        if (write(readyFd, asked.data(), asked.size()) != static_cast<ssize_t>(asked.size()))
            std::_Exit(2);
        close(readyFd);
        int received = 0;
        sigwait(&terminate, &received);
    }
    std::_Exit(0);
}();

using test::TemporaryDirectory;

std::string record(pid_t pid)
{
    return std::to_string(pid) + "\n";
}

// A child process, killed and reaped with the object unless it was reaped before.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    pid_t pid() const { return pid_; }

    // How it ended, reaping it; nothing when it was still running when the bound ran out.
    std::optional<int> waitForEnd(std::chrono::milliseconds bound)
    {
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd < 0)
            return std::nullopt;
        pollfd entry{pidfd, POLLIN, 0};
        const int ready = poll(&entry, 1, static_cast<int>(bound.count()));
        close(pidfd);
        int status = 0;
        if (ready != 1 || waitpid(pid_, &status, 0) != pid_)
            return std::nullopt;
        pid_ = -1;
        return status;
    }

    // Kills it with SIGKILL and says which signal it died of: SIGTERM if it had been sent one
    // before, as the kernel records the first fatal signal.
    int killAndReap()
    {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }

protected:
    pid_t pid_ = -1;
};

class PretendHost : public ChildProcess {
public:
    // Returns once the pretend host has claimed `directory`, or has failed to start. `program` is
    // a copy of this test program.
    explicit PretendHost(const fs::path& directory, const fs::path& program = "/proc/self/exe")
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry)
            environment.emplace_back(*entry);
        environment.push_back(std::string(pretendHostDirectoryVariable) + "=" + directory.string());
        environment.push_back(std::string(pretendHostReadyVariable) + "=" + std::to_string(fds[1]));
        std::vector<char*> envp;
        for (auto& entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string path = program.string();
        char* const argv[] = {path.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], fds[1]);
        if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        std::string report;
        pollfd entry{fds[0], POLLIN, 0};
        while (pid_ > 0 && report.find('\n') == std::string::npos && poll(&entry, 1, 20000) == 1) {
            char buffer[32];
            const ssize_t count = read(fds[0], buffer, sizeof buffer);
            if (count <= 0)
                break;
            report.append(buffer, static_cast<std::size_t>(count));
        }
        close(fds[0]);
        if (report.find('\n') != std::string::npos) {
            ready_ = true;
            askedToQuit_ = static_cast<pid_t>(std::stol(report));
        }
    }

    bool ready() const { return ready_; }
    // What its claim() returned; 0 for nothing.
    pid_t askedToQuit() const { return askedToQuit_; }

private:
    bool ready_ = false;
    pid_t askedToQuit_ = 0;
};

class Sleeper : public ChildProcess {
public:
    Sleeper()
    {
        std::string program = "sleep";
        std::string duration = "1000";
        char* const argv[] = {program.data(), duration.data(), nullptr};
        if (posix_spawnp(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0)
            pid_ = -1;
    }
};

// A pid that no process has: one of a child that has been reaped.
pid_t deadPid()
{
    std::string program = "true";
    char* const argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0)
        return -1;
    waitpid(pid, nullptr, 0);
    return pid;
}

TEST(SingleInstanceTest, ANewerCopyAsksTheRunningOneToQuitAndTakesOver)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    PretendHost older(directory.path());
    ASSERT_TRUE(older.ready());
    const fs::path pidFile = directory.path() / "kestrio.pid";
    ASSERT_EQ(readFile(pidFile), record(older.pid()));

    SingleInstance newer(directory.path());
    EXPECT_EQ(newer.claim(), older.pid());
    EXPECT_EQ(readFile(pidFile), record(getpid()));

    const auto status = older.waitForEnd(20s);
    ASSERT_TRUE(status) << "the older copy is still running";
    EXPECT_TRUE((WIFEXITED(*status) && WEXITSTATUS(*status) == 0) || (WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM))
        << "status " << *status;
    // The older copy released on its way out; the record names the newer one still.
    EXPECT_EQ(readFile(pidFile), record(getpid()));
    // Nothing is left over from writing the record.
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path()), fs::directory_iterator()), 1);

    newer.release();
    EXPECT_FALSE(fs::exists(pidFile));
}

TEST(SingleInstanceTest, ACopyWhoseProgramFileAnUpgradeReplacedStillCounts)
{
    TemporaryDirectory directory;
    TemporaryDirectory installation;
    ASSERT_FALSE(directory.path().empty());
    ASSERT_FALSE(installation.path().empty());
    const fs::path program = installation.path() / "kestrio";
    fs::copy_file("/proc/self/exe", program);
    PretendHost older(directory.path(), program);
    ASSERT_TRUE(older.ready());

    // The package manager writes the new version beside the old one and renames it over it.
    fs::copy_file("/proc/self/exe", installation.path() / "kestrio.new");
    fs::rename(installation.path() / "kestrio.new", program);
    PretendHost newer(directory.path(), program);
    ASSERT_TRUE(newer.ready());
    EXPECT_EQ(newer.askedToQuit(), older.pid());
    EXPECT_TRUE(older.waitForEnd(20s)) << "the older copy is still running";
    EXPECT_EQ(readFile(directory.path() / "kestrio.pid"), record(newer.pid()));
}

TEST(SingleInstanceTest, RecordsNamingNoOtherCopyAreReplacedWithoutSignallingAnyone)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path pidFile = directory.path() / "kestrio.pid";

    const pid_t dead = deadPid();
    ASSERT_GT(dead, 0);
    // This process itself, a copy that has ended, and text that is no pid at all.
    for (const std::string& content : {record(dead), record(getpid()), std::string("not a pid\n"), std::string("-1\n"),
                                       std::string("12abc\n"), std::string()}) {
        std::ofstream(pidFile) << content;
        SingleInstance instance(directory.path());
        EXPECT_EQ(instance.claim(), std::nullopt) << content;
        EXPECT_EQ(readFile(pidFile), record(getpid())) << content;
    }
}

TEST(SingleInstanceTest, AnUnrelatedProcessThatGotTheRecordedPidIsLeftAlone)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path pidFile = directory.path() / "kestrio.pid";
    Sleeper unrelated;
    ASSERT_GT(unrelated.pid(), 0);
    std::ofstream(pidFile) << record(unrelated.pid());

    SingleInstance instance(directory.path());
    EXPECT_EQ(instance.claim(), std::nullopt);
    EXPECT_EQ(readFile(pidFile), record(getpid()));
    EXPECT_EQ(unrelated.killAndReap(), SIGKILL) << "the unrelated process was sent SIGTERM";
}

TEST(SingleInstanceTest, ReleaseRemovesOnlyThisProcessesRecord)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path pidFile = directory.path() / "kestrio.pid";
    {
        SingleInstance instance(directory.path());
        instance.claim();
        // A newer copy has taken over meanwhile.
        std::ofstream(pidFile) << record(1);
        instance.release();
        EXPECT_EQ(readFile(pidFile), record(1));
    }
    EXPECT_EQ(readFile(pidFile), record(1));

    {
        SingleInstance instance(directory.path());
        instance.claim();
        EXPECT_EQ(readFile(pidFile), record(getpid()));
    }
    EXPECT_FALSE(fs::exists(pidFile)) << "the destructor releases";

    // A guard that never claimed leaves any record alone, even one that names this process.
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
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    EXPECT_EQ(status.st_uid, geteuid());

    const fs::path open = parent.path() / "open";
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0755), 0);
    const fs::path link = parent.path() / "link";
    const fs::path linkTarget = parent.path() / "target";
    ASSERT_EQ(mkdir(linkTarget.c_str(), 0700), 0);
    fs::create_directory_symlink(linkTarget, link);
    const fs::path file = parent.path() / "file";
    std::ofstream(file) << "";
    std::vector<fs::path> refused{open, link, file};
    const fs::path foreign = parent.path() / "foreign";
    ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
    // Only a privileged test run can give a directory to someone else.
    if (chown(foreign.c_str(), 65534, 65534) == 0)
        refused.push_back(foreign);

    for (const auto& directory : refused) {
        SingleInstance instance(directory);
        EXPECT_EQ(instance.claim(), std::nullopt) << directory;
        std::error_code error;
        EXPECT_FALSE(fs::exists(directory / "kestrio.pid", error)) << directory;
        EXPECT_FALSE(fs::exists(linkTarget / "kestrio.pid", error)) << directory;
    }
    EXPECT_EQ(readFile(file), "");
}

TEST(SingleInstanceTest, ForTheCurrentUserPrefersTheRuntimeDirectory)
{
    TemporaryDirectory runtime;
    ASSERT_FALSE(runtime.path().empty());
    {
        ScopedEnvironment variable("XDG_RUNTIME_DIR", runtime.path().c_str());
        auto instance = SingleInstance::forCurrentUser();
        EXPECT_EQ(instance.directory(), runtime.path() / "kestrio");
        EXPECT_EQ(instance.claim(), std::nullopt);
        EXPECT_EQ(readFile(runtime.path() / "kestrio" / "kestrio.pid"), record(getpid()));
    }

    const fs::path fallback = "/tmp/kestrio-" + std::to_string(geteuid());
    for (const char* unusable : {static_cast<const char*>(nullptr), "", "relative/run", "/nonexistent/kestrio-runtime"}) {
        ScopedEnvironment variable("XDG_RUNTIME_DIR", unusable);
        EXPECT_EQ(SingleInstance::forCurrentUser().directory(), fallback) << (unusable ? unusable : "(unset)");
    }
}

}  // namespace
}  // namespace kestrio::platform
