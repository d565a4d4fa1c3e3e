#include "display/virtual_display_error.h"
#include "display/virtual_display_manager.h"
#include "platform/x11/lit_output_record.h"
#include "platform/x11/randr_displays.h"
#include "platform/x11/randr_requests.h"
#include "platform/x11/x11_backend.h"
#include "platform/x11/x11_virtual_display.h"
#include "platform/x11/xtest_input_poster.h"
#include "x11/x11_test_support.h"
#include "x11/xorg_server.h"

#include <algorithm>
#include <csignal>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

namespace kestrio::platform::x11 {
namespace {

using display::VirtualResolution;
using namespace ::testing;
using Place = std::tuple<int, int, int, int, bool>;  // x, y, width, height, a monitor of ours

class RandrDisplayFacilityTest : public ::testing::Test {
protected:
    void start(std::optional<ScreenSize> maximumSize)
    {
        ASSERT_TRUE(server_ = testing::startServer({1920, 1080}, maximumSize));
        facility_ = std::make_unique<RandrDisplayFacility>(server_->displayName());
    }
    std::vector<Place> places()
    {
        std::vector<Place> found;
        for (const auto& d : facility_->displays()) {
            found.emplace_back(d.x, d.y, d.width, d.height, d.ownVirtualMonitor);
            EXPECT_NE(d.id, 0u);
        }
        std::sort(found.begin(), found.end());
        return found;
    }
    // The screen as xrandr shows it (its size, outputs and modes), its monitors and the facility's list.
    std::tuple<std::optional<std::string>, std::optional<std::string>, std::vector<Place>> state()
    {
        return {testing::xrandr(server_->displayName(), {}), testing::xrandr(server_->displayName(), {"--listmonitors"}), places()};
    }

