#include "platform/linux/child_process_run.h"
#include "platform/linux/single_instance.h"
#include "platform/platform_test.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace kestrio::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readFile;
using test::ScopedEnvironment;

constexpr const char* pretendHostVariable = "KESTRIO_TEST_PRETEND_HOST";

// Started with "<directory>:<descriptor>" in the variable above, this test program is a pretend
// host instead: it claims the directory, writes the pid it asked to quit (0 for none) to the
// descriptor, and on SIGTERM releases and exits 0. It ends with its parent.
[[maybe_unused]] const bool pretendHostRan = [] {
    const char* setting = std::getenv(pretendHostVariable);
    if (!setting)
        return false;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    sigprocmask(SIG_BLOCK, &terminate, nullptr);
    const std::string text = setting;
    {
        SingleInstance instance{fs::path(text.substr(0, text.rfind(':')))};
        const std::string asked = std::to_string(instance.claim().value_or(0)) + "\n";
        if (write(std::stoi(text.substr(text.rfind(':') + 1)), asked.data(), asked.size()) < 0)
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
// pid, and the pid its claim asked to quit, once it has claimed.
std::pair<pid_t, pid_t> startPretendHost(const fs::path& directory, const fs::path& program)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return {-1, 0};
    ScopedEnvironment setting(pretendHostVariable, directory.string() + ":" + std::to_string(ends[1]));
    const pid_t pid = startChildProcess(program.string(), {}, ends[1]);
    close(ends[1]);
    char said[32] = {};
    const bool claimed = pid > 0 && read(ends[0], said, sizeof said - 1) > 0;
    close(ends[0]);
    return {claimed ? pid : -1, static_cast<pid_t>(std::atol(said))};
}

TEST(SingleInstanceTest, ANewerCopyAsksTheRunningOneToQuitAndTakesOverThoughAnUpgradeReplacedTheProgram)
{
    test::TemporaryDirectory directory, installation;
    const fs::path program = installation.path() / "kestrio", pidFile = directory.path() / "kestrio.pid";
    fs::copy_file("/proc/self/exe", program);
    const auto [older, none] = startPretendHost(directory.path(), program);
    ASSERT_GT(older, 0);
    EXPECT_EQ(none, 0);
    // The package manager writes the new version beside the old one and renames it over it.
    fs::copy_file("/proc/self/exe", installation.path() / "kestrio.new");
    fs::rename(installation.path() / "kestrio.new", program);
    const auto [newer, asked] = startPretendHost(directory.path(), program);
    ASSERT_GT(newer, 0);
    EXPECT_EQ(asked, older);
    int status = 0;
    EXPECT_TRUE(testing::eventually([&] { return waitpid(older, &status, WNOHANG) == older; }) && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0)
        << "older copy: " << status;
    // The older copy released on its way out; the record names the newer one still, alone.
    EXPECT_EQ(readFile(pidFile), record(newer));
    EXPECT_EQ(test::fileNames(directory.path()).size(), 1u);
    stopChildProcess(newer, 10s);
    EXPECT_FALSE(fs::exists(pidFile));
}

TEST(SingleInstanceTest, RecordsNamingNoOtherCopyAreReplacedWithoutSignallingAnyone)
{
    test::TemporaryDirectory directory;
    const fs::path pidFile = directory.path() / "kestrio.pid";
    const pid_t dead = startChildProcess("true", {}), unrelated = startChildProcess("sleep", {"1000"});
    int status = 0;
    ASSERT_TRUE(dead > 0 && unrelated > 0 && waitpid(dead, &status, 0) == dead);
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
    std::ofstream(pidFile) << record(getpid());
    { SingleInstance instance(directory.path()); }
    EXPECT_TRUE(fs::exists(pidFile));
}

TEST(SingleInstanceTest, OnlyADirectoryOfThisUsersAloneIsUsed)
{
    test::TemporaryDirectory parent;
    const fs::path missing = parent.path() / "missing", open = parent.path() / "open", link = parent.path() / "link",
                   file = parent.path() / "file", foreign = parent.path() / "foreign";
    EXPECT_EQ(SingleInstance(missing).claim(), std::nullopt);
    EXPECT_TRUE(fs::is_directory(missing) && testing::fileMode(missing) == 0700);

    ASSERT_EQ(mkdir(open.c_str(), 0700) | chmod(open.c_str(), 0755) | mkdir(foreign.c_str(), 0700), 0);
    fs::create_directory_symlink(missing, link);
    std::ofstream(file) << "";
    std::vector<fs::path> refused{open, link, file};
    // Only a privileged test run can give a directory to someone else.
    if (chown(foreign.c_str(), 65534, 65534) == 0)
        refused.push_back(foreign);
    for (const auto& directory : refused) {
        fs::remove(missing / "kestrio.pid");
        EXPECT_EQ(SingleInstance(directory).claim(), std::nullopt) << directory;
        EXPECT_FALSE(fs::exists(directory / "kestrio.pid") || fs::exists(missing / "kestrio.pid")) << directory;
    }
    {
        ScopedEnvironment variable("XDG_RUNTIME_DIR", parent.path().c_str());
        EXPECT_EQ(SingleInstance::forCurrentUser().directory(), parent.path() / "kestrio");
    }
    for (const char* unusable : {static_cast<const char*>(nullptr), "relative/run", "/nonexistent/kestrio-runtime"}) {
        ScopedEnvironment variable("XDG_RUNTIME_DIR", unusable);
        EXPECT_EQ(SingleInstance::forCurrentUser().directory(), "/tmp/kestrio-" + std::to_string(geteuid()));
    }
}

}  // namespace
}  // namespace kestrio::platform
