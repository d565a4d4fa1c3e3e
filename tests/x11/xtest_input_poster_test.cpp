#include "platform/x11/xtest_input_poster.h"
#include "platform/x11/xvfb_server.h"
#include "runtime/utf8.h"
#include "runtime/virtual_clock.h"

#include <gtest/gtest.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <signal.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace kestrio::platform {
namespace {

using model::Key;
using model::MouseEventType;
using model::ScreenPoint;
using namespace std::chrono_literals;

constexpr model::Modifiers shortcut{.shortcut = true};

// The keysym X gives a Unicode scalar: Latin-1 as it is, the rest offset by 0x1000000.
xcb_keysym_t keysymOf(char32_t scalar)
{
    return scalar < 0x100 ? scalar : 0x1000000u | scalar;
}

constexpr int screenWidth = 640;
constexpr int screenHeight = 480;
constexpr std::uint16_t button1Mask = XCB_BUTTON_MASK_1;

// What a client received.
struct Event {
    std::uint8_t type = 0;    // XCB_KEY_PRESS, XCB_BUTTON_RELEASE, XCB_MOTION_NOTIFY, …
    std::uint8_t detail = 0;  // keycode or button
    xcb_keysym_t keysym = 0;  // keys: what the keycode meant when the event was read
    int x = 0;                // root position
    int y = 0;
    std::uint16_t state = 0;
};

std::vector<Event> ofType(const std::vector<Event>& events, std::initializer_list<std::uint8_t> types)
{
    std::vector<Event> result;
    std::copy_if(events.begin(), events.end(), std::back_inserter(result), [&](const Event& event) {
        return std::find(types.begin(), types.end(), event.type) != types.end();
    });
    return result;
}

std::vector<xcb_keysym_t> pressedKeysyms(const std::vector<Event>& events)
{
    std::vector<xcb_keysym_t> keysyms;
    for (const auto& event : ofType(events, {XCB_KEY_PRESS}))
        keysyms.push_back(event.keysym);
    return keysyms;
}

// A second X client, as an application would be: a window over the whole screen with the input
// focus, whose events are read on a thread of their own as they come. A key's keycode is turned
// into a keysym with the keyboard mapping as it is when the event is read, which is what
// applications do; a poster that gives a keycode a new keysym too early shows up as a wrong key.
class InputRecorder {
public:
    explicit InputRecorder(const std::string& displayName)
    {
        connection_ = xcb_connect(displayName.c_str(), nullptr);
        if (xcb_connection_has_error(connection_))
            return;
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        window_ = xcb_generate_id(connection_);
        const std::uint32_t values[] = {1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_BUTTON_PRESS |
                                               XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, screen->width_in_pixels,
                          screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(connection_, window_);
        xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
        reader_ = std::thread([this] { read(); });
    }

    ~InputRecorder()
    {
        if (reader_.joinable()) {
            if (!disconnected())
                sendMarker(quitMarker);
            reader_.join();
        }
        xcb_disconnect(connection_);
    }

    bool connected() const { return !xcb_connection_has_error(connection_) && reader_.joinable(); }

    // Everything that arrived before this call reached the server, since the last call. Events
    // another client caused are included once that client has had a reply to a later request.
    std::vector<Event> take()
    {
        const std::uint32_t marker = ++lastMarker_;
        sendMarker(marker);
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return seenMarker_ >= marker || closed_; });
        std::vector<Event> events;
        events.swap(events_);
        return events;
    }