    std::unique_ptr<XvfbServer> server_;
    std::unique_ptr<RandrDisplayFacility> facility_;
};

// A monitor of our name that another client (an earlier run) left is flagged and replaced, and a
// mode of the name ours takes is used.
TEST_F(RandrDisplayFacilityTest, EachResolutionIsAMonitorRightOfThePhysicalOneThatThePointerEntersReleasingRestoresAndALeftoverIsReplaced)
{
    start(ScreenSize{3840, 2160});
    XTestInputPoster pointer(server_->displayName());
    const auto before = state();
    ASSERT_EQ(std::get<2>(before), (std::vector<Place>{{0, 0, 1920, 1080, false}}));
    EXPECT_EQ(facility_->displays().at(0).name, "screen");
    for (VirtualResolution resolution : display::allVirtualResolutions) {
        const int width = display::width(resolution), height = display::height(resolution);
        SCOPED_TRACE(display::pickerLabel(resolution));
        auto monitor = facility_->createVirtualMonitor(resolution, 1);
        ASSERT_TRUE(monitor);
        EXPECT_TRUE(dynamic_cast<X11VirtualMonitor&>(*monitor).pointerCanEnter());
        EXPECT_EQ(places(), (std::vector<Place>{{0, 0, 1920, 1080, false}, {1920, 0, width, height, true}}));
        const auto displays = facility_->displays();
        EXPECT_EQ(std::count_if(displays.begin(), displays.end(), [&](const auto& d) { return d.id == monitor->displayID() && d.name == "Kestrio iPhone"; }), 1);
        // The monitor, the screen grown to hold it, and its resolution's own 60 Hz mode.
        const auto [screen, monitors, list] = state();
        EXPECT_THAT(monitors.value_or("") + screen.value_or(""), AllOf(HasSubstr("Kestrio iPhone " + std::to_string(width) + "/"), HasSubstr("current " + std::to_string(1920 + width) + " x 1080,"),
                                                                       HasSubstr(std::to_string(width) + "x" + std::to_string(height) + "_60")));
        pointer.warpPointer({1920.0 + width - 10, height - 10.0});
        EXPECT_EQ(pointer.pointerLocation(), (model::ScreenPoint{1920.0 + width - 10, height - 10.0}));
        monitor.reset();
        EXPECT_EQ(state(), before);
    }
    ASSERT_TRUE(testing::xrandr(server_->displayName(), {"--fb", "3200x1080"}));
    ASSERT_TRUE(testing::xrandr(server_->displayName(), {"--setmonitor", "Kestrio iPhone", "1280/339x720/190+1920+0", "none"}));
    // A killed run's mode takes the name (as the server's own mode of its first size may).
    ASSERT_TRUE(testing::xrandr(server_->displayName(), {"--newmode", "1920x1080_60", "173.00", "1920", "2048", "2248", "2576", "1080", "1083",
                                                         "1088", "1120"}));
    EXPECT_EQ(places(), (std::vector<Place>{{0, 0, 1920, 1080, false}, {1920, 0, 1280, 720, true}}));
    auto monitor = facility_->createVirtualMonitor(VirtualResolution::fullHD, 1);
    EXPECT_EQ(places(), (std::vector<Place>{{0, 0, 1920, 1080, false}, {1920, 0, 1920, 1080, true}}));
}

TEST_F(RandrDisplayFacilityTest, AScreenThatCannotGrowGetsNoMonitorAndNoServerGivesAReason)
{
    start(std::nullopt);
    const auto before = state();
    EXPECT_THAT([&] { display::VirtualDisplayManager manager(*facility_, VirtualResolution::hd); },
                Throws<display::VirtualDisplayException>(Property(&display::VirtualDisplayException::error, display::VirtualDisplayError::creationFailed)));
    EXPECT_EQ(state(), before);
    RandrDisplayFacility nowhere(":65000");
    EXPECT_THAT([&] { nowhere.displays(); }, ThrowsMessage<std::runtime_error>(HasSubstr(":65000")));
    EXPECT_THROW(nowhere.createVirtualMonitor(VirtualResolution::hd, 1), display::VirtualDisplayException);
}

// On an X server that drives monitors: Xorg with the dummy driver, DUMMY0 lit, DUMMY1-15 spare.
class XorgDisplaysTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = testing::XorgServer::start(why_).release(); }
    static void TearDownTestSuite() { delete server_; }
    void SetUp() override
    {
        if (!server_)
            GTEST_SKIP() << why_;
        use(server_->displayName());
    }
    void use(std::string display)
    {
        display_ = std::move(display);
        records_ = folder_.path() / "kestrio" / "x11-outputs.json";  // where the backend keeps it, given the folder
        facility_ = std::make_unique<RandrDisplayFacility>(display_, records_);
    }
    // Without the times of the last changes, which every change moves on.
    std::string xrandr(const std::vector<std::string>& arguments = {"--verbose"}) const
    {
        return std::regex_replace(testing::xrandr(display_, arguments).value_or("xrandr failed"),
                                  std::regex("\\tTimestamp: .*\\n"), "");
    }
    // The screen, the lit output and the monitors as `xrandr --verbose` shows them (each output's
    // mode, place, CRTC and the modes it offers) with what the dummy driver keeps of an output
    // once it was lit (it calls it connected and offers it the first one's modes), for which the
    // host can do nothing.
    std::tuple<std::string, std::string> state() const
    {
        std::string outputs = xrandr();
        for (int i = 1; i < 16; ++i) {
            const std::string name = "DUMMY" + std::to_string(i);
            const std::string block = outputBlock(outputs, name);
            if (std::regex_search(block, std::regex("^\\n" + name + " (dis)?connected \\(normal\\)")) && block.find("Kestrio") == std::string::npos)
                outputs.replace(outputs.find(block), block.size(), "\n" + name + " off\n");
        }
        return {outputs, xrandr({"--listmonitors"})};
    }
    static std::string outputBlock(const std::string& verbose, const std::string& output)
    {
        std::smatch found;
        std::regex_search(verbose, found, std::regex("\\n" + output + " [^]*?\\n(?=\\S)"));
        return found.str();
    }
    std::optional<LitOutputRecord> record() const
    {
        return LitOutputRecords(records_).find(LitOutputRecords::serverKey(display_));
    }
    // What the X11 backend says it turned off as it starts on this server.
    std::string turnedOffAtStart() const
    {
        test::ScopedEnvironment display("DISPLAY", display_), runtime("XDG_RUNTIME_DIR", folder_.path().string());
        std::ostringstream lines;
        makeX11Backend(lines);
        return lines.str();
    }
    // Gives `output` a monitor that announces itself (an EDID), or takes it away.
    void announceMonitor(const std::string& output, bool announced) const
    {
        xcb_connection_t* connection = xcb_connect(display_.c_str(), nullptr);
        const xcb_window_t root = rootWindow(connection, 0);
        const xcb_atom_t edid = internAtom(connection, "EDID");
        const auto resources = screenResources(connection, root);
        const std::vector<std::uint8_t> block(128);
        for (int i = 0; i < xcb_randr_get_screen_resources_current_outputs_length(resources.get()); ++i) {
            const xcb_randr_output_t id = xcb_randr_get_screen_resources_current_outputs(resources.get())[i];
            auto info = own(xcb_randr_get_output_info_reply(connection, xcb_randr_get_output_info(connection, id, 0), nullptr));
            if (!info || outputName(*info) != output)
                continue;
            if (announced)
                xcb_randr_change_output_property(connection, id, edid, XCB_ATOM_INTEGER, 8, XCB_PROP_MODE_REPLACE, block.size(), block.data());
            else
                xcb_randr_delete_output_property(connection, id, edid);
        }
        roundTrip(connection);
        xcb_disconnect(connection);
    }
    std::vector<Place> places() const
    {
        std::vector<Place> found;
        for (const auto& d : facility_->displays())
            found.emplace_back(d.x, d.y, d.width, d.height, d.ownVirtualMonitor);
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        return found;
    }

