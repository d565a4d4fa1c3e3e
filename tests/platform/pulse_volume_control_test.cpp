#include "platform/linux/pulse_volume_control.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrio::platform {
namespace {

using test::readFile;
using test::ScopedEnvironment;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Far beyond any bound the tests set: reaching it means the control never gave up.

using test::TemporaryDirectory;

std::optional<fs::path> findOnPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    if (!path)
        return std::nullopt;
    std::istringstream directories(path);
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        if (directory.empty())
            continue;
        const fs::path candidate = fs::path(directory) / name;
        std::error_code error;
        if (fs::is_regular_file(candidate, error) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

// A shell script standing in for pactl; it finds its tools without the caller's PATH.
fs::path writeScript(const fs::path& directory, const std::string& name, const std::string& body)
{
    const fs::path script = directory / name;
    std::ofstream(script) << "#!/bin/sh\nPATH=/usr/bin:/bin\n" << body;
    fs::permissions(script, fs::perms::owner_all);
    return script;
}

std::string quoted(const fs::path& path)
{
    return "'" + path.string() + "'";
}

struct CommandResult {
    int exitCode = -1;
    std::string output;
};

// Runs `program` with exactly `environment`, its standard error discarded.
CommandResult runCommand(const fs::path& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment)
{
    CommandResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> texts{program.string()};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    std::vector<std::string> entries = environment;
    std::vector<char*> envp;
    for (auto& entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned == 0) {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(fds[0], buffer, sizeof buffer);
            if (got > 0)
                result.output.append(buffer, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                break;
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status))
            result.exitCode = WEXITSTATUS(status);
    }
    close(fds[0]);
    return result;
}

// A PulseAudio of the test's own: a null sink as the default sink, reached through a socket in a
// runtime directory of its own, keeping its cookie in a home of its own. Ended by the destructor,
// and by the kernel should this process die first.
class PulseDaemon {
public:
    PulseDaemon(const fs::path& pulseaudio, const fs::path& pactl, const fs::path& root) : pactl_(pactl)
    {
        const fs::path home = root / "home";
        const fs::path runtime = root / "runtime";
        std::error_code error;
        fs::create_directory(home, error);
        fs::create_directory(runtime, error);
        fs::permissions(home, fs::perms::owner_all, error);
        fs::permissions(runtime, fs::perms::owner_all, error);
        const fs::path log = root / "pulseaudio.log";
        // PULSE_SERVER as well: a server named in the test's own environment would win over
        // the runtime directory, and a test must never touch the desktop's real volume.
        clientEnvironment_ = {"HOME=" + home.string(), "XDG_RUNTIME_DIR=" + runtime.string(),
                              "PULSE_SERVER=unix:" + (runtime / "pulse" / "native").string()};
        std::vector<std::string> daemonEnvironment{"PATH=/usr/bin:/bin", "LC_ALL=C", "HOME=" + home.string(),
                                                   "XDG_RUNTIME_DIR=" + runtime.string()};
        std::vector<std::string> arguments{pulseaudio.string(),
                                           "--daemonize=no",
                                           "--exit-idle-time=-1",
                                           "--system=false",
                                           "-n",
                                           "-L",
                                           "module-null-sink sink_name=kestrio_test",
                                           "-L",
                                           "module-native-protocol-unix"};
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& entry : daemonEnvironment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);

        const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (input < 0 || output < 0) {
            error_ = "cannot open /dev/null or the log";
        } else {
            const pid_t parent = getpid();
            pid_ = fork();
            if (pid_ == 0) {
                // Only async-signal-safe calls from here on.
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (getppid() != parent)
                    _exit(127);
                dup2(input, 0);
                dup2(output, 1);
                dup2(output, 2);
                execve(argv[0], argv.data(), envp.data());
                _exit(127);
            }
            if (pid_ < 0)
                error_ = "cannot fork";
        }
        if (input >= 0)
            close(input);
        if (output >= 0)
            close(output);
        if (pid_ > 0)
            waitUntilReady(log);
    }

    ~PulseDaemon()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            const pid_t done = waitpid(pid_, nullptr, WNOHANG);
            if (done == pid_ || (done < 0 && errno != EINTR))
                return;
            if (std::chrono::steady_clock::now() > deadline)
                break;
            std::this_thread::sleep_for(5ms);
        }
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    bool ready() const { return ready_; }
    const std::string& error() const { return error_; }
    // What a client needs to reach this daemon and no other.
    const std::vector<std::string>& clientEnvironment() const { return clientEnvironment_; }

    // Runs the test's own pactl against this daemon.
    CommandResult pactl(const std::vector<std::string>& arguments) const
    {
        std::vector<std::string> environment = clientEnvironment_;
        environment.emplace_back("LC_ALL=C");
        return runCommand(pactl_, arguments, environment);
    }