    // The whole keyboard mapping: keysyms per keycode, then the keysyms.
    std::pair<int, std::vector<xcb_keysym_t>> mapping()
    {
        const xcb_setup_t* setup = xcb_get_setup(connection_);
        const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
        auto* reply = xcb_get_keyboard_mapping_reply(connection_, xcb_get_keyboard_mapping(connection_, setup->min_keycode, count),
                                                     nullptr);
        std::pair<int, std::vector<xcb_keysym_t>> result;
        if (reply) {
            const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply);
            result.first = reply->keysyms_per_keycode;
            result.second.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply));
            std::free(reply);
        }
        return result;
    }

    std::vector<xcb_keycode_t> emptyKeycodes()
    {
        const auto [perKeycode, keysyms] = mapping();
        std::vector<xcb_keycode_t> empty;
        for (std::size_t index = 0; perKeycode && index < keysyms.size() / perKeycode; ++index) {
            auto row = keysyms.begin() + static_cast<std::ptrdiff_t>(index * perKeycode);
            if (std::all_of(row, row + perKeycode, [](xcb_keysym_t keysym) { return keysym == 0; }))
                empty.push_back(static_cast<xcb_keycode_t>(xcb_get_setup(connection_)->min_keycode + index));
        }
        return empty;
    }

    xcb_keysym_t keysymOf(xcb_keycode_t keycode, int column = 0)
    {
        auto* reply = xcb_get_keyboard_mapping_reply(connection_, xcb_get_keyboard_mapping(connection_, keycode, 1), nullptr);
        xcb_keysym_t keysym = 0;
        if (reply && xcb_get_keyboard_mapping_keysyms_length(reply) > column)
            keysym = xcb_get_keyboard_mapping_keysyms(reply)[column];
        std::free(reply);
        return keysym;
    }

    void setKeysym(xcb_keycode_t keycode, xcb_keysym_t keysym)
    {
        xcb_change_keyboard_mapping(connection_, 1, keycode, 1, &keysym);
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }

    // Waits until `count` keys have been pressed since the last take().
    bool waitForKeyPresses(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] {
            return static_cast<std::size_t>(std::count_if(events_.begin(), events_.end(), [](const Event& event) {
                       return event.type == XCB_KEY_PRESS;
                   })) >= count;
        });
    }

    // Once the server has gone, the reader stops.
    bool waitUntilDisconnected()
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return closed_; });
    }

private:
    static constexpr std::uint32_t quitMarker = 0xffffffff;

    bool disconnected()
    {
        std::lock_guard lock(mutex_);
        return closed_;
    }

    void sendMarker(std::uint32_t marker)
    {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window_;
        message.type = XCB_ATOM_INTEGER;
        message.data.data32[0] = marker;
        xcb_send_event(connection_, 0, window_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
        xcb_flush(connection_);
    }

    void read()
    {
        while (xcb_generic_event_t* generic = xcb_wait_for_event(connection_)) {
            const std::uint8_t type = generic->response_type & 0x7f;
            Event event;
            event.type = type;
            std::optional<std::uint32_t> marker;
            if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
                const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(generic);
                event.detail = key->detail;
                event.state = key->state;
                event.x = key->root_x;
                event.y = key->root_y;
                event.keysym = keysymOf(key->detail, (key->state & XCB_MOD_MASK_SHIFT) ? 1 : 0);
            } else if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE || type == XCB_MOTION_NOTIFY) {
                const auto* button = reinterpret_cast<const xcb_button_press_event_t*>(generic);
                event.detail = button->detail;
                event.state = button->state;
                event.x = button->root_x;
                event.y = button->root_y;
            } else if (type == XCB_CLIENT_MESSAGE) {
                marker = reinterpret_cast<const xcb_client_message_event_t*>(generic)->data.data32[0];
            }
            std::free(generic);
            if (marker == quitMarker)
                break;
            {
                std::lock_guard lock(mutex_);
                if (marker)
                    seenMarker_ = *marker;
                else if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE || type == XCB_BUTTON_PRESS ||
                         type == XCB_BUTTON_RELEASE || type == XCB_MOTION_NOTIFY)
                    events_.push_back(event);
            }
            changed_.notify_all();
        }
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        changed_.notify_all();
    }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t window_ = 0;
    std::thread reader_;
    std::uint32_t lastMarker_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    std::uint32_t seenMarker_ = 0;
    bool closed_ = false;
};

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
        std::string error;
        XvfbServer::Options options;
        options.initialSize = {screenWidth, screenHeight};
        server_ = XvfbServer::start(options, error);
        ASSERT_TRUE(server_) << error;
        server_->authorizeThisProcess();
        recorder_ = std::make_unique<InputRecorder>(server_->displayName());
        ASSERT_TRUE(recorder_->connected());
        originalMapping_ = recorder_->mapping();
        poster_ = makePoster();
    }

    std::unique_ptr<XTestInputPoster> makePoster()
    {
        return std::make_unique<XTestInputPoster>(server_->displayName(), clock_, executor_);
    }

    // What arrived since the last look, once the server has handled all the poster sent.
    std::vector<Event> arrived()
    {
        poster_->pointerLocation();  // a round trip on the poster's connection
        return recorder_->take();
    }

    std::vector<xcb_keysym_t> typed(std::string_view text)
    {
        poster_->postText(text, {});
        return pressedKeysyms(arrived());
    }

    std::unique_ptr<XvfbServer> server_;
    std::unique_ptr<InputRecorder> recorder_;
    std::pair<int, std::vector<xcb_keysym_t>> originalMapping_;
    std::shared_ptr<runtime::VirtualClock> clock_ = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<runtime::ManualExecutor> executor_ = std::make_shared<runtime::ManualExecutor>();
    std::unique_ptr<XTestInputPoster> poster_;
};

