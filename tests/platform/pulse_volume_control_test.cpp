#include "platform/os/pulse_volume_control.h"
#include "platform/platform_test.h"

namespace kestrio::platform::os {
namespace {

// A PulseAudio of the test's own with a null sink as the default sink, its socket and cookie in a
// folder of its own. PULSE_SERVER too: a server named in the test's own environment would win, and
// a test must never touch the desktop's real volume.
TEST(PulseVolumeControlTest, ReadsAndSetsTheDefaultSinkOfARealServerAndFailsQuietlyWithoutOne)
{
    test::TemporaryDirectory home;
    const auto runtime = home.path() / "runtime";
    std::filesystem::create_directory(runtime, home.path());
    const std::vector<std::string> client = {"HOME=" + home.path().string(), "XDG_RUNTIME_DIR=" + runtime.string(),
                                             "PULSE_SERVER=unix:" + (runtime / "pulse" / "native").string(), "LC_ALL=C"};
    const testing::ChildStopper stop{startChildProcess("env", {client[0], client[1], "pulseaudio", "--daemonize=no",
                                                               "--exit-idle-time=-1", "-n", "-L", "module-null-sink sink_name=kestrio_test",
                                                               "-L", "module-native-protocol-unix"})};
    const auto pactl = [&](std::vector<std::string> arguments) {
        return runChildProcess("pactl", arguments, {.environment = client, .capture = ChildProcessOptions::Capture::output}).output;
    };
    if (!testing::eventually([&] { return !pactl({"info"}).empty(); }))
        GTEST_SKIP() << "no pulseaudio and pactl to test with (Debian: pulseaudio, pulseaudio-utils)";
    PulseVolumeControl volume("pactl", client);
    // A balance reads as the channels' average, muted or not.
    pactl({"set-sink-volume", "@DEFAULT_SINK@", "60%", "40%"});
    pactl({"set-sink-mute", "@DEFAULT_SINK@", "1"});
    EXPECT_EQ(volume.outputVolume(), 50);
    // pactl would take "-5%" as "5 lower".
    for (const auto& [percent, muted, state] :
         {std::tuple{65, false, "Volume: front-left: 42598 /  65% / -11.23 dB,   front-right: 42598 /  65% / -11.23 dB|Mute: no\n"},
          {-5, true, "Volume: front-left: 0 /   0% / -inf dB,   front-right: 0 /   0% / -inf dB|Mute: yes\n"}}) {
        volume.setOutputVolume(percent, muted);
        const std::string channels = pactl({"get-sink-volume", "@DEFAULT_SINK@"});
        EXPECT_EQ(channels.substr(0, channels.find('\n')) + "|" + pactl({"get-sink-mute", "@DEFAULT_SINK@"}), state);
        EXPECT_EQ(volume.outputVolume(), std::max(percent, 0));
    }
    EXPECT_EQ(PulseVolumeControl("pactl", {"PULSE_SERVER=unix:" + (home.path() / "nothing").string()}).outputVolume(),
              std::nullopt);
}

// What pactl prints is read only from a run that succeeded, in the C locale, and only when it is
// a volume.
TEST(PulseVolumeControlTest, OnlyAVolumeFromARunThatSucceededCounts)
{
    test::TemporaryDirectory directory;
    const auto output = directory.path() / "output", script = directory.path() / "pactl";
    testing::writeScript(script, "[ \"$LC_ALL\" = C ] || exit 9\ncat '" + output.string() + "'\n! grep -q '^exit 1' '" +
                                     output.string() + "'\n");
    test::ScopedEnvironment locale("LC_ALL", "ko_KR.UTF-8");
    const std::string mono = "Volume: mono: 42598 /  65% / -11.23 dB\n        balance 0.00\n";
    const std::pair<std::string, std::optional<int>> cases[] = {
        {mono, 65},
        {"Volume: front-left: 39321 /  60% / -13.31 dB,   front-right: 26214 /  41% / -23.88 dB\n", 51},
        {mono + "exit 1\n", std::nullopt},
        {"Lautstärke: front-left: 39321 /  60% / -13,31 dB\n", std::nullopt},
        {"Volume:\n", std::nullopt},
        {"Volume: front-left: 39321 / sixty% / -13.31 dB\n", std::nullopt},
        {"Volume: front-left: 39321 /  60 / -13.31 dB\n", std::nullopt},
        {"Volume: front-left: 39321 /  -60% / -13.31 dB\n", std::nullopt},
        {"Volume: front-left: 39321 /  99999999999% / 0 dB\n", std::nullopt},
        {"Volume: front-left: 39321 /  60% / -13.31 dB,   front-right: 39321\n", std::nullopt},
    };
    PulseVolumeControl volume(script.string());
    for (const auto& [text, level] : cases) {
        std::ofstream(output, std::ios::trunc) << text;
        EXPECT_EQ(volume.outputVolume(), level) << text;
    }
}

}  // namespace
}  // namespace kestrio::platform::os
