#include "platform/x11/xtest_input_poster.h"
#include "runtime/utf8.h"
#include "x11/x11_test_support.h"

#include <X11/keysym.h>

#include <cmath>
#include <future>

namespace kestrio::platform::x11 {
namespace {

using model::Key;
using model::MouseEventType;
using model::ScreenPoint;
using testing::InputEvent;
using Keysyms = std::vector<xcb_keysym_t>;
using namespace std::chrono_literals;

constexpr model::Modifiers shortcut{.shortcut = true};
constexpr auto press = XCB_KEY_PRESS, release = XCB_KEY_RELEASE;

// The keysyms pressed, every event checked to carry neither Shift nor Control and, given
// keycodes, to be on one of them.
Keysyms pressed(const std::vector<InputEvent>& events, std::vector<xcb_keycode_t> keycodes = {})
{
    Keysyms keysyms;
    for (const auto& event : events) {
        EXPECT_TRUE(!(event.state & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL)) && (keycodes.empty() || std::count(keycodes.begin(), keycodes.end(), event.detail))) << event.keysym;
        if (event.type == press)
            keysyms.push_back(event.keysym);
    }
    return keysyms;
}

class XTestInputPosterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_ = testing::startServer({640, 480}));
        recorder_ = std::make_unique<testing::InputRecorder>(server_->displayName());
        ASSERT_TRUE(recorder_->connected());
        originalMapping_ = recorder_->ask("mapping");
        poster_ = std::make_unique<XTestInputPoster>(server_->displayName(), clock_, executor_);
    }
    // What arrived of these types since the last look, once the server has handled all the poster sent.
    std::vector<InputEvent> arrived(std::initializer_list<std::uint8_t> types = {press})
    {
        poster_->pointerLocation();  // a round trip on the poster's connection
        auto events = recorder_->take();
        std::erase_if(events, [&](const InputEvent& e) { return !std::count(types.begin(), types.end(), e.type); });
        return events;
    }
    Keysyms typed(std::string_view text, std::vector<xcb_keycode_t> keycodes = {}) { return poster_->postText(text, {}), pressed(arrived(), keycodes); }
    std::vector<xcb_keycode_t> emptyKeycodes()
    {
        std::vector<xcb_keycode_t> empty;
        for (const auto& row : recorder_->ask("mapping"))
            if (std::all_of(row.begin() + 1, row.end(), [](std::uint32_t keysym) { return keysym == 0; }))
                empty.push_back(static_cast<xcb_keycode_t>(row[0]));
        return empty;
    }
    void setKeysym(xcb_keycode_t keycode, xcb_keysym_t keysym) { recorder_->ask("set " + std::to_string(keycode) + " " + std::to_string(keysym)); }
    // Calls `call` on a thread of its own and moves the clock until it returns.
    auto returnsOnceTimePasses(auto call)
    {
        auto result = std::async(std::launch::async, call);
        while (result.wait_for(5ms) != std::future_status::ready)
            clock_->advance(50ms);
        return result.get();
    }

    std::unique_ptr<XvfbServer> server_;
    std::unique_ptr<testing::InputRecorder> recorder_;
    testing::Rows originalMapping_;
    std::shared_ptr<runtime::VirtualClock> clock_ = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<runtime::ManualExecutor> executor_ = std::make_shared<runtime::ManualExecutor>();  // the clock runs it
    std::unique_ptr<XTestInputPoster> poster_;
};