TEST_F(XTestInputPosterTest, WarpMovesThePointerWithoutPressingAnything)
{
    poster_->warpPointer({100.4, 200.6});
    EXPECT_EQ(poster_->pointerLocation(), (ScreenPoint{100, 201}));
    poster_->warpPointer({-50, 1e9});
    EXPECT_EQ(poster_->pointerLocation(), (ScreenPoint{0, screenHeight - 1}));  // the server keeps it on screen
    poster_->warpPointer({std::nan(""), 5});
    EXPECT_EQ(poster_->pointerLocation(), (ScreenPoint{0, screenHeight - 1}));
    EXPECT_TRUE(ofType(arrived(), {XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE, XCB_KEY_PRESS}).empty());
}

TEST_F(XTestInputPosterTest, ButtonsArriveAtTheirPointsAndDragsHoldTheLeftButton)
{
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
        const auto at = std::find_if(motion.begin(), motion.end(), [&](const Event& event) { return event.x == x && event.y == y; });
        ASSERT_NE(at, motion.end()) << x << "," << y;
        EXPECT_EQ((at->state & button1Mask) != 0, held) << x << "," << y;
    }
    EXPECT_EQ(poster_->pointerLocation(), (ScreenPoint{50, 60}));
}

// Buttons pressed by scrolls, in order; each press must be followed by its release.
std::vector<int> wheelClicks(const std::vector<Event>& events)
{
    std::vector<int> clicks;
    const auto buttons = ofType(events, {XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE});
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (buttons[i].type != XCB_BUTTON_PRESS) {
            ADD_FAILURE() << "release without press of button " << int(buttons[i].detail);
            continue;
        }
        if (i + 1 >= buttons.size() || buttons[i + 1].type != XCB_BUTTON_RELEASE || buttons[i + 1].detail != buttons[i].detail)
            ADD_FAILURE() << "press of button " << int(buttons[i].detail) << " not followed by its release";
        else
            ++i;
        clicks.push_back(buttons[i].detail);
    }
    return clicks;
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
        EXPECT_EQ(wheelClicks(arrived()), step.clicks) << step.name;
    }
}

TEST_F(XTestInputPosterTest, KeysTypeTheirUsKeysUnshifted)
{
    std::vector<xcb_keysym_t> expected;
    const std::string_view characters = "abcdefghijklmnopqrstuvwxyz0123456789 ";
    for (std::size_t i = 0; i < characters.size(); ++i) {
        poster_->postKey(static_cast<Key>(static_cast<int>(Key::a) + static_cast<int>(i)), {});
        expected.push_back(static_cast<xcb_keysym_t>(characters[i]));
    }
    ASSERT_EQ(static_cast<int>(Key::a) + characters.size(), static_cast<std::size_t>(Key::enter));
    poster_->postKey(Key::enter, {});
    poster_->postKey(Key::backspace, {});
    expected.insert(expected.end(), {XK_Return, XK_BackSpace});
    const auto events = arrived();
    EXPECT_EQ(pressedKeysyms(events), expected);
    EXPECT_EQ(ofType(events, {XCB_KEY_RELEASE}).size(), expected.size());
    for (const auto& event : ofType(events, {XCB_KEY_PRESS}))
        EXPECT_EQ(event.state & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL), 0) << std::hex << event.keysym;
}

