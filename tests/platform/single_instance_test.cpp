#include "platform/os/single_instance.h"
#include "platform/platform_test.h"

#include <sys/prctl.h>
#include <sys/wait.h>

namespace kestrio::platform::os {
namespace {

using test::ScopedEnvironment;

constexpr const char* pretendHostVariable = "KESTRIO_TEST_PRETEND_HOST";

// Started with a directory in the variable above, this test program is a pretend host instead:
// it claims the directory, and on SIGTERM releases and exits 0. It ends with its parent.
[[maybe_unused]] const bool pretendHostRan = [] {
    const char* directory = std::getenv(pretendHostVariable);
    if (!directory)
        return false;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    sigprocmask(SIG_BLOCK, &terminate, nullptr);
    {
        SingleInstance instance{fs::path(directory)};
        instance.claim();
        int received = 0;
        sigwait(&terminate, &received);
    }
    std::_Exit(0);
}();

std::string record(pid_t pid) { return std::to_string(pid) + "\n"; }

TEST(SingleInstanceTest, ANewerCopyAsksTheRunningOneToQuitAndTakesOverThoughAnUpgradeReplacedTheProgram)
{
    test::TemporaryDirectory directory, installation;
    const fs::path program = installation.path() / "kestrio", pidFile = directory.path() / "kestrio.pid";
    const auto startPretendHost = [&] {
        ScopedEnvironment setting(pretendHostVariable, directory.path().string());
        const pid_t pid = startChildProcess(program.string(), {});
        return testing::eventually([&] { return readFile(pidFile) == record(pid); }) ? pid : -1;
    };
    fs::copy_file("/proc/self/exe", program);
    const pid_t older = startPretendHost();
    ASSERT_GT(older, 0);
    // The package manager writes the new version beside the old one and renames it over it.
    fs::copy_file("/proc/self/exe", installation.path() / "kestrio.new");
    fs::rename(installation.path() / "kestrio.new", program);
    const pid_t newer = startPretendHost();
    ASSERT_GT(newer, 0);
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

    // Only a claim is released.
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
    EXPECT_EQ(testing::fileMode(missing), 0700u);
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
    for (const char* runtime : {parent.path().c_str(), static_cast<const char*>(nullptr), "relative/run", "/nonexistent/run"}) {
        ScopedEnvironment variable("XDG_RUNTIME_DIR", runtime);
        EXPECT_EQ(SingleInstance::forCurrentUser().directory(),
                  runtime == parent.path().c_str() ? parent.path() / "kestrio" : fs::path("/tmp/kestrio-" + std::to_string(geteuid())));
    }
}

}  // namespace
}  // namespace kestrio::platform::os
