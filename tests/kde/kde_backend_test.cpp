#include "display/virtual_display_error.h"
#include "platform/kde/kde_display_capture.h"
#include "platform/kde/kde_displays.h"
#include "platform/kde/kde_input_poster.h"
#include "platform/kde/kde_permissions.h"
#include "support/captured_frames.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <thread>
#include <filesystem>

// Runs beside the headless KWin of headless_kwin.sh, as its user: two outputs, 1280×720 each.
namespace kestrio::platform::kde {
namespace {

using namespace std::chrono_literals;

// The outputs side by side; the same identifiers from a second connection; KWin's virtual
// backend refuses virtual outputs, which is a monitor that cannot be made.
TEST(KdeBackend, ListsKwinsOutputsWithStableIdentifiersAndSaysWhenNoVirtualMonitorCanBeMade)
{
    const auto desktop = std::make_shared<KdeDesktop>();
    ASSERT_TRUE(desktop->connection()->kwin());
    KdeDisplayFacility displays(desktop);
    const auto listed = displays.displays();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(std::make_tuple(listed[0].x, listed[0].y, listed[0].width, listed[0].height, listed[0].ownVirtualMonitor),
              std::make_tuple(0, 0, 1280, 720, false));
    EXPECT_EQ(std::make_tuple(listed[1].x, listed[1].width), std::make_tuple(1280, 1280));
    EXPECT_NE(listed[0].id, listed[1].id);
    EXPECT_FALSE(listed[0].name.empty());
    EXPECT_EQ(KdeDisplayFacility(std::make_shared<KdeDesktop>()).displays().at(1).id, listed[1].id) << "identifiers are stable";
    try {
        displays.createVirtualMonitor(display::VirtualResolution::hd, 1);
        ADD_FAILURE() << "the virtual backend made a virtual output";
    } catch (const display::VirtualDisplayException& error) {
        EXPECT_EQ(error.error(), display::VirtualDisplayError::creationFailed);
    }
    EXPECT_EQ(displays.displays().size(), 2u) << "nothing is left behind";
}

// A cast starts once KWin has named its PipeWire node and the stream has agreed on a format, and
// survives the pointer moving over it (KWin's virtual backend crashes drawing it in); a display
// that is not there is refused. (That backend never tells its casts that an output was painted,
// so no picture comes here; on a real session's outputs they do.)
TEST(KdeBackend, CastsAnOutputThroughPipeWireAndRefusesOneThatIsNotThere)
{
    const auto desktop = std::make_shared<KdeDesktop>();
    KdeDisplayFacility displays(desktop);
    KdeDisplayCaptureFactory captures(desktop);
    KdeInputPoster input(desktop);
    const auto output = displays.displays().at(1);
    test::Frames frames;
    auto stream = frames.start(captures, output, 640, 360);
    // Over a second: the moves reach KWin once the stream runs.
    for (int step = 0; step < 10; ++step) {
        input.warpPointer({output.x + 100.0 + step * 10, output.y + 100.0});
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(input.pointerLocation(), (model::ScreenPoint{output.x + 190.0, output.y + 100.0}));
    EXPECT_EQ(displays.displays().size(), 2u) << "KWin still answers";
    EXPECT_THROW(frames.start(captures, {output.id + 1, 0, 0, 10, 10, {}, false}, 10, 10), capture::CaptureError);
}

// KWin grants its screen cast and fake input to the program its desktop entry names, and to no
// copy of it elsewhere: this test program is named by the entry headless_kwin.sh wrote for it.
TEST(KdeGrant, KwinGrantsItsProtocolsOnlyToTheProgramItsDesktopEntryNames)
{
    if (std::getenv("KESTRIO_KWIN_REFUSED_COPY")) {
        const auto connection = std::make_shared<KwinConnection>();
        KdePermissionFacility permissions(connection);
        EXPECT_TRUE(connection->kwin());
        EXPECT_FALSE(permissions.captureAllowed());
        EXPECT_FALSE(permissions.inputTrusted());
        return;
    }
    const auto connection = std::make_shared<KwinConnection>();
    KdePermissionFacility permissions(connection);
    EXPECT_TRUE(permissions.captureAllowed());
    EXPECT_TRUE(permissions.inputTrusted());

    const auto copy = std::filesystem::path(::testing::TempDir()) / "kestrio-kde-copy";
    std::filesystem::copy_file("/proc/self/exe", copy, std::filesystem::copy_options::overwrite_existing);
    const std::string command = "KESTRIO_KWIN_REFUSED_COPY=1 " + copy.string() + " --gtest_filter=KdeGrant.* >/dev/null";
    const int status = std::system(command.c_str());
    std::filesystem::remove(copy);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a copy elsewhere was granted what KWin withholds";
}

}  // namespace
}  // namespace kestrio::platform::kde