TEST_F(XTestInputPosterTest, TheShortcutModifierHoldsControlAroundTheKey)
{
    poster_->postKey(Key::c, shortcut);
    poster_->postText("v", shortcut);
    poster_->postKey(Key::c, {});
    const auto keys = ofType(arrived(), {XCB_KEY_PRESS, XCB_KEY_RELEASE});
    ASSERT_EQ(keys.size(), 10u);
    const std::vector<std::pair<std::uint8_t, xcb_keysym_t>> expected{
        {XCB_KEY_PRESS, XK_Control_L}, {XCB_KEY_PRESS, XK_c},          {XCB_KEY_RELEASE, XK_c},
        {XCB_KEY_RELEASE, XK_Control_L}, {XCB_KEY_PRESS, XK_Control_L}, {XCB_KEY_PRESS, XK_v},
        {XCB_KEY_RELEASE, XK_v},         {XCB_KEY_RELEASE, XK_Control_L}, {XCB_KEY_PRESS, XK_c},
        {XCB_KEY_RELEASE, XK_c},
    };
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(keys[i].type, expected[i].first) << i;
        EXPECT_EQ(keys[i].keysym, expected[i].second) << i;
    }
    EXPECT_NE(keys[1].state & XCB_MOD_MASK_CONTROL, 0);
    EXPECT_NE(keys[5].state & XCB_MOD_MASK_CONTROL, 0);
    EXPECT_EQ(keys[8].state & XCB_MOD_MASK_CONTROL, 0);
}

TEST_F(XTestInputPosterTest, TextArrivesIntactAndInOrder)
{
    using Keysyms = std::vector<xcb_keysym_t>;
    std::vector<Event> presses;
    auto typedKeys = [&](std::string_view text) {
        poster_->postText(text, {});
        auto events = ofType(arrived(), {XCB_KEY_PRESS});
        presses.insert(presses.end(), events.begin(), events.end());
        return pressedKeysyms(events);
    };
    EXPECT_EQ(typedKeys("hello"), (Keysyms{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(typedKeys("Hi, 42!"), (Keysyms{'H', 'i', ',', ' ', '4', '2', '!'}));
    EXPECT_EQ(typedKeys("é ñ ü"), (Keysyms{0xe9, ' ', 0xf1, ' ', 0xfc}));
    EXPECT_EQ(typedKeys("한글"), (Keysyms{0x100d55c, 0x100ae00}));
    EXPECT_EQ(typedKeys("😀"), (Keysyms{0x101f600}));
    EXPECT_EQ(typedKeys("a\nb\tc\bd\r\ne\rf"),
              (Keysyms{'a', XK_Return, 'b', XK_Tab, 'c', XK_BackSpace, 'd', XK_Return, 'e', XK_Return, 'f'}));
    // Bytes that are not UTF-8, and control characters no key types.
    EXPECT_EQ(typedKeys("x\xFFy\x01\x7f\xC2\x85\xC3z"), (Keysyms{'x', 0x100fffd, 'y', 0x100fffd, 'z'}));
    // Nothing is shifted: what the keyboard has comes from its keys, the rest from keys that
    // type it alone.
    for (const auto& event : presses)
        EXPECT_EQ(event.state & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL), 0) << std::hex << event.keysym;
}

TEST_F(XTestInputPosterTest, LongTextsReuseTheSpareKeycodesWithoutLosingCharacters)
{
    ASSERT_LT(recorder_->emptyKeycodes().size(), 40u);
    std::u32string text;
    std::vector<xcb_keysym_t> expected;
    for (char32_t i = 0; i < 120; ++i) {
        const char32_t syllable = 0xac00 + (i % 40) * 11;  // each 3 times, 40 apart
        text.push_back(syllable);
        expected.push_back(keysymOf(syllable));
    }
    EXPECT_EQ(typed(runtime::encodeUtf8(text)), expected);
}

TEST_F(XTestInputPosterTest, WithOneSpareKeycodeEveryCharacterWaitsForTheLastToBeRead)
{
    poster_.reset();
    auto empty = recorder_->emptyKeycodes();
    ASSERT_GE(empty.size(), 2u);
    const xcb_keycode_t left = empty.back();
    empty.pop_back();
    for (xcb_keycode_t keycode : empty)
        recorder_->setKeysym(keycode, XK_F20);  // taken by someone else
    const auto filled = recorder_->mapping();
    poster_ = makePoster();

    const std::u32string text = U"àáâãäåæçèéêëìíîï";
    const std::vector<xcb_keysym_t> expected(text.begin(), text.end());
    poster_->postText(runtime::encodeUtf8(text), {});
    const auto events = arrived();
    EXPECT_EQ(pressedKeysyms(events), expected);
    for (const auto& event : ofType(events, {XCB_KEY_PRESS}))
        EXPECT_EQ(event.detail, left);

    poster_.reset();
    EXPECT_EQ(recorder_->mapping(), filled);
}

TEST_F(XTestInputPosterTest, SpareKeycodesAreEmptiedWhenTypingPausesAndAtTheEnd)
{
    EXPECT_EQ(typed("é😀한"), (std::vector<xcb_keysym_t>{0xe9, 0x101f600, 0x100d55c}));
    EXPECT_NE(recorder_->mapping(), originalMapping_);

    clock_->advance(XTestInputPoster::spareKeycodeRestoreDelay - 1ms);
    poster_->pointerLocation();
    EXPECT_NE(recorder_->mapping(), originalMapping_);
    EXPECT_EQ(typed("é"), (std::vector<xcb_keysym_t>{0xe9}));  // typing again puts the emptying off

    clock_->advance(XTestInputPoster::spareKeycodeRestoreDelay - 1ms);
    poster_->pointerLocation();
    EXPECT_NE(recorder_->mapping(), originalMapping_);
    clock_->advance(1ms);
    poster_->pointerLocation();
    EXPECT_EQ(recorder_->mapping(), originalMapping_);

    EXPECT_EQ(typed("ñ글"), (std::vector<xcb_keysym_t>{0xf1, 0x100ae00}));
    EXPECT_NE(recorder_->mapping(), originalMapping_);
    poster_.reset();
    EXPECT_EQ(recorder_->mapping(), originalMapping_);
}

TEST_F(XTestInputPosterTest, KeysOtherClientsMapAreUsedAndLeftAlone)
{
    const auto spare = recorder_->emptyKeycodes();
    ASSERT_GE(spare.size(), 2u);
    // Another client puts é on a key: it is typed there, and stays.
    recorder_->setKeysym(spare[0], 0xe9);
    poster_->pointerLocation();
    poster_->postText("é", {});
    auto presses = ofType(arrived(), {XCB_KEY_PRESS});
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].detail, spare[0]);
    EXPECT_EQ(presses[0].keysym, 0xe9u);

    // A key the poster filled and another client then took is the other client's.
    EXPECT_EQ(typed("ñ"), (std::vector<xcb_keysym_t>{0xf1}));
    const auto now = recorder_->emptyKeycodes();
    xcb_keycode_t lent = 0;
    for (xcb_keycode_t keycode : spare)
        if (std::find(now.begin(), now.end(), keycode) == now.end() && keycode != spare[0])
            lent = keycode;
    ASSERT_NE(lent, 0);
    EXPECT_EQ(recorder_->keysymOf(lent), 0xf1u);
    recorder_->setKeysym(lent, XK_F21);
    // More characters than spare keycodes: none of them lands on the keys the other client has.
    std::u32string text;
    std::vector<xcb_keysym_t> expected;
    for (std::size_t i = 0; i < spare.size() + 2; ++i) {
        text.push_back(static_cast<char32_t>(0x3b1 + i));
        expected.push_back(keysymOf(text.back()));
    }
    EXPECT_EQ(typed(runtime::encodeUtf8(text)), expected);
    EXPECT_EQ(recorder_->keysymOf(spare[0]), 0xe9u);
    EXPECT_EQ(recorder_->keysymOf(lent), static_cast<xcb_keysym_t>(XK_F21));
    poster_.reset();
    EXPECT_EQ(recorder_->keysymOf(spare[0]), 0xe9u);
    EXPECT_EQ(recorder_->keysymOf(lent), static_cast<xcb_keysym_t>(XK_F21));
    EXPECT_EQ(recorder_->emptyKeycodes().size(), spare.size() - 2);
}