// Scrolls become wheel clicks of 50 pixels, what is left kept per axis and direction. What the
// keyboard has comes from its keys, the rest from keys that type it alone; none with Shift. The
// shortcut modifier holds Control around keys and text.
TEST_F(XTestInputPosterTest, ButtonsArriveAtTheirPointsScrollsClickPerFiftyPixelsAndKeysAndTextTypeTheirCharactersUnshifted)
{
    poster_->warpPointer({-50, 1e9});
    EXPECT_EQ(poster_->pointerLocation(), (ScreenPoint{0, 479}));  // the server keeps it on screen
    poster_->warpPointer({std::nan(""), 5});
    EXPECT_EQ(poster_->pointerLocation(), (ScreenPoint{0, 479}));
    EXPECT_TRUE(arrived({XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE, press}).empty());
    for (const auto& [type, at] : std::initializer_list<std::pair<MouseEventType, ScreenPoint>>{
             {MouseEventType::moved, {5, 5}}, {MouseEventType::leftDown, {10, 20}}, {MouseEventType::leftDragged, {100, 120}}, {MouseEventType::leftUp, {30.2, 40.7}},
             {MouseEventType::moved, {300, 320}}, {MouseEventType::rightDown, {50, 60}}, {MouseEventType::rightUp, {50, 60}}})
        poster_->postMouseEvent(type, at);
    using Event = std::tuple<std::uint8_t, std::uint8_t, int, int, bool>;  // type, button, x, y, left button held
    std::vector<Event> events;
    for (const auto& event : arrived({XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE, XCB_MOTION_NOTIFY, press}))
        if (event.type != XCB_MOTION_NOTIFY || event.x % 5 == 0)  // the server's own steps between points are left out
            events.emplace_back(event.type, event.detail, event.x, event.y, (event.state & XCB_BUTTON_MASK_1) != 0);
    EXPECT_EQ(events, (std::vector<Event>{{XCB_MOTION_NOTIFY, 0, 5, 5, false}, {XCB_MOTION_NOTIFY, 0, 10, 20, false}, {XCB_BUTTON_PRESS, 1, 10, 20, false},
                                          {XCB_MOTION_NOTIFY, 0, 100, 120, true}, {XCB_MOTION_NOTIFY, 0, 30, 41, true}, {XCB_BUTTON_RELEASE, 1, 30, 41, true},
                                          {XCB_MOTION_NOTIFY, 0, 300, 320, false}, {XCB_MOTION_NOTIFY, 0, 50, 60, false}, {XCB_BUTTON_PRESS, 3, 50, 60, false},
                                          {XCB_MOTION_NOTIFY, 0, 50, 60, false}, {XCB_BUTTON_RELEASE, 3, 50, 60, false}}));

    using Scrolls = std::vector<std::pair<std::int32_t, std::int32_t>>;  // (vertical, horizontal)
    for (const auto& [name, scrolls, clicks] : std::initializer_list<std::tuple<const char*, Scrolls, std::vector<int>>>{
             {"up", {{100, 0}}, {4, 4}}, {"down, 49 left over", {{-149, 0}}, {5, 5}}, {"the other axis keeps its own", {{0, 120}}, {6, 6}},
             {"both axes; turning drops the 20 left over", {{-1, -100}}, {5, 7, 7}}, {"bounds are the caller's", {{700, 0}}, std::vector<int>(14, 4)},
             {"slow scrolls add up", Scrolls(10, {10, 0}), {4, 4}}, {"turning drops what was left", {{40, 0}, {-40, 0}, {-10, 0}}, {5}},
             {"on either axis", {{0, -30}, {0, 30}, {0, 20}}, {6}}}) {
        for (const auto& [vertical, horizontal] : scrolls)
            poster_->postScroll(vertical, horizontal);
        std::vector<int> expected, buttons;  // presses, then releases negative: each press followed by its release
        for (int click : clicks)
            expected.insert(expected.end(), {click, -click});
        for (const auto& event : arrived({XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE}))
            buttons.push_back(event.type == XCB_BUTTON_PRESS ? event.detail : -event.detail);
        EXPECT_EQ(buttons, expected) << name;
    }

    const std::string_view characters = "abcdefghijklmnopqrstuvwxyz0123456789 ";  // Key::a to Key::space
    Keysyms expected(characters.begin(), characters.end());
    expected.insert(expected.end(), {XK_Return, XK_BackSpace});
    for (int key = static_cast<int>(Key::a); key <= static_cast<int>(Key::backspace); ++key)
        poster_->postKey(static_cast<Key>(key), {});
    const auto keys = arrived({press, release});
    EXPECT_EQ(pressed(keys), expected);
    EXPECT_EQ(keys.size(), 2 * expected.size());
    for (const auto& [text, keysyms] : std::initializer_list<std::pair<std::string_view, Keysyms>>{
             {"Hi, 42!", {'H', 'i', ',', ' ', '4', '2', '!'}}, {"é ñ ü", {0xe9, ' ', 0xf1, ' ', 0xfc}}, {"한글😀", {0x100d55c, 0x100ae00, 0x101f600}},
             {"a\nb\tc\bd\r\ne\rf", {'a', XK_Return, 'b', XK_Tab, 'c', XK_BackSpace, 'd', XK_Return, 'e', XK_Return, 'f'}},
             {"x\xFFy\x01\x7f\xC2\x85\xC3z", {'x', 0x100fffd, 'y', 0x100fffd, 'z'}}})  // not UTF-8, and control characters no key types
        EXPECT_EQ(typed(text), keysyms) << text;

    poster_->postKey(Key::c, shortcut);
    poster_->postText("v", shortcut);
    poster_->postKey(Key::c, {});
    using Step = std::tuple<std::uint8_t, xcb_keysym_t, bool>;  // type, keysym, Control held
    std::vector<Step> steps;
    for (const auto& event : arrived({press, release}))
        steps.emplace_back(event.type, event.keysym, (event.state & XCB_MOD_MASK_CONTROL) != 0);
    EXPECT_EQ(steps, (std::vector<Step>{{press, XK_Control_L, false}, {press, XK_c, true}, {release, XK_c, true}, {release, XK_Control_L, true},
                                        {press, XK_Control_L, false}, {press, XK_v, true}, {release, XK_v, true}, {release, XK_Control_L, true},
                                        {press, XK_c, false}, {release, XK_c, false}}));
}

