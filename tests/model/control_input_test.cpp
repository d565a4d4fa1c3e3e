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

class ControlInputTest : public ::testing::Test {
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

TEST_F(ControlInputTest, UntrustedInputIsDroppedAndReportedOncePerChange)
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

TEST_F(ControlInputTest, PositionsMapOntoTheCapturedDisplay)
{
    startStreaming();
    // Physical displays 1920 + 1280 wide: the monitor starts at x = 3200.
    send(Click{0.25, 0.5});
    ASSERT_EQ(harness.input->warps.size(), 1u);
    EXPECT_EQ(harness.input->warps[0], (ScreenPoint{3200 + 480, 540}));
    EXPECT_EQ(mouseTypes(), (std::vector<MouseEventType>{MouseEventType::leftDown, MouseEventType::leftUp}));
    EXPECT_EQ(harness.input->mouse[0].at, harness.input->warps[0]);

    send(RightClick{1, 1});
    EXPECT_EQ(harness.input->warps.back(), (ScreenPoint{3200 + 1920, 1080}));
    EXPECT_EQ(harness.input->mouse.back().type, MouseEventType::rightUp);

    // Mirroring the second display.
    send(SourceMode{link::SourceMode::mirror});
    harness.model->setSelectedDisplayID(2);
    harness.run([](model::HostModel& m) { return m.stopStreaming(); });
    harness.run([](model::HostModel& m) { return m.startStreaming(); });
    send(Move{0.5, 0.5});
    EXPECT_EQ(harness.input->warps.back(), (ScreenPoint{1920 + 640, 512}));
}

TEST_F(ControlInputTest, MovesDragsAndButtonPairs)
{
    startStreaming();
    send(Move{0.1, 0.1});
    EXPECT_EQ(harness.input->warps.size(), 1u);
    EXPECT_TRUE(harness.input->mouse.empty()) << "a move with no button down only warps";

    send(MouseDown{0.1, 0.1});
    send(MouseDown{0.2, 0.2});
    send(Move{0.3, 0.3});
    send(MouseUp{0.3, 0.3});
    send(MouseUp{0.3, 0.3});
    EXPECT_EQ(mouseTypes(),
              (std::vector<MouseEventType>{MouseEventType::leftDown, MouseEventType::leftDragged, MouseEventType::leftUp}));
    EXPECT_FALSE(harness.model->mouseButtonIsDown());

    harness.input->pointer = ScreenPoint{10, 20};
    send(ClickCurrent{});
    send(RightClickCurrent{});
    EXPECT_EQ(harness.input->mouse.back().at, (ScreenPoint{10, 20}));
    EXPECT_EQ(harness.input->warps.size(), 6u) << "clicks at the pointer do not warp";
}

TEST_F(ControlInputTest, ScrollAmountsAreRoundedAndClamped)
{
    startStreaming();
    send(Scroll{0.5, 0.5, 0.4, -0.4});
    EXPECT_TRUE(harness.input->scrolls.empty());
    EXPECT_EQ(harness.input->warps.size(), 1u) << "the pointer still goes there";
    send(Scroll{0.5, 0.5, 700, 0});
    send(Scroll{0.5, 0.5, -2.5, 3.5});
    EXPECT_EQ(harness.input->scrolls, (std::vector<std::pair<std::int32_t, std::int32_t>>{{0, 500}, {4, -3}}))
        << "(vertical, horizontal), halves away from zero";
}

TEST_F(ControlInputTest, EventsBeforeAnyCaptureAreDroppedButReported)
{
    harness.create();
    harness.model->setAutoStartOnConnect(false);
    harness.connectViewer();
    send(Click{0.5, 0.5});
    EXPECT_TRUE(harness.input->mouse.empty());
    EXPECT_EQ(harness.link->controls, std::vector<std::string>{"INPUT READY"});
}

TEST_F(ControlInputTest, TextIsOneEventUnlessCommandIsHeld)
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

TEST_F(ControlInputTest, AViewerThatLeavesOrIsReplacedLeavesNothingBehind)
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

TEST_F(ControlInputTest, AViewerWhoseInputCannotBeKeptUpWithIsDropped)
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

TEST_F(ControlInputTest, TheInputPermissionIsAskedAtMostOnceASecond)
{
    startStreaming();
    const int before = harness.permissions->trustQueries;
    for (int i = 0; i < 50; ++i)
        send(ClickCurrent{});
    EXPECT_LE(harness.permissions->trustQueries - before, 1);
    const int afterBurst = harness.permissions->trustQueries;
    harness.advance(model::HostModel::inputTrustLifetime);
    send(ClickCurrent{});
    EXPECT_EQ(harness.permissions->trustQueries, afterBurst + 1);
    harness.model->refreshPermissions();  // the user's own refresh always asks
    EXPECT_EQ(harness.permissions->trustQueries, afterBurst + 2);
}

TEST_F(ControlInputTest, PostingRunsOnTheInputQueueInArrivalOrder)
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

TEST_F(ControlInputTest, VolumeStepsByFiveAndMutesAtTheBottom)
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

TEST_F(ControlInputTest, RelativeMotionBypassesTheGateAndStopsWithTheConnection)
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
        {U'a', Key::a}, {U'A', Key::a}, {U'z', Key::z}, {U'Z', Key::z}, {U'c', Key::c},
        {U'0', Key::digit0}, {U'5', Key::digit5}, {U'9', Key::digit9}, {U' ', Key::space},
        {U'\u212A', Key::k},  // the Kelvin sign lower-cases to k
        {U'@', std::nullopt}, {U'[', std::nullopt}, {U'`', std::nullopt}, {U'{', std::nullopt},
        {U'/', std::nullopt}, {U':', std::nullopt}, {U'!', std::nullopt}, {U'é', std::nullopt},
        {U'\n', std::nullopt},
    };
    for (const auto& [character, key] : cases)
        EXPECT_EQ(model::keyForCharacter(character), key) << std::hex << static_cast<std::uint32_t>(character);
}

}  // namespace
}  // namespace kestrio::test