TEST_F(XTestInputPosterTest, PointerAndTextFromTwoThreadsBothArrive)
{
    std::u32string text;
    std::vector<xcb_keysym_t> expected;
    for (char32_t i = 0; i < 60; ++i) {
        text.push_back(i % 3 == 0 ? U'a' + i % 26 : 0x3b1 + i % 24);
        expected.push_back(keysymOf(text.back()));
    }
    std::thread pointer([&] {
        for (int i = 0; i < 200; ++i) {
            poster_->postMouseEvent(MouseEventType::moved, {static_cast<double>(i), static_cast<double>(i)});
            poster_->pointerLocation();
        }
    });
    poster_->postText(runtime::encodeUtf8(text), {});
    pointer.join();
    const auto events = arrived();
    EXPECT_EQ(pressedKeysyms(events), expected);
    EXPECT_EQ(ofType(events, {XCB_MOTION_NOTIFY}).back().x, 199);
}

TEST_F(XTestInputPosterTest, WithoutAServerNothingHappens)
{
    // Parallel tests start servers of their own, and one may take over a number just given up,
    // so the display here is one no test server is ever given.
    const std::string displayName = ":4093";
    ASSERT_NE(access("/tmp/.X11-unix/X4093", F_OK), 0);
    // The poster's own clock and queue: the default a host uses.
    XTestInputPoster poster(displayName);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(poster.pointerLocation());
        poster.warpPointer({1, 1});
        poster.postMouseEvent(MouseEventType::leftDown, {1, 1});
        poster.postScroll(100, 100);
        poster.postKey(Key::a, shortcut);
        poster.postText("é", {});
    }
}

