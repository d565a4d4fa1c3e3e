// The window tests share one private X server and one QGuiApplication per test program.
#include "platform/x11/xvfb_server.h"

#include <gtest/gtest.h>

#include <QGuiApplication>

#include <cstdlib>
#include <memory>
#include <string>

namespace kestrio::test {

namespace {

std::string displayName;

class WindowTestEnvironment final : public ::testing::Environment {
public:
    WindowTestEnvironment(int& argc, char** argv) : argc_(argc), argv_(argv) {}

    void SetUp() override
    {
        platform::XvfbServer::Options screen;
        screen.initialSize = {1280, 1600};
        std::string error;
        server_ = platform::XvfbServer::start(screen, error);
        ASSERT_TRUE(server_) << "no X server for the window: " << error;
        displayName = server_->displayName();
        server_->authorizeThisProcess();
        ::setenv("DISPLAY", displayName.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        // The software scene graph draws the same pixels on every run.
        ::setenv("QT_QUICK_BACKEND", "software", 1);
        // Nothing of the desktop the tests happen to run in: no theme, no scaling.
        ::unsetenv("QT_QPA_PLATFORMTHEME");
        ::unsetenv("QT_SCALE_FACTOR");
        ::unsetenv("QT_SCREEN_SCALE_FACTORS");
        ::unsetenv("QT_FONT_DPI");
        ::unsetenv("QT_STYLE_OVERRIDE");
        ::unsetenv("QT_QUICK_CONTROLS_STYLE");
        // Nor its session bus, which Qt would look for assistive technologies on.
        ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
        application_ = std::make_unique<QGuiApplication>(argc_, argv_);
    }

    void TearDown() override
    {
        application_.reset();
        server_.reset();
    }

private:
    int& argc_;
    char** argv_;
    std::unique_ptr<platform::XvfbServer> server_;
    std::unique_ptr<QGuiApplication> application_;
};

}  // namespace

const std::string& testDisplayName()
{
    return displayName;
}

}  // namespace kestrio::test

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new kestrio::test::WindowTestEnvironment(argc, argv));
    return RUN_ALL_TESTS();
}
