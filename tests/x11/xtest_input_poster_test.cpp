#include "platform/x11/xtest_input_poster.h"
#include "runtime/utf8.h"
#include "runtime/virtual_clock.h"
#include "x11/x11_test_support.h"

#include <gtest/gtest.h>
#include <X11/keysym.h>

#include <cmath>
#include <future>
#include <signal.h>
#include <sys/wait.h>

namespace kestrio::platform {
namespace {

using model::Key;
using model::MouseEventType;
using model::ScreenPoint;
using testing::InputEvent;
using testing::ofType;
using testing::pressedKeysyms;
using Keysyms = std::vector<xcb_keysym_t>;
using namespace std::chrono_literals;

constexpr model::Modifiers shortcut{.shortcut = true};
constexpr int screenHeight = 480;
constexpr auto press = XCB_KEY_PRESS, release = XCB_KEY_RELEASE;

// Keeps a stopped server from staying stopped when a test ends early.
struct StoppedServer {
    pid_t pid;
    explicit StoppedServer(pid_t pid) : pid(pid) { kill(pid, SIGSTOP); }
    ~StoppedServer() { kill(pid, SIGCONT); }
};

class XTestInputPosterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server_ = testing::startServer({640, screenHeight});
        ASSERT_TRUE(server_);
        recorder_ = std::make_unique<testing::InputRecorder>(server_->displayName());
        ASSERT_TRUE(recorder_->connected());
        originalMapping_ = recorder_->mapping();
        poster_ = makePoster();
    }

    std::unique_ptr<XTestInputPoster> makePoster()
    {
        return std::make_unique<XTestInputPoster>(server_->displayName(), clock_, executor_);
    }

    // What arrived since the last look, once the server has handled all the poster sent.
    std::vector<InputEvent> arrived()
    {
        poster_->pointerLocation();  // a round trip on the poster's connection
        return recorder_->take();
    }

    Keysyms typed(std::string_view text)
    {
        poster_->postText(text, {});
        return pressedKeysyms(arrived());
    }

    // The presses that arrived, each checked to be on one of `keycodes`.
    std::vector<InputEvent> pressesOn(std::initializer_list<xcb_keycode_t> keycodes)
    {
        const auto presses = ofType(arrived(), {press});
        for (const auto& event : presses)
            EXPECT_NE(std::find(keycodes.begin(), keycodes.end(), event.detail), keycodes.end()) << int(event.detail);
        return presses;
    }

    // No press carries Shift or Control.
    static void expectUnshifted(const std::vector<InputEvent>& events)
    {
        for (const auto& event : ofType(events, {press}))
            EXPECT_EQ(event.state & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL), 0) << std::hex << event.keysym;
    }

    // Calls `call` on a thread of its own and moves the clock until it returns.
    template <typename Call>
    auto returnsOnceTimePasses(Call call)
    {
        auto result = std::async(std::launch::async, call);
        while (result.wait_for(5ms) != std::future_status::ready)
            clock_->advance(50ms);
        return result.get();
    }

    std::unique_ptr<XvfbServer> server_;
    std::unique_ptr<testing::InputRecorder> recorder_;
    std::vector<std::vector<std::uint32_t>> originalMapping_;
    std::shared_ptr<runtime::VirtualClock> clock_ = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<runtime::ManualExecutor> executor_ = std::make_shared<runtime::ManualExecutor>();
    std::unique_ptr<XTestInputPoster> poster_;
};

