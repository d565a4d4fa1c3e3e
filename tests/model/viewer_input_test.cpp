// The viewer's pointer, keyboard, text and volume events as the model injects them: the
// permission gate and its INPUT reports, positions on the captured display, and the key rules.
#include "model/model_harness.h"

#include <gtest/gtest.h>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using namespace link::control;
using model::MouseEventType;
using model::ScreenPoint;
using Events = std::vector<link::ViewerControlEvent>;
constexpr model::Modifiers shortcut{.shortcut = true};

// Streaming to the virtual monitor, right of the two physical displays: it starts at x = 3200.
class ViewerInputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        harness.create();
        harness.connectViewer();
        ASSERT_TRUE(harness.model->streaming().isStreaming());
        harness.link->controls.clear();
    }

    ModelHarness harness;
    RecordingInput& input = *harness.input;
};

TEST_F(ViewerInputTest, UntrustedInputIsDroppedAndReportedOncePerChangeAndConnection)
{
    harness.permissions->trusted = false;
    harness.advance(model::HostModel::inputTrustLifetime);
    harness.send({Click{0.5, 0.5}, Text{"hi"}, VolumeUp{}, MoveRelative{10, 0}});
    harness.advance(16ms);
    EXPECT_TRUE(input.texts.empty());
    const auto moved = input.mouse.size();
    EXPECT_GE(moved, 2u) << "relative motion is not gated";
    EXPECT_EQ(harness.volume->level, 55) << "nor is the volume";
    EXPECT_EQ(harness.link->controls, std::vector<std::string>{"INPUT NEEDS_PERMISSION"});

    harness.disconnectViewer();
    harness.advance(80ms);
    EXPECT_EQ(input.mouse.size(), moved) << "relative motion halts when the viewer leaves";
    harness.permissions->trusted = true;
    harness.advance(model::HostModel::inputTrustLifetime);
    harness.connectViewer();
    harness.send({ClickCurrent{}, ClickCurrent{}});
    EXPECT_EQ(harness.link->controls, (std::vector<std::string>{"INPUT NEEDS_PERMISSION", "INPUT READY"}));
    harness.disconnectViewer();
    harness.connectViewer();
    harness.send({ClickCurrent{}});
    EXPECT_EQ(harness.link->controls.size(), 3u) << "a new connection hears it again";
}

TEST_F(ViewerInputTest, PointerEventsPostAtTheirPlaceOnTheCapturedDisplay)
{
    using Types = std::vector<MouseEventType>;
    struct Case {
        Events events;
        Types mouse;
        std::vector<ScreenPoint> warps;
        std::vector<std::pair<std::int32_t, std::int32_t>> scrolls;
    };
    const ScreenPoint pointer{10, 20};
    const Case cases[] = {
        {{Click{0.25, 0.5}}, {MouseEventType::leftDown, MouseEventType::leftUp}, {{3200 + 480, 540}}, {}},
        {{RightClick{1, 1}}, {MouseEventType::rightDown, MouseEventType::rightUp}, {{3200 + 1920, 1080}}, {}},
        {{Move{0, 0}}, {}, {{3200, 0}}, {}},
        {{MouseDown{0, 0}, MouseDown{0, 0}, Move{0, 0}, MouseUp{0, 0}, MouseUp{0, 0}},
         {MouseEventType::leftDown, MouseEventType::leftDragged, MouseEventType::leftUp}, std::vector<ScreenPoint>(5, {3200, 0}), {}},
        {{ClickCurrent{}, RightClickCurrent{}},
         {MouseEventType::leftDown, MouseEventType::leftUp, MouseEventType::rightDown, MouseEventType::rightUp}, {}, {}},
        // (vertical, horizontal), halves away from zero, at most 500; nothing below a half.
        {{Scroll{0, 0, 0.4, -0.4}, Scroll{0, 0, 700, 0}, Scroll{0, 0, -2.5, 3.5}}, {}, std::vector<ScreenPoint>(3, {3200, 0}), {{0, 500}, {4, -3}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.warps));
        input = RecordingInput{};
        input.pointer = pointer;
        harness.send(c.events);
        Types types;
        for (const auto& event : input.mouse) {
            types.push_back(event.type);
            EXPECT_EQ(event.at, input.warps.empty() ? pointer : input.warps.back());
        }
        EXPECT_EQ(types, c.mouse);
        EXPECT_EQ(input.warps, c.warps);
        EXPECT_EQ(input.scrolls, c.scrolls);
        EXPECT_FALSE(harness.model->viewerInput().mouseButtonIsDown());
    }
    harness.run(stopStreaming);
    input = RecordingInput{};
    harness.send({Click{0.5, 0.5}});
    EXPECT_TRUE(input.order.empty()) << "no capture, nowhere to post";
    EXPECT_EQ(harness.link->controls, std::vector<std::string>{"INPUT READY"});
}

