// Typing speed of the XTEST input poster on a private Xvfb, in characters per second, for a
// 100-character text: one the keyboard has every key for, one of a few distinct characters off the
// keyboard (they stay on spare keycodes from one text to the next), and one of 100 distinct
// characters off the keyboard (more than there are spare keycodes, so batches wait for clients).
// Each text ends with a round trip, so that the server has handled every key.

#include "platform/x11/xtest_input_poster.h"
#include "platform/x11/xvfb_server.h"
#include "runtime/utf8.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

using namespace kestrio;

platform::x11::XvfbServer& server()
{
    static std::unique_ptr<platform::x11::XvfbServer> instance = [] {
        platform::x11::XvfbServer::Options options;
        options.initialSize = {640, 480};
        auto started = platform::x11::XvfbServer::start(options);
        if (!started)
            std::abort();
        started->authorizeThisProcess();
        return started;
    }();
    return *instance;
}

std::u32string repeated(std::u32string_view pattern, std::size_t length)
{
    std::u32string text;
    while (text.size() < length)
        text.push_back(pattern[text.size() % pattern.size()]);
    return text;
}

std::u32string distinctHangul(std::size_t length)
{
    std::u32string text;
    for (std::size_t i = 0; i < length; ++i)
        text.push_back(static_cast<char32_t>(0xac00 + i * 7));
    return text;
}

void typeText(benchmark::State& state, const std::u32string& text)
{
    platform::x11::XTestInputPoster poster(server().displayName());
    const std::string utf8 = runtime::encodeUtf8(text);
    for (auto _ : state) {
        poster.postText(utf8, {});
        benchmark::DoNotOptimize(poster.pointerLocation());
    }
    state.counters["chars_per_second"] =
        benchmark::Counter(static_cast<double>(text.size() * state.iterations()), benchmark::Counter::kIsRate);
}

void BM_TypeKeyboardText(benchmark::State& state)
{
    typeText(state, repeated(U"the quick brown fox jumps over the lazy dog 0123456789, ", 100));
}
BENCHMARK(BM_TypeKeyboardText)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TypeFewDistinctCharactersOffTheKeyboard(benchmark::State& state)
{
    typeText(state, repeated(U"안녕하세요 반갑습니다 ", 100));
}
BENCHMARK(BM_TypeFewDistinctCharactersOffTheKeyboard)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TypeHundredDistinctCharactersOffTheKeyboard(benchmark::State& state)
{
    typeText(state, distinctHangul(100));
}
BENCHMARK(BM_TypeHundredDistinctCharactersOffTheKeyboard)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
