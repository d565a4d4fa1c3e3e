#include "platform/linux/child_process_run.h"
#include "platform/linux/pulse_volume_control.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrio::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TemporaryDirectory;

// A PulseAudio of the test's own: a null sink as the default sink, reached through a socket in a
// runtime directory of its own, keeping its cookie in a home of its own. PULSE_SERVER as well: a
// server named in the test's own environment would win over the runtime directory, and a test
// must never touch the desktop's real volume.
class PulseVolumeControlServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(directory_.path().empty());
        const fs::path home = directory_.path(), runtime = directory_.path() / "runtime";
        fs::create_directory(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        client_ = {"HOME=" + home.string(), "XDG_RUNTIME_DIR=" + runtime.string(),
                   "PULSE_SERVER=unix:" + (runtime / "pulse" / "native").string()};
        daemon_ = startChildProcess("env", {client_[0], client_[1], "LC_ALL=C", "pulseaudio", "--daemonize=no",
                                            "--exit-idle-time=-1", "--system=false", "-n", "-L",
                                            "module-null-sink sink_name=kestrio_test", "-L", "module-native-protocol-unix"});
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (daemon_ > 0 && pactl({"info"}).exitStatus != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        if (daemon_ <= 0 || pactl({"info"}).exitStatus != 0)
            GTEST_SKIP() << "no pulseaudio and pactl to test with (Debian: pulseaudio, pulseaudio-utils)";
    }

    void TearDown() override
    {
        if (daemon_ > 0)
            stopChildProcess(daemon_, 10s);
    }

    ChildProcessResult pactl(const std::vector<std::string>& arguments) const
    {
        ChildProcessOptions options;
        options.environment = client_;
        options.environment.push_back("LC_ALL=C");
        options.capture = ChildProcessOptions::Capture::output;
        return runChildProcess("pactl", arguments, options);
    }

    // The default sink's channels and mute state, as the server reports them.
    std::string sinkState() const
    {
        const std::string volume = pactl({"get-sink-volume", "@DEFAULT_SINK@"}).output;
        return volume.substr(0, volume.find('\n')) + "|" + pactl({"get-sink-mute", "@DEFAULT_SINK@"}).output;
    }

    TemporaryDirectory directory_;
    std::vector<std::string> client_;
    pid_t daemon_ = -1;
};

TEST_F(PulseVolumeControlServerTest, ReadsAndSetsTheDefaultSinkAndFailsQuietlyWithoutAServer)
{
    PulseVolumeControl volume("pactl", client_);
    // A balance reads as the channels' average.
    ASSERT_EQ(pactl({"set-sink-volume", "@DEFAULT_SINK@", "60%", "40%"}).exitStatus, 0);
    ASSERT_EQ(pactl({"set-sink-mute", "@DEFAULT_SINK@", "1"}).exitStatus, 0);
    EXPECT_EQ(volume.outputVolume(), 50);

    volume.setOutputVolume(65, false);
    EXPECT_EQ(sinkState(), "Volume: front-left: 42598 /  65% / -11.23 dB,   front-right: 42598 /  65% / -11.23 dB|Mute: no\n");
    EXPECT_EQ(volume.outputVolume(), 65);
    // pactl would take "-5%" as "5 lower".
    volume.setOutputVolume(-5, true);
    EXPECT_EQ(sinkState(), "Volume: front-left: 0 /   0% / -inf dB,   front-right: 0 /   0% / -inf dB|Mute: yes\n");
    EXPECT_EQ(volume.outputVolume(), 0);

    PulseVolumeControl nowhere("pactl", {"PULSE_SERVER=unix:" + (directory_.path() / "nothing").string()});
    EXPECT_EQ(nowhere.outputVolume(), std::nullopt);
    nowhere.setOutputVolume(10, false);
}

// What pactl prints is read only from a run that succeeded, in the C locale, and only when it is
// a volume.
TEST(PulseVolumeControlTest, OnlyAVolumeFromARunThatSucceededCounts)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path output = directory.path() / "output", code = directory.path() / "code";
    const fs::path script = directory.path() / "pactl";
    std::ofstream(script) << "#!/bin/sh\n[ \"$LC_ALL\" = C ] || exit 9\ncat '" << output.string() << "'\nexit $(cat '"
                          << code.string() << "')\n";
    fs::permissions(script, fs::perms::owner_all);
    test::ScopedEnvironment locale("LC_ALL", "ko_KR.UTF-8");
    const std::string mono = "Volume: mono: 42598 /  65% / -11.23 dB\n        balance 0.00\n";
    const std::tuple<std::string, int, std::optional<int>> cases[] = {
        {mono, 0, 65},
        {"Volume: front-left: 39321 /  60% / -13.31 dB,   front-right: 26214 /  41% / -23.88 dB\n", 0, 51},
        {mono, 1, std::nullopt},
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
    for (const auto& [text, exitCode, level] : cases) {
        std::ofstream(output, std::ios::binary | std::ios::trunc) << text;
        std::ofstream(code, std::ios::trunc) << exitCode << "\n";
        EXPECT_EQ(volume.outputVolume(), level) << "exit code " << exitCode << ", output:\n" << text;
    }
}

}  // namespace
}  // namespace kestrio::platform