TEST_F(XTestInputPosterTest, ButtonsArriveAtTheirPointsAndDragsHoldTheLeftButton)
{
    poster_->warpPointer({-50, 1e9});
    EXPECT_EQ(poster_->pointerLocation(), (ScreenPoint{0, screenHeight - 1}));  // the server keeps it on screen
    poster_->warpPointer({std::nan(""), 5});
    EXPECT_EQ(poster_->pointerLocation(), (ScreenPoint{0, screenHeight - 1}));
    EXPECT_TRUE(ofType(arrived(), {XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE, XCB_KEY_PRESS}).empty());

    const std::vector<std::pair<MouseEventType, ScreenPoint>> posted{
        {MouseEventType::moved, {5, 5}},          {MouseEventType::leftDown, {10, 20}},
        {MouseEventType::leftDragged, {100, 120}}, {MouseEventType::leftUp, {30.2, 40.7}},
        {MouseEventType::moved, {300, 320}},      {MouseEventType::rightDown, {50, 60}},
        {MouseEventType::rightUp, {50, 60}},
    };
    for (const auto& [type, at] : posted)
        poster_->postMouseEvent(type, at);
    const auto events = arrived();
    using Button = std::tuple<std::uint8_t, std::uint8_t, int, int>;  // type, button, x, y
    std::vector<Button> buttons;
    for (const auto& event : ofType(events, {XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE}))
        buttons.emplace_back(event.type, event.detail, event.x, event.y);
    EXPECT_EQ(buttons, (std::vector<Button>{{XCB_BUTTON_PRESS, 1, 10, 20}, {XCB_BUTTON_RELEASE, 1, 30, 41},
                                            {XCB_BUTTON_PRESS, 3, 50, 60}, {XCB_BUTTON_RELEASE, 3, 50, 60}}));
    const auto motion = ofType(events, {XCB_MOTION_NOTIFY});
    for (const auto& [x, y, held] : {std::tuple{5, 5, false}, std::tuple{100, 120, true}, std::tuple{300, 320, false}}) {
        const auto at = std::find_if(motion.begin(), motion.end(), [&](const InputEvent& event) { return event.x == x && event.y == y; });
        ASSERT_NE(at, motion.end()) << x << "," << y;
        EXPECT_EQ((at->state & XCB_BUTTON_MASK_1) != 0, held) << x << "," << y;
    }
}

TEST_F(XTestInputPosterTest, ScrollsBecomeWheelClicksOfFiftyPixelsKeptPerAxisAndDirection)
{
    using Clicks = std::vector<int>;
    using Scrolls = std::vector<std::pair<std::int32_t, std::int32_t>>;  // (vertical, horizontal)
    const struct {
        const char* name;
        Scrolls scrolls;
        Clicks clicks;
    } steps[] = {
        {"up", {{100, 0}}, {4, 4}},
        {"down, 49 left over", {{-149, 0}}, {5, 5}},
        {"the other axis keeps its own", {{0, 120}}, {6, 6}},
        {"both axes; turning drops the 20 left over", {{-1, -100}}, {5, 7, 7}},
        {"bounds are the caller's", {{700, 0}}, Clicks(14, 4)},
        {"slow scrolls add up", Scrolls(10, {10, 0}), {4, 4}},
        {"turning drops what was left", {{40, 0}, {-40, 0}, {-10, 0}}, {5}},
        {"on either axis", {{0, -30}, {0, 30}, {0, 20}}, {6}},
    };
    for (const auto& step : steps) {
        for (const auto& [vertical, horizontal] : step.scrolls)
            poster_->postScroll(vertical, horizontal);
        std::vector<std::pair<int, int>> expected, buttons;  // type, button: each press followed by its release
        for (int click : step.clicks)
            expected.insert(expected.end(), {{XCB_BUTTON_PRESS, click}, {XCB_BUTTON_RELEASE, click}});
        for (const auto& event : ofType(arrived(), {XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE}))
            buttons.emplace_back(event.type, event.detail);
        EXPECT_EQ(buttons, expected) << step.name;
    }
}

