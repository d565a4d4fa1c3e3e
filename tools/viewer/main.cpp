// kestrio-viewer: connects to a host, shows that it streams, and reports what arrived.

#include "viewer/image_file.h"
#include "viewer/viewer_session.h"

extern "C" {
#include <libavutil/log.h>
}

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace kestrio::viewer;

constexpr int exitOk = 0;
constexpr int exitConnectionFailed = 1;
constexpr int exitUsage = 2;
constexpr int exitNoFrame = 3;

struct Arguments {
    ViewerOptions options;
    std::optional<std::uint64_t> frames;
    double seconds = 10.0;
    std::optional<std::string> saveFrame;
    std::vector<std::string> lines;
    std::uint64_t pings = 1;
    bool printMessages = false;
};

void printUsage(std::FILE* stream)
{
    std::fputs("usage: kestrio-viewer [--host H] [--port N] [--codec H264|JPEG] [--cap] [--name NAME] [--id ID]\n"
               "                      [--frames N] [--seconds S] [--pings N] [--save-frame FILE.png|.ppm|.jpg]\n"
               "                      [--send LINE]... [--print-messages]\n"
               "Runs until N frames are decoded or S seconds (default 10) have passed.\n"
               "Exit status: 0 with at least one decoded frame (or --frames 0), 1 when the connection fails,\n"
               "2 on bad arguments, 3 when no frame arrived in time.\n",
               stream);
}

template <typename Number>
bool parseNumber(std::string_view text, Number& out)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc{} && end == text.data() + text.size();
}

std::optional<Arguments> parseArguments(int argc, char** argv)
{
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        const auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= argc)
                return std::nullopt;
            return std::string_view(argv[++i]);
        };
        if (flag == "--print-messages") {
            arguments.printMessages = true;
            continue;
        }
        if (flag == "--cap") {
            arguments.options.form = HandshakeForm::cap;
            continue;
        }
        if (flag == "--help" || flag == "-h")
            return std::nullopt;
        const auto text = value();
        if (!text)
            return std::nullopt;
        if (flag == "--host") {
            arguments.options.host = *text;
        } else if (flag == "--port") {
            if (!parseNumber(*text, arguments.options.port))
                return std::nullopt;
        } else if (flag == "--codec") {
            if (*text == "H264")
                arguments.options.codec = Codec::h264;
            else if (*text == "JPEG")
                arguments.options.codec = Codec::jpeg;
            else
                return std::nullopt;
        } else if (flag == "--name") {
            arguments.options.name = *text;
        } else if (flag == "--id") {
            arguments.options.identifier = *text;
        } else if (flag == "--frames") {
            std::uint64_t frames = 0;
            if (!parseNumber(*text, frames))
                return std::nullopt;
            arguments.frames = frames;
        } else if (flag == "--seconds") {
            char* end = nullptr;
            const std::string copy(*text);
            arguments.seconds = std::strtod(copy.c_str(), &end);
            if (end != copy.c_str() + copy.size() || !(arguments.seconds >= 0.0))
                return std::nullopt;
        } else if (flag == "--pings") {
            if (!parseNumber(*text, arguments.pings))
                return std::nullopt;
        } else if (flag == "--save-frame") {
            arguments.saveFrame = std::string(*text);
        } else if (flag == "--send") {
            arguments.lines.emplace_back(*text);
        } else {
            return std::nullopt;
        }
    }
    return arguments;
}

