#include "platform/os/pulse_volume_control.h"
#include "platform/os/child_process_run.h"
#include "runtime/white_space.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <string_view>

namespace kestrio::platform::os {
namespace {

constexpr const char* defaultSink = "@DEFAULT_SINK@";
// pactl prints a line or two; anything far beyond that is not pactl.
constexpr std::size_t maxOutputBytes = 64 * 1024;

// This process's environment with `overrides` laid over it, and the C locale, whatever anyone
// asked for: the output is parsed, and translations would change its words.
std::vector<std::string> childEnvironment(const std::vector<std::string>& overrides)
{
    std::vector<std::string> environment;
    for (const auto& entry : overrides) {
        if (!entry.starts_with("LC_ALL="))
            environment.push_back(entry);
    }
    environment.emplace_back("LC_ALL=C");
    return environment;
}

enum class Outcome { succeeded, failed, timedOut };

struct RunResult {
    Outcome outcome = Outcome::failed;
    std::string output;
};

RunResult run(const std::string& program, const std::vector<std::string>& arguments,
              const std::vector<std::string>& overrides, std::chrono::milliseconds timeout)
{
    ChildProcessOptions options;
    options.timeout = timeout;
    options.environment = childEnvironment(overrides);
    options.capture = ChildProcessOptions::Capture::output;
    options.outputLimit = maxOutputBytes;
    options.stopAtLimit = true;
    ChildProcessResult child = runChildProcess(program, arguments, options);
    RunResult result;
    if (child.outcome == ChildProcessResult::Outcome::timedOut)
        result.outcome = Outcome::timedOut;
    else if (child.outcome == ChildProcessResult::Outcome::exited && child.exitStatus == 0)
        result.outcome = Outcome::succeeded;
    result.output = std::move(child.output);
    return result;
}

// Reads "Volume: front-left: 39321 /  60% / -13.31 dB,   front-right: 26214 /  40% / -23.88 dB"
// (one entry per channel; the balance follows on a line of its own).
//
// The channels are averaged rather than the first one taken: the level that comes back is then
// the same whichever way round the speakers are listed, and a step from it changes the overall
// loudness by about a step even when the user had set a balance (setting the level evens out the
// channels anyway).
std::optional<int> parseVolume(std::string_view text)
{
    constexpr std::string_view label = "Volume:";
    if (!text.starts_with(label))
        return std::nullopt;
    text.remove_prefix(label.size());
    text = text.substr(0, text.find('\n'));

    long long sum = 0;
    long long channels = 0;
    for (;;) {
        const auto comma = text.find(',');
        const std::string_view channel = text.substr(0, comma);
        const auto first = channel.find('/');
        const auto second = first == std::string_view::npos ? first : channel.find('/', first + 1);
        if (second == std::string_view::npos)
            return std::nullopt;
        std::string_view percent = runtime::trimmedWhiteSpace(channel.substr(first + 1, second - first - 1));
        if (!percent.ends_with('%'))
            return std::nullopt;
        percent.remove_suffix(1);
        int value = 0;
        const auto [end, error] = std::from_chars(percent.data(), percent.data() + percent.size(), value);
        if (error != std::errc{} || end != percent.data() + percent.size() || percent.empty() || value < 0)
            return std::nullopt;
        sum += value;
        ++channels;
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return static_cast<int>((sum + channels / 2) / channels);
}

}  // namespace

PulseVolumeControl::PulseVolumeControl() : PulseVolumeControl("pactl") {}

PulseVolumeControl::PulseVolumeControl(std::string program, std::vector<std::string> environment,
                                       std::chrono::milliseconds timeout)
    : program_(std::move(program)), environment_(std::move(environment)), timeout_(timeout)
{
}

std::optional<int> PulseVolumeControl::outputVolume()
{
    try {
        RunResult result = run(program_, {"get-sink-volume", defaultSink}, environment_, timeout_);
        if (result.outcome != Outcome::succeeded)
            return std::nullopt;
        return parseVolume(result.output);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void PulseVolumeControl::setOutputVolume(int percent, bool muted)
{
    try {
        // A negative level would read as "lower by": pactl takes "-5%" as a relative change.
        const std::string level = std::to_string(std::max(percent, 0)) + "%";
        if (run(program_, {"set-sink-volume", defaultSink, level}, environment_, timeout_).outcome ==
            Outcome::timedOut)
            return;
        run(program_, {"set-sink-mute", defaultSink, muted ? "1" : "0"}, environment_, timeout_);
    } catch (const std::exception&) {
        // Only allocation can throw here; the level stays as it was.
    }
}

}  // namespace kestrio::platform::os