// Each spare keycode is lent again only once the character it typed has been read; typing again
// puts the emptying off; keys other clients map are used and left alone.
TEST_F(XTestInputPosterTest, LongTextsReuseTheSpareKeycodesWhichAreEmptiedWhenTypingPausesAndOtherClientsKeysAreLeftAlone)
{
    ASSERT_LT(emptyKeycodes().size(), 40u);
    std::u32string text;  // 40 characters, each 3 times, 40 apart
    Keysyms expected;
    for (char32_t i = 0; i < 120; ++i)
        text.push_back(0xac00 + (i % 40) * 11), expected.push_back(0x1000000u | text.back());
    EXPECT_EQ(typed(runtime::encodeUtf8(text)), expected);
    EXPECT_NE(recorder_->ask("mapping"), originalMapping_);
    for (auto [wait, typeFirst, emptied] : {std::tuple{XTestInputPoster::spareKeycodeRestoreDelay - 1ms, true, false},
                                            {XTestInputPoster::spareKeycodeRestoreDelay - 1ms, false, false}, {1ms, false, true}}) {
        clock_->advance(wait);
        poster_->pointerLocation();
        EXPECT_EQ(recorder_->ask("mapping") == originalMapping_, emptied);
        EXPECT_TRUE(!typeFirst || typed("é") == Keysyms{0xe9});
    }
    EXPECT_EQ(typed("ñ글"), (Keysyms{0xf1, 0x100ae00}));
    poster_.reset();
    EXPECT_EQ(recorder_->ask("mapping"), originalMapping_);

    // Another client puts é on a key, and takes all spare keycodes but two.
    const auto spare = emptyKeycodes();
    ASSERT_GE(spare.size(), 4u);
    setKeysym(spare[0], 0xe9);
    for (std::size_t i = 1; i + 2 < spare.size(); ++i)
        setKeysym(spare[i], XK_F20);
    const xcb_keycode_t first = spare[spare.size() - 2], second = spare.back();
    poster_ = std::make_unique<XTestInputPoster>(server_->displayName(), clock_, executor_);
    EXPECT_EQ(typed("é", {spare[0]}), (Keysyms{0xe9}));
    const std::u32string accented = U"àáâãäåæçèêëìíîïñ";
    EXPECT_EQ(typed(runtime::encodeUtf8(accented), {first, second}), Keysyms(accented.begin(), accented.end()));
    // A key the poster filled and another client then took is the other client's.
    setKeysym(first, XK_F21);
    EXPECT_EQ(typed("øö", {second}), (Keysyms{0xf8, 0xf6}));
    poster_.reset();
    const auto mapping = recorder_->ask("mapping");
    EXPECT_EQ(std::make_pair(mapping.at(spare[0] - mapping[0][0]).at(1), mapping.at(first - mapping[0][0]).at(1)), std::make_pair(0xe9u, std::uint32_t{XK_F21}));
    EXPECT_EQ(emptyKeycodes(), std::vector<xcb_keycode_t>{second});
}

// Killed while a long text waits for spare keycodes: the next write goes to a closed socket,
// which must not end the process with SIGPIPE.
TEST_F(XTestInputPosterTest, AStoppedServerIsGivenUpOnAndReconnectedOnceItResumesAndAKilledOneLeavesCallsDoingNothing)
{
    EXPECT_TRUE(poster_->pointerLocation());
    kill(server_->processID(), SIGSTOP);
    // Far more than the socket holds: a poster that kept writing would block for good.
    EXPECT_TRUE(returnsOnceTimePasses([&] {
        for (int i = 0; i < 50000; ++i)
            poster_->postMouseEvent(MouseEventType::moved, {static_cast<double>(i % 100), 0});
        return true;
    }));
    EXPECT_FALSE(returnsOnceTimePasses([&] { return poster_->pointerLocation(); }));
    // Given up on: nothing waits until it is time to connect again, and the new connection is
    // not waited for twice.
    EXPECT_FALSE(poster_->pointerLocation());
    poster_->postText("é", {});
    clock_->advance(XTestInputPoster::reconnectInterval);
    EXPECT_FALSE(returnsOnceTimePasses([&] { return poster_->pointerLocation(); }));
    EXPECT_FALSE(poster_->pointerLocation());
    kill(server_->processID(), SIGCONT);
    // The connection opened meanwhile is taken up by the first call after it did.
    bool reconnected = false;
    for (int attempt = 0; attempt < 10000 && !(reconnected = poster_->pointerLocation().has_value()); ++attempt)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(reconnected);
    poster_->postMouseEvent(MouseEventType::moved, {9, 9});
    EXPECT_EQ(poster_->pointerLocation(), (ScreenPoint{9, 9}));
    EXPECT_EQ(typed("ok"), (Keysyms{'o', 'k'}));

    std::u32string text;
    for (char32_t i = 0; i < 100; ++i)
        text.push_back(0x4e00 + i);
    std::thread typing([&, text = runtime::encodeUtf8(text)] { poster_->postText(text, {}); });
    recorder_->ask("keys 1");
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
}

}  // namespace
}  // namespace kestrio::platform::x11