double milliseconds(Duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

void printSummary(const ViewerStatistics& statistics)
{
    std::printf("frames: %llu H.264 key, %llu H.264 non-key, %llu JPEG; %llu decoded, %llu decode errors, "
                "%llu key-frame requests\n",
                static_cast<unsigned long long>(statistics.h264KeyFrames),
                static_cast<unsigned long long>(statistics.h264DeltaFrames),
                static_cast<unsigned long long>(statistics.jpegFrames),
                static_cast<unsigned long long>(statistics.decodedFrames),
                static_cast<unsigned long long>(statistics.decodeErrors),
                static_cast<unsigned long long>(statistics.keyFrameRequests));
    std::printf("bytes: %llu received, %llu video; frame size mean %.0f max %zu bytes\n",
                static_cast<unsigned long long>(statistics.bytesReceived),
                static_cast<unsigned long long>(statistics.videoBytes), statistics.meanFrameBytes(),
                statistics.largestFrameBytes);
    std::printf("rate: %.2f frames per second\n", statistics.framesPerSecond());
    if (!statistics.pingRoundTrips.empty()) {
        Duration total{};
        Duration worst{};
        for (const Duration trip : statistics.pingRoundTrips) {
            total += trip;
            worst = std::max(worst, trip);
        }
        std::printf("ping: %zu answered, round trip mean %.3f ms max %.3f ms\n", statistics.pingRoundTrips.size(),
                    milliseconds(total) / static_cast<double>(statistics.pingRoundTrips.size()), milliseconds(worst));
    } else {
        std::printf("ping: none answered\n");
    }
    if (statistics.welcome) {
        const WelcomeFields& welcome = *statistics.welcome;
        std::printf("welcome: protocol %s, codec %s, host \"%s\", version %s, build %s\n",
                    welcome.protocolVersion.c_str(), welcome.codec.c_str(), welcome.hostName.c_str(),
                    welcome.version.c_str(), welcome.build.c_str());
    } else if (statistics.welcomeText) {
        std::printf("welcome: \"%s\"\n", statistics.welcomeText->c_str());
    } else {
        std::printf("welcome: none\n");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const auto arguments = parseArguments(argc, argv);
    if (!arguments) {
        printUsage(stderr);
        return exitUsage;
    }
    // The decoder reports every damaged slice on stderr; the summary counts them instead.
    av_log_set_level(AV_LOG_QUIET);

    ViewerSession session(arguments->options);
    if (arguments->printMessages)
        session.setMessageCallback([](std::string_view text) {
            std::printf("message: %.*s\n", static_cast<int>(text.size()), text.data());
            std::fflush(stdout);
        });

    const auto duration = std::chrono::duration_cast<Duration>(std::chrono::duration<double>(arguments->seconds));
    if (!session.connect(std::min<Duration>(duration, std::chrono::seconds(5)) + std::chrono::seconds(1))) {
        std::fprintf(stderr, "kestrio-viewer: cannot connect to %s port %u\n", arguments->options.host.c_str(),
                     static_cast<unsigned>(arguments->options.port));
        return exitConnectionFailed;
    }
    for (const std::string& line : arguments->lines)
        session.sendLine(line);

    const auto start = Clock::now();
    const auto remaining = [&] { return std::max(Duration::zero(), duration - (Clock::now() - start)); };
    for (std::uint64_t i = 0; i < arguments->pings; ++i) {
        const std::size_t answered = session.statistics().pingRoundTrips.size();
        if (!session.sendPing())
            break;
        session.runUntil([&] { return session.statistics().pingRoundTrips.size() > answered; },
                         std::min<Duration>(remaining(), std::chrono::seconds(2)));
    }
    if (arguments->frames == std::uint64_t{0}) {
        // Nothing to wait for but the welcome, which the summary shows.
        session.runUntil([&] { return session.statistics().welcomeText.has_value(); },
                         std::min<Duration>(remaining(), std::chrono::seconds(2)));
    } else {
        const std::uint64_t already = session.statistics().decodedFrames;
        std::optional<std::uint64_t> frames = arguments->frames;
        if (frames)
            *frames = *frames > already ? *frames - already : 0;
        session.run(frames, remaining());
    }
    printSummary(session.statistics());

    if (arguments->saveFrame) {
        if (!session.lastPicture()) {
            std::fprintf(stderr, "kestrio-viewer: no frame to save\n");
        } else if (!saveImage(*session.lastPicture(), *arguments->saveFrame)) {
            std::fprintf(stderr, "kestrio-viewer: cannot save %s\n", arguments->saveFrame->c_str());
        } else {
            std::printf("saved: %s (%dx%d)\n", arguments->saveFrame->c_str(), session.lastPicture()->width,
                        session.lastPicture()->height);
        }
    }
    if (arguments->frames == std::uint64_t{0})
        return exitOk;
    return session.statistics().decodedFrames > 0 ? exitOk : exitNoFrame;
}