private:
    void waitUntilReady(const fs::path& log)
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                error_ = "pulseaudio ended while starting:\n" + readFile(log);
                return;
            }
            if (pactl({"info"}).exitCode == 0) {
                ready_ = true;
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
        error_ = "pulseaudio did not answer:\n" + readFile(log);
    }

    fs::path pactl_;
    pid_t pid_ = -1;
    bool ready_ = false;
    std::string error_;
    std::vector<std::string> clientEnvironment_;
};

class PulseVolumeControlServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto pulseaudio = findOnPath("pulseaudio");
        pactlProgram_ = findOnPath("pactl").value_or(fs::path());
        if (!pulseaudio || pactlProgram_.empty())
            GTEST_SKIP() << "needs pulseaudio and pactl (Debian: pulseaudio, pulseaudio-utils)";
        ASSERT_FALSE(directory_.path().empty());
        daemon_.emplace(*pulseaudio, pactlProgram_, directory_.path());
        ASSERT_TRUE(daemon_->ready()) << daemon_->error();
    }

    PulseVolumeControl control() const
    {
        return PulseVolumeControl(pactlProgram_.string(), daemon_->clientEnvironment());
    }

    void pactl(const std::vector<std::string>& arguments) const
    {
        const auto result = daemon_->pactl(arguments);
        ASSERT_EQ(result.exitCode, 0) << "pactl failed: " << testing::PrintToString(arguments);
    }

    // Every channel's percentage of the default sink, as the server reports it.
    std::vector<int> channelLevels() const
    {
        const std::string output = daemon_->pactl({"get-sink-volume", "@DEFAULT_SINK@"}).output;
        const std::string line = output.substr(0, output.find('\n'));
        static const std::regex percent("([0-9]+)%");
        std::vector<int> levels;
        for (auto match = std::sregex_iterator(line.begin(), line.end(), percent); match != std::sregex_iterator();
             ++match)
            levels.push_back(std::stoi((*match)[1]));
        return levels;
    }

    std::string muteState() const { return daemon_->pactl({"get-sink-mute", "@DEFAULT_SINK@"}).output; }

    fs::path pactlProgram_;
    TemporaryDirectory directory_;
    // Declared after the directory, so that the daemon has ended before its files are removed.
    std::optional<PulseDaemon> daemon_;
};

TEST_F(PulseVolumeControlServerTest, ReadsTheLevelOfTheDefaultSink)
{
    PulseVolumeControl volume = control();

    pactl({"set-sink-volume", "@DEFAULT_SINK@", "37%"});
    EXPECT_EQ(volume.outputVolume(), 37);

    // A balance: the channels' average.
    pactl({"set-sink-volume", "@DEFAULT_SINK@", "60%", "40%"});
    EXPECT_EQ(volume.outputVolume(), 50);

    pactl({"set-sink-volume", "@DEFAULT_SINK@", "150%"});
    EXPECT_EQ(volume.outputVolume(), 150);

    // Silence reads "-inf dB".
    pactl({"set-sink-volume", "@DEFAULT_SINK@", "0%"});
    EXPECT_EQ(volume.outputVolume(), 0);

    // Whichever sink is the default at the time, with however many channels it has.
    pactl({"load-module", "module-null-sink", "sink_name=kestrio_mono", "channels=1", "channel_map=mono"});
    pactl({"set-default-sink", "kestrio_mono"});
    pactl({"set-sink-volume", "kestrio_mono", "42%"});
    EXPECT_EQ(volume.outputVolume(), 42);
}

TEST_F(PulseVolumeControlServerTest, SetsTheLevelAndTheMuteState)
{
    PulseVolumeControl volume = control();
    pactl({"set-sink-volume", "@DEFAULT_SINK@", "20%"});
    pactl({"set-sink-mute", "@DEFAULT_SINK@", "1"});

    volume.setOutputVolume(65, false);
    EXPECT_EQ(channelLevels(), (std::vector<int>{65, 65}));
    EXPECT_EQ(muteState(), "Mute: no\n");
    EXPECT_EQ(volume.outputVolume(), 65);

    volume.setOutputVolume(0, true);
    EXPECT_EQ(channelLevels(), (std::vector<int>{0, 0}));
    EXPECT_EQ(muteState(), "Mute: yes\n");

    // pactl would take "-5%" as "5 lower".
    pactl({"set-sink-volume", "@DEFAULT_SINK@", "50%"});
    volume.setOutputVolume(-5, false);
    EXPECT_EQ(channelLevels(), (std::vector<int>{0, 0}));
    EXPECT_EQ(muteState(), "Mute: no\n");
}

