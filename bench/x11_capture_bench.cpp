// Screen capture on a private 1920x1080 Xvfb: the MIT-SHM grab alone, three ways to scale and
// convert to NV12 (convert then resample both planes with the capture's downscaler, which the
// capture does; libyuv scaling the RGB picture then converting, its fallback; convert then libyuv
// scaling both planes), a whole captured frame, and what a still screen costs at 60 ticks a second.

#include "capture/nv12_downscaler.h"
#include "platform/x11/x11_display_capture.h"
#include "platform/x11/xvfb_server.h"
#include "runtime/serial_queue.h"
#include "runtime/virtual_clock.h"

#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <thread>
#include <vector>

namespace {

using namespace kestrio;
using namespace std::chrono_literals;

constexpr int screenWidth = 1920;
constexpr int screenHeight = 1080;

// One server for the whole run, with a busy picture on it.
platform::x11::XvfbServer& server()
{
    static std::unique_ptr<platform::x11::XvfbServer> instance = [] {
        auto started = platform::x11::XvfbServer::start();
        if (!started)
            std::abort();
        started->authorizeThisProcess();
        xcb_connection_t* connection = xcb_connect(started->displayName().c_str(), nullptr);
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        xcb_gcontext_t gc = xcb_generate_id(connection);
        xcb_create_gc(connection, gc, screen->root, 0, nullptr);
        std::vector<std::uint32_t> row(screenWidth * 8);
        for (int y = 0; y < screenHeight; y += 8) {
            for (int i = 0; i < screenWidth * 8; ++i)
                row[i] = static_cast<std::uint32_t>((i % screenWidth) * 2654435761u + y * 40503u) & 0x00ffffffu;
            xcb_put_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, gc, screenWidth, 8, 0,
                          static_cast<std::int16_t>(y), 0, 24, static_cast<std::uint32_t>(row.size() * 4),
                          reinterpret_cast<const std::uint8_t*>(row.data()));
        }
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
        xcb_disconnect(connection);
        return started;
    }();
    return *instance;
}

std::vector<std::uint8_t> screenPicture()
{
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(screenWidth) * screenHeight * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    return pixels;
}