TEST_F(XTestInputPosterTest, AServerKilledMidwayLeavesCallsDoingNothing)
{
    // Killed while a long text waits for spare keycodes: the next write goes to a closed socket,
    // which must not end the process with SIGPIPE.
    std::u32string text;
    for (char32_t i = 0; i < 100; ++i)
        text.push_back(0x4e00 + i);
    std::thread typing([&, text = runtime::encodeUtf8(text)] { poster_->postText(text, {}); });
    EXPECT_TRUE(recorder_->waitForKeyPresses(1));
    kill(server_->processID(), SIGKILL);
    typing.join();
    ASSERT_TRUE(recorder_->waitUntilDisconnected());
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

// Polls `condition` until it holds, for what a connection being opened on another thread needs.
template <typename Condition>
bool eventually(Condition condition)
{
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Calls `call` on a thread of its own and moves the clock until it returns.
template <typename Call>
auto returnsOnceTimePasses(runtime::VirtualClock& clock, Call call)
{
    auto result = std::async(std::launch::async, call);
    while (result.wait_for(5ms) != std::future_status::ready)
        clock.advance(50ms);
    return result.get();
}

TEST_F(XTestInputPosterTest, AStoppedServerIsGivenUpOnAndReconnectedOnceItResumes)
{
    EXPECT_TRUE(poster_->pointerLocation());
    {
        StoppedServer stopped(server_->processID());
        poster_->postMouseEvent(MouseEventType::moved, {7, 7});  // sent, never answered
        EXPECT_FALSE(returnsOnceTimePasses(*clock_, [&] { return poster_->pointerLocation(); }));
        // Given up on: nothing waits until it is time to connect again, and the new connection
        // is not waited for twice.
        EXPECT_FALSE(poster_->pointerLocation());
        poster_->postText("é", {});
        clock_->advance(XTestInputPoster::reconnectInterval);
        EXPECT_FALSE(returnsOnceTimePasses(*clock_, [&] { return poster_->pointerLocation(); }));
        EXPECT_FALSE(poster_->pointerLocation());
    }
    // The connection opened meanwhile is taken up by the first call after it did.
    ASSERT_TRUE(eventually([&] { return poster_->pointerLocation().has_value(); }));
    poster_->postMouseEvent(MouseEventType::moved, {9, 9});
    EXPECT_EQ(poster_->pointerLocation(), (ScreenPoint{9, 9}));
    EXPECT_EQ(typed("ok"), (std::vector<xcb_keysym_t>{'o', 'k'}));
}

TEST_F(XTestInputPosterTest, AServerThatStopsReadingIsGivenUpOn)
{
    EXPECT_TRUE(poster_->pointerLocation());
    StoppedServer stopped(server_->processID());
    // Far more than the socket holds: a poster that kept writing would block for good.
    EXPECT_TRUE(returnsOnceTimePasses(*clock_, [&] {
        for (int i = 0; i < 50000; ++i)
            poster_->postMouseEvent(MouseEventType::moved, {static_cast<double>(i % 100), 0});
        return true;
    }));
}

TEST_F(XTestInputPosterTest, APosterStartedOnAStoppedServerConnectsWhenItResumes)
{
    poster_.reset();
    std::optional<StoppedServer> stopped(server_->processID());
    poster_ = makePoster();
    EXPECT_FALSE(returnsOnceTimePasses(*clock_, [&] { return poster_->pointerLocation(); }));
    poster_->postText("lost", {});
    stopped.reset();
    ASSERT_TRUE(eventually([&] { return poster_->pointerLocation().has_value(); }));
    EXPECT_EQ(typed("ok"), (std::vector<xcb_keysym_t>{'o', 'k'}));
}

}  // namespace
}  // namespace kestrio::platform
