// The viewer link under load on loopback: 100 KB frames to a reader that keeps up, the same to a
// reader that barely reads (the producer must never block), and control lines from the viewer
// parsed and dispatched by the streamer.

#include "link/frame_streamer.h"
#include "link/message_framer.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cstring>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace kestrio;
using namespace std::chrono_literals;

constexpr std::size_t frameSize = 100 * 1024;

std::shared_ptr<link::FrameStreamer> startStreamer()
{
    link::FrameStreamer::Environment environment;
    environment.port = 0;
    auto streamer = link::FrameStreamer::create(std::move(environment));
    streamer->start();
    while (!streamer->listenerReady())
        std::this_thread::sleep_for(1ms);
    return streamer;
}

int connectTo(std::uint16_t port, int receiveBuffer = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Connects and handshakes; returns once the streamer counts the viewer as connected.
int connectViewer(const std::shared_ptr<link::FrameStreamer>& streamer, const char* handshake, int receiveBuffer = 0)
{
    const int fd = connectTo(streamer->listeningPort(), receiveBuffer);
    ::send(fd, handshake, std::strlen(handshake), MSG_NOSIGNAL);
    while (!streamer->isViewerConnected())
        std::this_thread::sleep_for(1ms);
    return fd;
}

// Reads and discards everything, counting whole frames by their length headers.
struct CountingReader {
    explicit CountingReader(int socket, std::chrono::microseconds pause = 0us) : fd(socket)
    {
        thread = std::thread([this, pause] {
            std::vector<std::uint8_t> buffer(256 * 1024);
            std::uint64_t untilNextHeader = 0;
            std::array<std::uint8_t, 4> header{};
            std::size_t headerBytes = 0;
            for (;;) {
                const ssize_t size = ::recv(fd, buffer.data(), buffer.size(), 0);
                if (size <= 0)
                    return;
                bytes += std::uint64_t(size);
                for (ssize_t i = 0; i < size;) {
                    if (untilNextHeader > 0) {
                        const auto step = std::min<std::uint64_t>(untilNextHeader, std::uint64_t(size - i));
                        untilNextHeader -= step;
                        i += ssize_t(step);
                        if (untilNextHeader == 0)
                            ++messages;
                        continue;
                    }
                    header[headerBytes++] = buffer[std::size_t(i++)];
                    if (headerBytes == 4) {
                        headerBytes = 0;
                        untilNextHeader = (std::uint64_t(header[0]) << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
                    }
                }
                if (pause.count() > 0)
                    std::this_thread::sleep_for(pause);
            }
        });
    }
    ~CountingReader()
    {
        ::shutdown(fd, SHUT_RDWR);
        thread.join();
        ::close(fd);
    }

    int fd;
    std::atomic<std::uint64_t> messages{0};
    std::atomic<std::uint64_t> bytes{0};
    std::thread thread;
};

link::FrameStreamer::Payload frame()
{
    link::FrameStreamer::Payload payload(frameSize, 0x5A);
    payload[0] = link::videoPacketType;
    return payload;
}

// Frames offered as a capturer would: only when the streamer can take one. Reports frames that
// reached the viewer per second.
void BM_FramesToReadingViewer(benchmark::State& state)
{
    auto streamer = startStreamer();
    CountingReader reader(connectViewer(streamer, "HELLO 2 H264\n"));
    const auto template_ = frame();
    std::uint64_t offered = 0;
    const auto before = reader.messages.load();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        while (!streamer->canAcceptFrame())
            std::this_thread::yield();
        streamer->send(template_, true);
        ++offered;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto delivered = reader.messages.load() - before;
    state.counters["delivered_fps"] = double(delivered) / seconds;
    state.counters["delivered_MBps"] = double(delivered) * frameSize / seconds / 1e6;
    state.SetItemsProcessed(std::int64_t(offered));
    streamer->stop();
}
BENCHMARK(BM_FramesToReadingViewer)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

// Every frame is handed to send() at once, whatever the reader does: the call must stay cheap
// and never wait for the network. Reports the slowest single call.
void BM_SendToSlowViewer(benchmark::State& state)
{
    auto streamer = startStreamer();
    CountingReader reader(connectViewer(streamer, "HELLO 2 H264\n", 16 * 1024), 20ms);
    const auto template_ = frame();
    double slowest = 0;
    for (auto _ : state) {
        auto payload = template_;
        const auto start = std::chrono::steady_clock::now();
        streamer->send(std::move(payload), true);
        slowest = std::max(slowest, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["slowest_send_us"] = slowest;
    state.counters["frames_delivered"] = double(reader.messages.load());
    state.SetItemsProcessed(state.iterations());
    streamer->stop();
}
BENCHMARK(BM_SendToSlowViewer)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

// Realistic control lines sent by a viewer, parsed and handed to the event callback.
void BM_ControlLinesDispatched(benchmark::State& state)
{
    auto streamer = startStreamer();
    std::atomic<std::uint64_t> events{0};
    streamer->onControlEvent = [&](const link::ViewerControlEvent&) { events.fetch_add(1, std::memory_order_relaxed); };
    const int fd = connectViewer(streamer, "HELLO 2 H264\n");
    const std::string lines[] = {"M 0.5123 0.25", "N 3.5 -2", "S 0.5 0.5 0 -120", "W 0 -40", "D 0.1 0.2", "U 0.11 0.21",
                                 "T 7JWI64WV7ZWY7IS47JqU", "K BACKSPACE", "B", "C 0.75 0.5"};
    std::string block;
    constexpr int linesPerBlock = 10000;
    for (int i = 0; i < linesPerBlock; ++i)
        block += lines[i % std::size(lines)] + "\n";
    for (auto _ : state) {
        const auto target = events.load() + linesPerBlock;
        for (std::size_t sent = 0; sent < block.size();) {
            const ssize_t size = ::send(fd, block.data() + sent, block.size() - sent, MSG_NOSIGNAL);
            if (size <= 0)
                break;
            sent += std::size_t(size);
        }
        while (events.load() < target)
            std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations() * linesPerBlock);
    state.SetBytesProcessed(std::int64_t(state.iterations() * block.size()));
    streamer->stop();
    ::close(fd);
}
BENCHMARK(BM_ControlLinesDispatched)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