TEST_F(XTestInputPosterTest, KeysTypeTheirUsKeysAndTheShortcutModifierHoldsControlAroundThem)
{
    Keysyms expected;
    const std::string_view characters = "abcdefghijklmnopqrstuvwxyz0123456789 ";
    for (std::size_t i = 0; i < characters.size(); ++i) {
        poster_->postKey(static_cast<Key>(static_cast<int>(Key::a) + static_cast<int>(i)), {});
        expected.push_back(static_cast<xcb_keysym_t>(characters[i]));
    }
    ASSERT_EQ(static_cast<int>(Key::a) + characters.size(), static_cast<std::size_t>(Key::enter));
    poster_->postKey(Key::enter, {});
    poster_->postKey(Key::backspace, {});
    expected.insert(expected.end(), {XK_Return, XK_BackSpace});
    auto events = arrived();
    EXPECT_EQ(pressedKeysyms(events), expected);
    EXPECT_EQ(ofType(events, {release}).size(), expected.size());
    expectUnshifted(events);

    poster_->postKey(Key::c, shortcut);
    poster_->postText("v", shortcut);
    poster_->postKey(Key::c, {});
    using Step = std::tuple<std::uint8_t, xcb_keysym_t, bool>;  // type, keysym, Control held
    std::vector<Step> steps;
    for (const auto& event : ofType(arrived(), {press, release}))
        steps.emplace_back(event.type, event.keysym, (event.state & XCB_MOD_MASK_CONTROL) != 0);
    EXPECT_EQ(steps, (std::vector<Step>{{press, XK_Control_L, false}, {press, XK_c, true}, {release, XK_c, true},
                                        {release, XK_Control_L, true}, {press, XK_Control_L, false}, {press, XK_v, true},
                                        {release, XK_v, true}, {release, XK_Control_L, true}, {press, XK_c, false},
                                        {release, XK_c, false}}));
}

TEST_F(XTestInputPosterTest, TextArrivesIntactAndInOrderUnshifted)
{
    const struct {
        std::string_view text;
        Keysyms keysyms;
    } cases[] = {
        {"Hi, 42!", {'H', 'i', ',', ' ', '4', '2', '!'}},
        {"é ñ ü", {0xe9, ' ', 0xf1, ' ', 0xfc}},
        {"한글", {0x100d55c, 0x100ae00}},
        {"😀", {0x101f600}},
        {"a\nb\tc\bd\r\ne\rf", {'a', XK_Return, 'b', XK_Tab, 'c', XK_BackSpace, 'd', XK_Return, 'e', XK_Return, 'f'}},
        // Bytes that are not UTF-8, and control characters no key types.
        {"x\xFFy\x01\x7f\xC2\x85\xC3z", {'x', 0x100fffd, 'y', 0x100fffd, 'z'}},
    };
    for (const auto& c : cases) {
        poster_->postText(c.text, {});
        const auto events = arrived();
        EXPECT_EQ(pressedKeysyms(events), c.keysyms) << c.text;
        expectUnshifted(events);  // what the keyboard has comes from its keys, the rest from keys that type it alone
    }
}

TEST_F(XTestInputPosterTest, LongTextsReuseTheSpareKeycodesAndTheyAreEmptiedWhenTypingPauses)
{
    ASSERT_LT(recorder_->emptyKeycodes().size(), 40u);
    std::u32string text;
    Keysyms expected;
    for (char32_t i = 0; i < 120; ++i) {
        text.push_back(0xac00 + (i % 40) * 11);  // each 3 times, 40 apart
        expected.push_back(0x1000000u | text.back());
    }
    EXPECT_EQ(typed(runtime::encodeUtf8(text)), expected);
    EXPECT_NE(recorder_->mapping(), originalMapping_);

    // Typing again puts the emptying off.
    for (auto [wait, typeFirst, emptied] : {std::tuple{XTestInputPoster::spareKeycodeRestoreDelay - 1ms, true, false},
                                            {XTestInputPoster::spareKeycodeRestoreDelay - 1ms, false, false}, {1ms, false, true}}) {
        clock_->advance(wait);
        poster_->pointerLocation();
        EXPECT_EQ(recorder_->mapping() == originalMapping_, emptied);
        if (typeFirst) {
            EXPECT_EQ(typed("é"), (Keysyms{0xe9}));
        }
    }

    EXPECT_EQ(typed("ñ글"), (Keysyms{0xf1, 0x100ae00}));
    poster_.reset();
    EXPECT_EQ(recorder_->mapping(), originalMapping_);
}

