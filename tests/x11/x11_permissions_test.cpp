#include "platform/x11/x11_permissions.h"
#include "x11/x11_test_support.h"

#include <fcntl.h>

namespace kestrio::platform::x11 {
namespace {

using namespace std::chrono_literals;

TEST(X11PermissionFacilityTest, AServerWithXtestAllowsBothWithoutItCaptureOnlyNoServerNothingAndAFrozenOneDoesNotHoldTheCaller)
{
    auto server = testing::startServer({320, 200});
    ASSERT_TRUE(server);
    {
        test::ScopedEnvironment display("DISPLAY", server->displayName());
        X11PermissionFacility fromEnvironment;  // an empty name means $DISPLAY
        fromEnvironment.promptForInputTrust();  // X has no dialogues: neither blocks nor changes anything
        fromEnvironment.requestCaptureAccess();
        EXPECT_TRUE(fromEnvironment.inputTrusted() && fromEnvironment.captureAllowed());
    }
    // An Xvfb of the test's own without XTEST, which XvfbServer cannot leave out.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const pid_t pid = os::startChildProcess("Xvfb", {"-displayfd", std::to_string(fds[1]), "-noreset", "-nolisten", "tcp", "-screen", "0", "320x200x24", "-extension", "XTEST"}, fds[1]);
    close(fds[1]);
    FILE* announced = fdopen(fds[0], "r");
    int number = -1;
    EXPECT_EQ(fscanf(announced, "%d", &number), 1);
    fclose(announced);
    X11PermissionFacility withoutXtest(":" + std::to_string(number));
    EXPECT_TRUE(withoutXtest.captureAllowed() && !withoutXtest.inputTrusted());
    os::stopChildProcess(pid, 5s);

    test::ScopedEnvironment noDisplay("DISPLAY", nullptr);
    for (const std::string& name : {server->displayName() + ".7", std::string(":4094"), std::string("no display at all"), std::string()}) {
        X11PermissionFacility facility(name);
        EXPECT_FALSE(facility.inputTrusted() || facility.captureAllowed()) << name;
    }

    // Frozen: the caller is not held, and the server is asked again once it answers.
    X11PermissionFacility facility(server->displayName(), 300ms);
    kill(server->processID(), SIGSTOP);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(server->processID()), &info, WSTOPPED);
    // The server takes the connection into its backlog but never answers; later questions wait
    // for the one left hanging instead of starting more.
    EXPECT_FALSE(facility.inputTrusted() || facility.captureAllowed() || facility.inputTrusted());
    std::size_t probes = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        probes += test::readFile(entry.path() / "comm") == "x11-permissions\n";
    EXPECT_LE(probes, 1u);
    kill(server->processID(), SIGCONT);
    // The question left hanging is answered first; then the next one gets through.
    bool trusted = false;
    for (int attempt = 0; attempt < 50 && !trusted; ++attempt)
        trusted = facility.inputTrusted();
    EXPECT_TRUE(trusted && facility.captureAllowed());
}

}  // namespace
}  // namespace kestrio::platform::x11
