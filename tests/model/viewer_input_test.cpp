// The viewer's pointer, keyboard, text and volume events as the model injects them: the
// permission gate and its INPUT reports, positions on the captured display, and the key rules.
#include "model/model_fakes_support.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace link::control;
using model::MouseEventType;
using model::ScreenPoint;
using KeyPresses = std::vector<std::pair<model::Key, model::Modifiers>>;
using Typed = std::pair<std::string, model::Modifiers>;
constexpr model::Modifiers shortcut{.shortcut = true};

class ViewerInputTest : public ::testing::Test {
protected:
    // Streaming to the virtual monitor, which sits right of the two physical displays.
    void startStreaming()
    {
        harness.create();
        harness.connectViewer();
        ASSERT_TRUE(harness.model->isStreaming());
        harness.link->controls.clear();
    }

    void send(const link::ViewerControlEvent& event)
    {
        harness.link->onControlEvent(event);
        harness.settle();
    }

    std::vector<MouseEventType> mouseTypes() const
    {
        std::vector<MouseEventType> types;
        for (const auto& event : harness.input->mouse)
            types.push_back(event.type);
        return types;
    }

    ModelHarness harness;
};

TEST_F(ViewerInputTest, UntrustedInputIsDroppedAndReportedOncePerChange)
{
    harness.permissions->trusted = false;
    startStreaming();
    send(Click{0.5, 0.5});
    send(Text{"hi"});
    EXPECT_TRUE(harness.input->mouse.empty());
    EXPECT_TRUE(harness.input->texts.empty());
    EXPECT_EQ(harness.link->controls, std::vector<std::string>{"INPUT NEEDS_PERMISSION"});
    EXPECT_EQ(harness.permissions->prompts, 1) << "one prompt per run";

    harness.permissions->trusted = true;
    harness.advance(model::HostModel::inputTrustLifetime);  // the answer is kept that long
    send(Click{0.5, 0.5});
    send(Click{0.5, 0.5});
    EXPECT_EQ(harness.link->controls, (std::vector<std::string>{"INPUT NEEDS_PERMISSION", "INPUT READY"}));
    EXPECT_EQ(harness.input->mouse.size(), 4u);

    // A new connection hears it again with its first gated event.
    harness.disconnectViewer();
    harness.connectViewer();
    harness.link->controls.clear();
    send(ClickCurrent{});
    EXPECT_EQ(harness.link->controls, std::vector<std::string>{"INPUT READY"});
}

// What each pointer event posts, on the monitor right of the two physical displays (1920 +
// 1280 wide: it starts at x = 3200).
TEST_F(ViewerInputTest, PointerEventsPostAtTheirPlaceOnTheCapturedDisplay)
{
    using Events = std::vector<link::ViewerControlEvent>;
    using Types = std::vector<MouseEventType>;
    using Scrolls = std::vector<std::pair<std::int32_t, std::int32_t>>;
    struct Case {
        Events events;
        Types mouse;
        std::vector<ScreenPoint> warps;
        Scrolls scrolls;
    };
    const ScreenPoint pointer{10, 20};
    const std::vector<Case> cases{
        {{Click{0.25, 0.5}}, {MouseEventType::leftDown, MouseEventType::leftUp}, {{3200 + 480, 540}}, {}},
        {{RightClick{1, 1}}, {MouseEventType::rightDown, MouseEventType::rightUp}, {{3200 + 1920, 1080}}, {}},
        {{Move{0, 0}}, {}, {{3200, 0}}, {}},  // no button down: only warps
        {{MouseDown{0, 0}, MouseDown{0, 0}, Move{0, 0}, MouseUp{0, 0}, MouseUp{0, 0}},
         {MouseEventType::leftDown, MouseEventType::leftDragged, MouseEventType::leftUp},
         {{3200, 0}, {3200, 0}, {3200, 0}, {3200, 0}, {3200, 0}},
         {}},
        {{ClickCurrent{}, RightClickCurrent{}},
         {MouseEventType::leftDown, MouseEventType::leftUp, MouseEventType::rightDown, MouseEventType::rightUp},
         {},
         {}},
        // (vertical, horizontal), halves away from zero, at most 500; nothing below a half.
        {{Scroll{0, 0, 0.4, -0.4}, Scroll{0, 0, 700, 0}, Scroll{0, 0, -2.5, 3.5}}, {}, {{3200, 0}, {3200, 0}, {3200, 0}}, {{0, 500}, {4, -3}}},
    };
    for (std::size_t index = 0; index < cases.size(); ++index) {
        ModelHarness fresh;
        fresh.create();
        fresh.connectViewer();
        fresh.input->pointer = pointer;
        for (const auto& event : cases[index].events)
            fresh.link->onControlEvent(event);
        fresh.settle();
        Types types;
        for (const auto& event : fresh.input->mouse) {
            types.push_back(event.type);
            EXPECT_EQ(event.at, fresh.input->warps.empty() ? pointer : fresh.input->warps.back()) << index;
        }
        EXPECT_EQ(types, cases[index].mouse) << index;
        EXPECT_EQ(fresh.input->warps, cases[index].warps) << index;
        EXPECT_EQ(fresh.input->scrolls, cases[index].scrolls) << index;
        EXPECT_FALSE(fresh.model->mouseButtonIsDown()) << index;
    }

    // Before any capture nothing is posted, but the viewer hears that input works.
    harness.create();
    harness.model->setAutoStartOnConnect(false);
    harness.connectViewer();
    send(Click{0.5, 0.5});
    EXPECT_TRUE(harness.input->order.empty());
    EXPECT_EQ(harness.link->controls, std::vector<std::string>{"INPUT READY"});
}