constexpr const char* sampleOutput = "Volume: mono: 42598 /  65% / -11.23 dB\n        balance 0.00\n";

TEST(PulseVolumeControlTest, OnlyAVolumeFromARunThatSucceededCounts)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path output = directory.path() / "output";
    const fs::path code = directory.path() / "code";
    const fs::path script =
        writeScript(directory.path(), "pactl", "cat " + quoted(output) + "\nexit $(cat " + quoted(code) + ")\n");
    struct Case {
        std::string output;
        int exitCode;
        std::optional<int> level;
    };
    const std::vector<Case> cases{
        {sampleOutput, 0, 65},
        {"Volume: front-left: 39321 /  60% / -13.31 dB,   front-right: 26214 /  41% / -23.88 dB\n", 0, 51},
        {sampleOutput, 1, std::nullopt},
        {"", 0, std::nullopt},
        {"Connection failure: Connection refused\n", 0, std::nullopt},
        {"Lautstärke: front-left: 39321 /  60% / -13,31 dB\n", 0, std::nullopt},
        {"Volume:\n", 0, std::nullopt},
        {"Volume: front-left: 39321 / sixty% / -13.31 dB\n", 0, std::nullopt},
        {"Volume: front-left: 39321 /  60 / -13.31 dB\n", 0, std::nullopt},
        {"Volume: front-left: 39321 /  -60% / -13.31 dB\n", 0, std::nullopt},
        {"Volume: front-left: 39321 /  99999999999% / 0 dB\n", 0, std::nullopt},
        {"Volume: front-left: 39321 /  60% / -13.31 dB,   front-right: 39321\n", 0, std::nullopt},
        {"Volume: front-left: 39321 /  60% / -13.31 dB,\n", 0, std::nullopt},
    };
    PulseVolumeControl volume(script.string());
    for (const auto& sample : cases) {
        std::ofstream(output, std::ios::binary | std::ios::trunc) << sample.output;
        std::ofstream(code, std::ios::trunc) << sample.exitCode << "\n";
        EXPECT_EQ(volume.outputVolume(), sample.level) << "exit code " << sample.exitCode << ", output:\n"
                                                       << sample.output;
    }
}

TEST(PulseVolumeControlTest, RunsPactlInTheCLocaleWithTheGivenEnvironment)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path record = directory.path() / "record";
    const fs::path script = writeScript(
        directory.path(), "pactl",
        "{ printf '%s|' \"$LC_ALL\" \"$KESTRIO_PROBE_KEPT\" \"$KESTRIO_PROBE_REPLACED\" "
        "\"$(readlink /proc/$$/fd/0)\" \"$(readlink /proc/$$/fd/2)\"; printf '%s ' \"$@\"; echo; } >> " +
            quoted(record) + "\nprintf '%s' '" + sampleOutput + "'\n");
    ScopedEnvironment locale("LC_ALL", "ko_KR.UTF-8");
    ScopedEnvironment kept("KESTRIO_PROBE_KEPT", "kept");
    ScopedEnvironment replaced("KESTRIO_PROBE_REPLACED", "old");
    PulseVolumeControl volume(script.string(), {"KESTRIO_PROBE_REPLACED=new"});

    EXPECT_EQ(volume.outputVolume(), 65);
    volume.setOutputVolume(70, true);
    volume.setOutputVolume(5, false);
    EXPECT_EQ(readFile(record), "C|kept|new|/dev/null|/dev/null|get-sink-volume @DEFAULT_SINK@ \n"
                                "C|kept|new|/dev/null|/dev/null|set-sink-volume @DEFAULT_SINK@ 70% \n"
                                "C|kept|new|/dev/null|/dev/null|set-sink-mute @DEFAULT_SINK@ 1 \n"
                                "C|kept|new|/dev/null|/dev/null|set-sink-volume @DEFAULT_SINK@ 5% \n"
                                "C|kept|new|/dev/null|/dev/null|set-sink-mute @DEFAULT_SINK@ 0 \n");
}

}  // namespace
}  // namespace kestrio::platform