TEST_F(ViewerInputTest, KeysAndTextPostOnTheInputQueueInArrivalOrder)
{
    harness.holdInputQueue = true;
    std::string syllables;
    for (int i = 0; i < 100; ++i)
        syllables += "한";
    harness.send({Text{"é한😀"}, Key{link::ViewerKeyboardKey::commandDown}, Text{"C!"}, Key{link::ViewerKeyboardKey::backspace},
                  MouseDown{0.5, 0.5}, Key{link::ViewerKeyboardKey::commandUp}, Key{link::ViewerKeyboardKey::commandUp},
                  Key{link::ViewerKeyboardKey::returnKey}, MouseUp{0.5, 0.5}, Text{syllables}});
    EXPECT_TRUE(input.order.empty()) << "nothing is posted from the main executor";
    harness.inputQueue->runUntilIdle();
    EXPECT_EQ(input.order, (std::vector<std::string>{"text", "key", "text", "key", "warp", "mouse", "key", "warp", "mouse", "text", "text"}));
    EXPECT_EQ(input.keys, (decltype(input.keys){{model::Key::c, shortcut}, {model::Key::backspace, shortcut}, {model::Key::enter, {}}}));
    EXPECT_EQ(input.texts, (decltype(input.texts){{"é한😀", {}}, {"!", shortcut}, {syllables.substr(0, 64 * 3), {}}, {syllables.substr(64 * 3), {}}}));
}

// A viewer that leaves, is replaced or floods the input leaves no typing, button or modifier behind.
TEST_F(ViewerInputTest, AViewerThatLeavesIsReplacedOrFloodsLeavesNothingBehind)
{
    harness.holdInputQueue = true;
    for (const bool replaced : {false, true}) {
        SCOPED_TRACE(replaced);
        input = RecordingInput{};
        harness.send({Key{link::ViewerKeyboardKey::commandDown}, MouseDown{0.5, 0.5}, Text{std::string(1000, 'x')}});
        if (!replaced)
            harness.disconnectViewer();
        harness.connectViewer();
        harness.inputQueue->runUntilIdle();
        EXPECT_TRUE(input.keys.empty()) << "the typing was dropped";
        ASSERT_FALSE(input.mouse.empty());
        EXPECT_EQ(input.mouse.back().type, MouseEventType::leftUp);
        EXPECT_FALSE(harness.model->viewerInput().mouseButtonIsDown());
        EXPECT_FALSE(harness.model->viewerInput().keyboardModifiers().shortcut) << "Command is not inherited";
    }

    const auto generation = harness.link->generation;
    for (int i = 0; i < 40; ++i)
        harness.send({Text{std::string(4096, 'a')}});
    EXPECT_EQ(harness.link->drops, (decltype(harness.link->drops){{generation, std::string(model::inputFloodText)}}));
    EXPECT_LE(harness.model->viewerInput().events().pendingTextBytes(), 64u * 1024);
    harness.disconnectViewer();
    EXPECT_EQ(model::statusTitle(*harness.model).korean, model::inputFloodText);
    harness.inputQueue->runUntilIdle();
    EXPECT_TRUE(input.texts.empty()) << "nothing typed for the dropped viewer";
    EXPECT_EQ(harness.model->viewerInput().events().pendingTextBytes(), 0u);
}

TEST_F(ViewerInputTest, VolumeStepsByFiveMutesAtTheBottomAndMergesStepsWhileAsking)
{
    struct Case {
        std::optional<int> level;
        Events events;
        std::optional<int> after;
        bool muted;
        int sets;
    };
    for (const auto& c : {Case{3, {VolumeDown{}}, 0, true, 1}, Case{98, {VolumeUp{}}, 100, false, 1}, Case{std::nullopt, {VolumeUp{}}, std::nullopt, false, 0},
                          Case{50, {VolumeUp{}, VolumeUp{}, VolumeDown{}, VolumeUp{}}, 60, false, 1}}) {
        SCOPED_TRACE(c.level.value_or(-1));
        *harness.volume = FakeVolume{};
        harness.volume->level = c.level;
        harness.send(c.events);
        EXPECT_EQ(harness.volume->level, c.after);
        EXPECT_EQ(harness.volume->muted, c.muted);
        EXPECT_EQ(harness.volume->sets, c.sets);
    }
}

TEST(KeyForCharacter, LettersDigitsAndSpaceCaseInsensitively)
{
    using model::Key;
    const std::pair<char32_t, std::optional<Key>> cases[] = {
        {U'A', Key::a}, {U'z', Key::z}, {U'0', Key::digit0}, {U'9', Key::digit9}, {U' ', Key::space}, {U'\u212A', Key::k},
        {U'@', std::nullopt}, {U'[', std::nullopt}, {U'`', std::nullopt}, {U'{', std::nullopt}, {U'/', std::nullopt}, {U':', std::nullopt},
    };
    for (const auto& [character, key] : cases)
        EXPECT_EQ(model::keyForCharacter(character), key) << std::hex << static_cast<std::uint32_t>(character);
}

}  // namespace
}  // namespace kestrio::test