TEST_F(ViewerInputTest, TextIsOneEventUnlessCommandIsHeld)
{
    startStreaming();
    send(Text{"hello"});
    send(Text{"é한😀"});
    EXPECT_EQ(harness.input->texts, (std::vector<Typed>{{"hello", {}}, {"é한😀", {}}}));
    // A long text goes in pieces of whole characters.
    std::string syllables;
    for (int i = 0; i < 100; ++i)
        syllables += "한";
    send(Text{syllables});
    ASSERT_EQ(harness.input->texts.size(), 4u);
    EXPECT_EQ(harness.input->texts[2].first + harness.input->texts[3].first, syllables);
    EXPECT_EQ(harness.input->texts[2].first.size(), 64u * 3);
    harness.input->texts.clear();

    send(Key{link::ViewerKeyboardKey::commandDown});
    EXPECT_TRUE(harness.input->keys.empty()) << "the modifier itself posts nothing";
    send(Text{"C!"});
    EXPECT_EQ(harness.input->keys, (KeyPresses{{model::Key::c, shortcut}}));
    EXPECT_EQ(harness.input->texts, (std::vector<Typed>{{"!", shortcut}}));

    send(Key{link::ViewerKeyboardKey::backspace});
    EXPECT_EQ(harness.input->keys.back(), std::pair(model::Key::backspace, shortcut));
    send(Key{link::ViewerKeyboardKey::commandUp});
    send(Key{link::ViewerKeyboardKey::commandUp});
    send(Key{link::ViewerKeyboardKey::returnKey});
    EXPECT_EQ(harness.input->keys.back(), std::pair(model::Key::enter, model::Modifiers{}));
}

TEST_F(ViewerInputTest, AViewerThatLeavesOrIsReplacedLeavesNothingBehind)
{
    for (const bool replaced : {false, true}) {
        ModelHarness fresh;
        fresh.holdInputQueue = true;
        auto& model = fresh.create();
        fresh.connectViewer();
        for (const link::ViewerControlEvent& event : std::initializer_list<link::ViewerControlEvent>{
                 Key{link::ViewerKeyboardKey::commandDown}, MouseDown{0.5, 0.5}, Text{std::string(1000, 'x')}})
            fresh.link->onControlEvent(event);
        fresh.settle();
        if (!replaced)
            fresh.disconnectViewer();
        fresh.connectViewer();  // without a disconnect: a new connection took over
        fresh.inputQueue->runUntilIdle();
        EXPECT_TRUE(fresh.input->texts.empty()) << replaced << ": the typing was dropped";
        ASSERT_FALSE(fresh.input->mouse.empty()) << replaced;
        EXPECT_EQ(fresh.input->mouse.back().type, MouseEventType::leftUp) << replaced << ": the button released";
        EXPECT_FALSE(model.mouseButtonIsDown()) << replaced;
        EXPECT_FALSE(model.keyboardModifiers().shortcut) << replaced << ": Command is not inherited";
    }
}

TEST_F(ViewerInputTest, AViewerWhoseInputCannotBeKeptUpWithIsDropped)
{
    harness.holdInputQueue = true;  // never gets to post
    startStreaming();
    const auto generation = harness.link->generation;
    const std::string paste(4096, 'a');
    for (int i = 0; i < 40; ++i)
        send(Text{paste});
    EXPECT_EQ(harness.link->drops, (std::vector<std::pair<std::uint64_t, std::string>>{{generation, std::string(model::inputFloodText)}}));
    EXPECT_LE(harness.model->controlEvents().pendingTextBytes(), 64u * 1024);
    EXPECT_EQ(model::errorText(*harness.model), std::optional<std::string>(model::inputFloodText));

    harness.disconnectViewer();
    EXPECT_EQ(model::statusTitle(*harness.model).korean, model::inputFloodText);
    harness.inputQueue->runUntilIdle();
    EXPECT_TRUE(harness.input->texts.empty()) << "nothing typed for the dropped viewer";
    EXPECT_EQ(harness.model->controlEvents().pendingTextBytes(), 0u);
}