void BM_ShmGrab(benchmark::State& state)
{
    xcb_connection_t* connection = xcb_connect(server().displayName().c_str(), nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const int id = shmget(IPC_PRIVATE, static_cast<std::size_t>(screenWidth) * screenHeight * 4, IPC_CREAT | 0600);
    void* address = shmat(id, nullptr, 0);
    const xcb_shm_seg_t segment = xcb_generate_id(connection);
    std::free(xcb_request_check(connection, xcb_shm_attach_checked(connection, segment, id, 0)));
    shmctl(id, IPC_RMID, nullptr);
    for (auto _ : state) {
        auto* reply = xcb_shm_get_image_reply(
            connection,
            xcb_shm_get_image(connection, root, 0, 0, screenWidth, screenHeight, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0),
            nullptr);
        benchmark::DoNotOptimize(reply);
        std::free(reply);
    }
    xcb_shm_detach(connection, segment);
    xcb_disconnect(connection);
    shmdt(address);
}
BENCHMARK(BM_ShmGrab)->Unit(benchmark::kMillisecond);

// What the capture does: convert rows as the downscaler needs them, in one pass.
void BM_ConvertAndDownscaleInOnePass(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    auto source = screenPicture();
    auto downscaler = capture::Nv12Downscaler::create(screenWidth, screenHeight, width, height);
    std::vector<std::uint8_t> nv12(static_cast<std::size_t>(width) * height * 3 / 2);
    for (auto _ : state) {
        downscaler->scaleArgb(source.data(), screenWidth * 4, nv12.data(), width, nv12.data() + width * height, width);
        benchmark::DoNotOptimize(nv12.data());
    }
    state.SetLabel(downscaler->usesAvx2() ? "avx2" : "portable");
}
BENCHMARK(BM_ConvertAndDownscaleInOnePass)->Args({1728, 972})->Args({1280, 720})->Unit(benchmark::kMillisecond);

// Convert the full picture, then resample both planes with the downscaler.
void BM_ConvertThenDownscale(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    auto source = screenPicture();
    auto downscaler = capture::Nv12Downscaler::create(screenWidth, screenHeight, width, height);
    std::vector<std::uint8_t> full(static_cast<std::size_t>(screenWidth) * screenHeight * 3 / 2);
    std::vector<std::uint8_t> nv12(static_cast<std::size_t>(width) * height * 3 / 2);
    std::uint8_t* fullChroma = full.data() + screenWidth * screenHeight;
    for (auto _ : state) {
        libyuv::ARGBToNV12(source.data(), screenWidth * 4, full.data(), screenWidth, fullChroma, screenWidth, screenWidth,
                           screenHeight);
        downscaler->scale(full.data(), screenWidth, fullChroma, screenWidth, nv12.data(), width, nv12.data() + width * height,
                          width);
        benchmark::DoNotOptimize(nv12.data());
    }
    state.SetLabel(downscaler->usesAvx2() ? "avx2" : "portable");
}
BENCHMARK(BM_ConvertThenDownscale)->Args({1728, 972})->Args({1280, 720})->Unit(benchmark::kMillisecond);

// The capture's fallback where the downscaler does not apply: scale the BGRX picture, then
// convert the smaller one.
void BM_ScaleThenConvert(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    auto source = screenPicture();
    std::vector<std::uint8_t> scaled(static_cast<std::size_t>(width) * height * 4);
    std::vector<std::uint8_t> nv12(static_cast<std::size_t>(width) * height * 3 / 2);
    for (auto _ : state) {
        libyuv::ARGBScale(source.data(), screenWidth * 4, screenWidth, screenHeight, scaled.data(), width * 4, width, height,
                          libyuv::kFilterBilinear);
        libyuv::ARGBToNV12(scaled.data(), width * 4, nv12.data(), width, nv12.data() + width * height, width, width, height);
        benchmark::DoNotOptimize(nv12.data());
    }
}
BENCHMARK(BM_ScaleThenConvert)->Args({1728, 972})->Args({1280, 720})->Unit(benchmark::kMillisecond);

// Convert at full size, then scale the two planes with libyuv.
void BM_ConvertThenScale(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    auto source = screenPicture();
    std::vector<std::uint8_t> full(static_cast<std::size_t>(screenWidth) * screenHeight * 3 / 2);
    std::vector<std::uint8_t> nv12(static_cast<std::size_t>(width) * height * 3 / 2);
    std::uint8_t* fullChroma = full.data() + screenWidth * screenHeight;
    for (auto _ : state) {
        libyuv::ARGBToNV12(source.data(), screenWidth * 4, full.data(), screenWidth, fullChroma, screenWidth, screenWidth,
                           screenHeight);
        libyuv::NV12Scale(full.data(), screenWidth, fullChroma, screenWidth, screenWidth, screenHeight, nv12.data(), width,
                          nv12.data() + width * height, width, width, height, libyuv::kFilterBilinear);
        benchmark::DoNotOptimize(nv12.data());
    }
}
BENCHMARK(BM_ConvertThenScale)->Args({1728, 972})->Args({1280, 720})->Unit(benchmark::kMillisecond);

// One whole frame through the capture stream: grab, cursor, scale, convert, hand over.
void BM_CapturedFrame(benchmark::State& state)
{
    auto clock = std::make_shared<runtime::VirtualClock>();
    auto queue = runtime::SerialQueue::create("capture-bench");
    platform::x11::X11DisplayCaptureFactory factory(server().displayName(), clock);
    capture::CaptureConfiguration configuration;
    configuration.width = static_cast<int>(state.range(0));
    configuration.height = static_cast<int>(state.range(1));
    configuration.pixelFormat = capture::PixelFormat::nv12;
    configuration.minimumFrameInterval = 16ms;
    std::atomic<int> frames{0};
    auto stream = factory.start(capture::CaptureDisplay{1, 0, 0, screenWidth, screenHeight}, configuration, queue,
                                [&frames](const capture::VideoFrame&) { frames.fetch_add(1); });
    clock->advance(0ms);
    for (auto _ : state) {
        stream->requestFrame();
        clock->advance(16ms);
    }
    stream->stop();
    queue->shutdown();
    if (frames.load() != static_cast<int>(state.iterations()) + 1)
        state.SkipWithError("a frame was not delivered");
}
BENCHMARK(BM_CapturedFrame)->Args({1728, 972})->Args({1280, 720})->Unit(benchmark::kMillisecond);

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double childCpuSeconds(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14 || index == 15)
            ticks += std::stod(field);
        if (index == 15)
            break;
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A still screen at 60 ticks a second on the real clock: CPU milliseconds per second of this
// process and of the X server.
void BM_StillScreenCpu(benchmark::State& state)
{
    auto queue = runtime::SerialQueue::create("capture-bench");
    platform::x11::X11DisplayCaptureFactory factory(server().displayName());
    capture::CaptureConfiguration configuration;
    configuration.width = 1280;
    configuration.height = 720;
    configuration.minimumFrameInterval = std::chrono::duration_cast<runtime::Duration>(std::chrono::nanoseconds(16'666'667));
    std::atomic<int> frames{0};
    auto stream = factory.start(capture::CaptureDisplay{1, 0, 0, screenWidth, screenHeight}, configuration, queue,
                                [&frames](const capture::VideoFrame&) { frames.fetch_add(1); });
    std::this_thread::sleep_for(200ms);  // past the first frame
    double ownCpu = 0;
    double serverCpu = 0;
    double seconds = 0;
    for (auto _ : state) {
        const double ownStart = processCpuSeconds();
        const double serverStart = childCpuSeconds(server().processID());
        std::this_thread::sleep_for(2s);
        ownCpu += processCpuSeconds() - ownStart;
        serverCpu += childCpuSeconds(server().processID()) - serverStart;
        seconds += 2;
    }
    stream->stop();
    queue->shutdown();
    state.counters["own_cpu_ms_per_s"] = ownCpu * 1000 / seconds;
    state.counters["xvfb_cpu_ms_per_s"] = serverCpu * 1000 / seconds;
    state.counters["frames_per_s"] = frames.load() / (seconds + 0.2);
}
BENCHMARK(BM_StillScreenCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