    static inline testing::XorgServer* server_ = nullptr;
    static inline std::string why_;
    std::string display_;
    test::TemporaryDirectory folder_;
    std::filesystem::path records_;
    std::unique_ptr<RandrDisplayFacility> facility_;
};

TEST_F(XorgDisplaysTest, AVirtualMonitorIsASpareOutputLitRightOfTheMonitorWhichStaysAsItWasAndAllOfItIsUndoneAfterwards)
{
    const auto before = state();
    ASSERT_THAT(std::get<0>(before), HasSubstr("DUMMY0 connected primary 2048x1536+0+0"));
    auto monitor = facility_->createVirtualMonitor(VirtualResolution::fullHD, 1);
    const auto& x11 = dynamic_cast<X11VirtualMonitor&>(*monitor);
    EXPECT_TRUE(x11.pointerCanEnter());
    EXPECT_EQ(x11.outputName(), "DUMMY1");
    EXPECT_EQ(places(), (std::vector<Place>{{0, 0, 2048, 1536, false}, {2048, 0, 1920, 1080, true}}));
    const auto lit = xrandr();
    EXPECT_EQ(outputBlock(lit, "DUMMY0"), outputBlock(std::get<0>(before), "DUMMY0"));
    EXPECT_THAT(outputBlock(lit, "DUMMY1"), AllOf(HasSubstr("DUMMY1 connected 1920x1080+2048+0"), HasSubstr("CRTC:       1\n"),
                                                  HasSubstr("Kestrio-1920x1080 (0x"), HasSubstr("h: width  1920 start 2048 end 2248 total 2576"),
                                                  HasSubstr("v: height 1080 start 1083 end 1088 total 1120")));
    EXPECT_THAT(xrandr({"--listmonitors"}), HasSubstr("Kestrio iPhone 1920/"));
    EXPECT_EQ(record(), std::optional(LitOutputRecord{"DUMMY1", "Kestrio-1920x1080", {2048, 1536, 541, 406}}));
    XTestInputPoster pointer(display_);
    pointer.warpPointer({3000, 500});
    EXPECT_EQ(pointer.pointerLocation(), (model::ScreenPoint{3000, 500}));
    monitor.reset();
    EXPECT_EQ(state(), before);
    EXPECT_FALSE(record());

    // Once lit, the dummy driver calls DUMMY1 connected: with a monitor that announces itself, no spare.
    announceMonitor("DUMMY1", true);
    EXPECT_EQ(dynamic_cast<X11VirtualMonitor&>(*facility_->createVirtualMonitor(VirtualResolution::hd, 1)).outputName(), "DUMMY2");
    announceMonitor("DUMMY1", false);
}