TEST_F(ViewerInputTest, PostingRunsOnTheInputQueueInArrivalOrder)
{
    harness.holdInputQueue = true;
    startStreaming();
    send(Key{link::ViewerKeyboardKey::commandDown});
    send(Text{"a"});
    send(Key{link::ViewerKeyboardKey::commandUp});
    send(Text{"long paste"});
    send(MouseDown{0.5, 0.5});
    send(Click{0.25, 0.25});
    send(MouseUp{0.5, 0.5});
    send(Scroll{0.5, 0.5, 0, -120});
    EXPECT_TRUE(harness.input->order.empty()) << "nothing is posted from the main executor";
    EXPECT_FALSE(harness.model->mouseButtonIsDown()) << "the button state is the model's at once";
    EXPECT_EQ(harness.link->controls, std::vector<std::string>{"INPUT READY"});

    harness.inputQueue->runUntilIdle();
    EXPECT_EQ(harness.input->order, (std::vector<std::string>{"key", "text", "warp", "mouse", "warp", "mouse", "mouse", "warp",
                                                              "mouse", "warp", "scroll"}));
    // Each event keeps the modifiers it was sent with.
    EXPECT_EQ(harness.input->keys, (KeyPresses{{model::Key::a, shortcut}}));
    EXPECT_EQ(harness.input->texts[0], (Typed{"long paste", {}}));
}

TEST_F(ViewerInputTest, VolumeStepsByFiveAndMutesAtTheBottom)
{
    harness.permissions->trusted = false;
    startStreaming();
    harness.volume->level = 3;
    send(VolumeDown{});
    EXPECT_EQ(harness.volume->level, 0);
    EXPECT_TRUE(harness.volume->muted);
    harness.volume->level = 98;
    send(VolumeUp{});
    EXPECT_EQ(harness.volume->level, 100);
    EXPECT_FALSE(harness.volume->muted);
    EXPECT_TRUE(harness.link->controls.empty()) << "volume is not gated";

    harness.volume->level.reset();
    send(VolumeUp{});
    EXPECT_EQ(harness.volume->sets, 2) << "no sound server, nothing set";

    // Steps that come while the sound server is being asked become one change.
    harness.volume->level = 50;
    for (const link::ViewerControlEvent& event : std::initializer_list<link::ViewerControlEvent>{VolumeUp{}, VolumeUp{}, VolumeDown{}, VolumeUp{}})
        harness.link->onControlEvent(event);
    harness.settle();
    EXPECT_EQ(harness.volume->sets, 3);
    EXPECT_EQ(harness.volume->level, 60);
}

TEST_F(ViewerInputTest, RelativeMotionBypassesTheGateAndStopsWithTheConnection)
{
    harness.permissions->trusted = false;
    startStreaming();
    harness.input->pointer = ScreenPoint{100, 100};
    send(MoveRelative{10, 0});
    harness.advance(std::chrono::milliseconds(80));
    EXPECT_EQ(harness.input->mouse.size(), 10u);
    EXPECT_EQ(harness.input->pointer, (ScreenPoint{150, 100}));
    EXPECT_TRUE(harness.link->controls.empty());

    harness.disconnectViewer();
    harness.advance(std::chrono::milliseconds(80));
    EXPECT_EQ(harness.input->mouse.size(), 10u) << "halted when the viewer left";
}

TEST(KeyForCharacter, LettersDigitsAndSpaceCaseInsensitively)
{
    using model::Key;
    const std::vector<std::pair<char32_t, std::optional<Key>>> cases{
        {U'A', Key::a}, {U'z', Key::z}, {U'0', Key::digit0}, {U'9', Key::digit9}, {U' ', Key::space},
        {U'\u212A', Key::k},  // the Kelvin sign lower-cases to k
        {U'@', std::nullopt}, {U'[', std::nullopt}, {U'`', std::nullopt}, {U'{', std::nullopt}, {U'/', std::nullopt}, {U':', std::nullopt},
    };
    for (const auto& [character, key] : cases)
        EXPECT_EQ(model::keyForCharacter(character), key) << std::hex << static_cast<std::uint32_t>(character);
}

}  // namespace
}  // namespace kestrio::test