TEST_F(XTestInputPosterTest, KeysOtherClientsMapAreUsedAndLeftAloneAndTwoSpareKeycodesWaitForEachRead)
{
    poster_.reset();
    const auto spare = recorder_->emptyKeycodes();
    ASSERT_GE(spare.size(), 4u);
    // Another client puts é on a key, and takes all spare keycodes but two.
    recorder_->setKeysym(spare[0], 0xe9);
    for (std::size_t i = 1; i + 2 < spare.size(); ++i)
        recorder_->setKeysym(spare[i], XK_F20);
    const xcb_keycode_t first = spare[spare.size() - 2], second = spare.back();
    poster_ = makePoster();

    poster_->postText("é", {});
    EXPECT_EQ(pressesOn({spare[0]}).size(), 1u);
    // Each keycode is lent again only once the character it typed has been read.
    const std::u32string text = U"àáâãäåæçèêëìíîïñ";
    poster_->postText(runtime::encodeUtf8(text), {});
    EXPECT_EQ(pressedKeysyms(pressesOn({first, second})), Keysyms(text.begin(), text.end()));
    // A key the poster filled and another client then took is the other client's.
    recorder_->setKeysym(first, XK_F21);
    poster_->postText("øö", {});
    EXPECT_EQ(pressedKeysyms(pressesOn({second})), (Keysyms{0xf8, 0xf6}));
    poster_.reset();
    EXPECT_EQ(recorder_->keysymOf(spare[0]), 0xe9u);
    EXPECT_EQ(recorder_->keysymOf(first), static_cast<xcb_keysym_t>(XK_F21));
    EXPECT_EQ(recorder_->emptyKeycodes(), std::vector<xcb_keycode_t>{second});
}

TEST_F(XTestInputPosterTest, AServerKilledMidwayLeavesCallsDoingNothing)
{
    // Killed while a long text waits for spare keycodes: the next write goes to a closed socket,
    // which must not end the process with SIGPIPE.
    std::u32string text;
    for (char32_t i = 0; i < 100; ++i)
        text.push_back(0x4e00 + i);
    std::thread typing([&, text = runtime::encodeUtf8(text)] { poster_->postText(text, {}); });
    recorder_->waitForKeyPresses(1);
    kill(server_->processID(), SIGKILL);
    typing.join();
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(server_->processID()), &info, WEXITED | WNOWAIT), 0);
    for (int i = 0; i < 20; ++i) {
        poster_->postMouseEvent(MouseEventType::moved, {1, 1});
        poster_->postScroll(100, 0);
        poster_->postText("ab😀", {});
        poster_->postKey(Key::c, shortcut);
        poster_->warpPointer({3, 3});
        EXPECT_FALSE(poster_->pointerLocation());
        clock_->advance(XTestInputPoster::reconnectInterval);
    }
    poster_.reset();
}

TEST_F(XTestInputPosterTest, AStoppedServerIsGivenUpOnAndReconnectedOnceItResumes)
{
    EXPECT_TRUE(poster_->pointerLocation());
    {
        StoppedServer stopped(server_->processID());
        // Far more than the socket holds: a poster that kept writing would block for good.
        EXPECT_TRUE(returnsOnceTimePasses([&] {
            for (int i = 0; i < 50000; ++i)
                poster_->postMouseEvent(MouseEventType::moved, {static_cast<double>(i % 100), 0});
            return true;
        }));
        EXPECT_FALSE(returnsOnceTimePasses([&] { return poster_->pointerLocation(); }));
        // Given up on: nothing waits until it is time to connect again, and the new connection
        // is not waited for twice.
        EXPECT_FALSE(poster_->pointerLocation());
        poster_->postText("é", {});
        clock_->advance(XTestInputPoster::reconnectInterval);
        EXPECT_FALSE(returnsOnceTimePasses([&] { return poster_->pointerLocation(); }));
        EXPECT_FALSE(poster_->pointerLocation());
    }
    // The connection opened meanwhile is taken up by the first call after it did.
    bool reconnected = false;
    for (int attempt = 0; attempt < 10000 && !(reconnected = poster_->pointerLocation().has_value()); ++attempt)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(reconnected);
    poster_->postMouseEvent(MouseEventType::moved, {9, 9});
    EXPECT_EQ(poster_->pointerLocation(), (ScreenPoint{9, 9}));
    EXPECT_EQ(typed("ok"), (Keysyms{'o', 'k'}));
}

}  // namespace
}  // namespace kestrio::platform