// A host killed while its monitor stands leaves the output lit; the next run's backend turns it
// off as it starts, with or without the record of the screen's size.
TEST_F(XorgDisplaysTest, AnOutputAKilledRunLeftLitIsUndoneByTheNext)
{
    const auto before = state();
    for (const bool keepRecord : {true, false}) {
        SCOPED_TRACE(keepRecord ? "with its record" : "without a record");
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        if (child == 0) {
            auto monitor = facility_->createVirtualMonitor(VirtualResolution::hd, 1);
            (void)!write(ready[1], "x", 1);
            pause();
            _exit(0);
        }
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        EXPECT_EQ(turnedOffAtStart(), "") << "the output of a host that still runs";
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(ready[0]), close(ready[1]);
        ASSERT_THAT(xrandr(), HasSubstr("DUMMY1 connected 1280x720+2048+0"));
        ASSERT_TRUE(record());
        if (!keepRecord)
            std::filesystem::remove(records_);
        EXPECT_EQ(turnedOffAtStart(), "turned off DUMMY1, which an earlier run lit for its virtual monitor\n");
        EXPECT_EQ(state(), before);
        EXPECT_FALSE(record());
    }
    // Killed after growing the screen, before lighting the output.
    ASSERT_TRUE(testing::xrandr(display_, {"--newmode", "Kestrio-1280x720", "74.50", "1280", "1344", "1472", "1664", "720", "723", "728", "748"}));
    ASSERT_TRUE(testing::xrandr(display_, {"--fb", "3328x1536"}));
    LitOutputRecords(records_).save(LitOutputRecords::serverKey(display_), {"DUMMY1", "Kestrio-1280x720", {2048, 1536, 541, 406}});
    EXPECT_EQ(turnedOffAtStart(), "");
    EXPECT_EQ(state(), before);
}

// Every spare output's CRTC busy: the monitor has none, and nothing of any output changes.
TEST_F(XorgDisplaysTest, WithoutASpareOutputTheMonitorHasNoCrtcAndNoOutputChanges)
{
    std::vector<std::string> lightAll, darkenAll;
    for (int i = 1; i < 16; ++i) {
        const std::string output = "DUMMY" + std::to_string(i);
        ASSERT_TRUE(testing::xrandr(display_, {"--addmode", output, "640x480"}));
        lightAll.insert(lightAll.end(), {"--output", output, "--mode", "640x480", "--pos", "0x0"});
        darkenAll.insert(darkenAll.end(), {"--output", output, "--off"});
    }
    ASSERT_TRUE(testing::xrandr(display_, lightAll));
    const auto before = state();
    auto monitor = facility_->createVirtualMonitor(VirtualResolution::fullHD, 1);
    EXPECT_FALSE(dynamic_cast<X11VirtualMonitor&>(*monitor).pointerCanEnter());
    EXPECT_THAT(xrandr({"--listmonitors"}), ContainsRegex("Kestrio iPhone 1920/[0-9]+x1080/[0-9]+\\+2048\\+0 \n"));
    const auto during = xrandr();
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(outputBlock(during, "DUMMY" + std::to_string(i)), outputBlock(std::get<0>(before), "DUMMY" + std::to_string(i)));
    EXPECT_FALSE(record());
    monitor.reset();
    EXPECT_EQ(state(), before);
    ASSERT_TRUE(testing::xrandr(display_, darkenAll));
}

// A server with too little video memory to grow its screen: the steps it took before refusing are
// taken back, and no monitor is made.
TEST_F(XorgDisplaysTest, AStepTheServerRefusesLeavesNothingOfTheMonitorBehind)
{
    auto small = testing::XorgServer::start(why_, 16384);
    ASSERT_TRUE(small) << why_;
    use(small->displayName());
    const auto before = state();
    EXPECT_THAT([&] { facility_->createVirtualMonitor(VirtualResolution::hd, 1); },
                Throws<display::VirtualDisplayException>(Property(&display::VirtualDisplayException::error, display::VirtualDisplayError::creationFailed)));
    EXPECT_EQ(state(), before);
    EXPECT_FALSE(record());
}

}  // namespace
}  // namespace kestrio::platform::x11
