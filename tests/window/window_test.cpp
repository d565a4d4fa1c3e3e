// The window's tests: the real window over the real model in a private Xvfb, with the host's
// fakes as its facilities, the GUI thread as its main executor and a virtual clock.
#include "app/status_printer.h"
#include "platform/os/sendmail_message_delivery.h"
#include "platform/x11/x11_wording.h"
#include "platform/x11/xvfb_server.h"
#include "support/host_fakes.h"
#include "support/test_support.h"
#include "updates/feed_fakes.h"
#include "window/main_window.h"
#include "window/qr_image_provider.h"
#include "window/qt_main_executor.h"
#include "window/window_model.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QColor>
#include <QDir>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <QTextLayout>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include <xcb/xcb.h>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;

class WindowHarness : public FakeFacilities {
public:
    // An X11 desktop's: its texts, and no settings where permissions are granted.
    WindowHarness()
    {
        wording = platform::x11::x11DesktopWording();
        permissionSettings.reset();
    }
    ~WindowHarness()
    {
        if (model) {
            model->shutdown();
            settle();
        }
        mainWindow.reset();
        executor->shutdown();
    }

    // The model and the window over the fakes, shown at `size` (everything fits by default).
    void build(QSize size = {560, 1360})
    {
        model = model::HostModel::create(environment(executor));
        updates::UpdateChecker::Options checker;
        checker.currentVersion = "1";
        checker.feedURL = feedURL;
        updater = std::make_shared<updates::UpdateChecker>(executor, updateWorker, feedFetcher, checker);
        mainWindow = std::make_unique<window::MainWindow>(
            window::MainWindow::Environment{model, updater, executor, clock, window::VersionText{"0.1.0", "1"}});
        if (auto* shownWindow = mainWindow->window())
            shownWindow->setGeometry(QRect(QPoint(0, 0), size));
    }
    void show()
    {
        ASSERT_NE(mainWindow->window(), nullptr) << mainWindow->error();
        mainWindow->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window()));
        settle();
    }
    void open(QSize size = {560, 1360})
    {
        build(size);
        show();
    }

    // Runs the GUI thread's queue, which the window model's re-reads travel too, until it is idle.
    void settle()
    {
        for (int round = 0; round < 10000; ++round) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
            if (executor->pendingTasks() == 0)
                return;
        }
        ADD_FAILURE() << "the GUI thread never became idle";
    }
    void advance(runtime::Duration step)
    {
        clock->advance(step);
        settle();
    }

    QQuickWindow& window() const { return mainWindow->window() ? *mainWindow->window() : throw std::runtime_error("no window"); }
    window::WindowModel& content() const { return mainWindow->content(); }
    static QQuickItem* find(QQuickItem* root, const QString& name)
    {
        if (root->objectName() == name)
            return root;
        for (auto* child : root->childItems())
            if (auto* found = find(child, name))
                return found;
        return nullptr;
    }
    QQuickItem& item(const QString& name) const
    {
        if (auto* found = find(window().contentItem(), name))
            return *found;
        ADD_FAILURE() << "no item named " << name.toStdString();
        throw std::runtime_error("missing item");
    }
    bool shown(const QString& name) const
    {
        const auto* found = find(window().contentItem(), name);
        return found && found->isVisible() && found->opacity() > 0;
    }
    bool enabled(const QString& name) const { return item(name).isEnabled(); }
    std::string text(const QString& name) const { return item(name).property("text").toString().toStdString(); }
    QColor colour(const QString& name) const { return item(name).property("color").value<QColor>(); }
    bool checked(const QString& name) const { return item(name).property("checked").toBool(); }
    void expectTexts(const std::vector<std::pair<QString, std::string>>& namedTexts) const
    {
        for (const auto& [name, expected] : namedTexts)
            EXPECT_EQ(text(name), expected) << name.toStdString();
    }

    void click(const QString& name)
    {
        render();
        auto& target = item(name);
        EXPECT_TRUE(target.isVisible()) << name.toStdString() << " is not shown";
        auto& scroller = item("scroller");
        const auto* content = qvariant_cast<QQuickItem*>(scroller.property("contentItem"));
        const QRectF bounds = target.mapRectToItem(content, QRectF(0, 0, target.width(), target.height()));
        const qreal top = scroller.property("contentY").toReal();
        if (bounds.top() < top || bounds.bottom() > top + scroller.height()) {
            const qreal room = std::max(0.0, scroller.property("contentHeight").toReal() - scroller.height());
            scroller.setProperty("contentY", std::clamp(bounds.center().y() - scroller.height() / 2, 0.0, room));
        }
        render();
        const QPoint middle = target.mapToScene(QPointF(target.width() / 2, target.height() / 2)).toPoint();
        EXPECT_TRUE(QRect(QPoint(0, 0), window().size()).contains(middle)) << name.toStdString() << " is outside the window";
        QTest::mouseClick(&window(), Qt::LeftButton, Qt::NoModifier, middle);
        settle();
        // What the click opened (a list's rows) exists once the scene is laid out again.
        render();
    }
    // One key press per character to what has the keyboard focus ('\b' backspace, '\r' return).
    void type(const std::string& keys)
    {
        for (const char key : keys)
            QTest::keyClick(&window(), key);
        settle();
    }
    QImage render()
    {
        // A text whose size changed moves its layout only on the next polish: grab until two agree.
        QImage picture = window().grabWindow();
        for (int round = 0; round < 5; ++round) {
            settle();
            QImage again = window().grabWindow();
            if (again == picture)
                break;
            picture = std::move(again);
        }
        return picture;
    }
    // The X server's keyboard focus to the window, as a window manager gives it (Qt asks with a
    // stale time stamp, which the X server refuses), or to none, as a click on another program.
    void focus(bool onWindow)
    {
        xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
        EXPECT_EQ(xcb_connection_has_error(connection), 0);
        xcb_set_input_focus(connection, XCB_INPUT_FOCUS_POINTER_ROOT,
                            onWindow ? static_cast<xcb_window_t>(window().winId()) : xcb_window_t{XCB_INPUT_FOCUS_POINTER_ROOT}, XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
        xcb_disconnect(connection);
        EXPECT_TRUE(QTest::qWaitFor([&] { return (QGuiApplication::applicationState() == Qt::ApplicationActive) == onWindow; }))
            << "the focus did not move";
        settle();
    }

    std::string feedURL;                      // empty: no update button
    std::shared_ptr<RecordingFeedFetcher> feedFetcher = std::make_shared<RecordingFeedFetcher>();
    std::shared_ptr<runtime::ManualExecutor> updateWorker = std::make_shared<runtime::ManualExecutor>();
    std::shared_ptr<window::QtMainExecutor> executor = window::QtMainExecutor::create();
    std::shared_ptr<model::HostModel> model;
    std::shared_ptr<updates::UpdateChecker> updater;
    std::unique_ptr<window::MainWindow> mainWindow;
};

bool isHangul(char32_t c)
{
    return (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0x1100 && c <= 0x11FF) || (c >= 0x3130 && c <= 0x318F);
}

const QString macWords[] = {"Mac", "macOS", "iMessage", "Apple", "Xcode", "Messages", "System Settings",
                            "시스템 설정", "설정 열기", "Open Settings", "맥", "x-apple"};

void expectNoMacWords(const QString& text)
{
    for (const auto& word : macWords)
        EXPECT_FALSE(text.contains(word)) << '"' << text.toStdString() << '"';
}

// No visible text or placeholder names the Mac; where there is Hangul, no glyph is the missing one
// (index 0) in any fallback font, and "...Korean" lines use the Korean font. Counts those texts.
int expectSceneTexts(QQuickItem* item)
{
    int hangulTexts = 0;
    if (item->isVisible() && QString::fromLatin1(item->metaObject()->className()).startsWith("QQuickText")) {
        const auto font = qvariant_cast<QFont>(item->property("font"));
        for (const auto& text : {item->property("text").toString(), item->property("placeholderText").toString()}) {
            SCOPED_TRACE(item->objectName().toStdString());
            expectNoMacWords(text);
            const auto characters = text.toUcs4();
            if (std::none_of(characters.begin(), characters.end(), isHangul))
                continue;
            ++hangulTexts;
            QTextLayout layout(QString(text).replace('\n', QChar::LineSeparator), font);
            layout.beginLayout();
            while (layout.createLine().isValid()) {
            }
            layout.endLayout();
            for (const auto& run : layout.glyphRuns())
                for (const auto index : run.glyphIndexes())
                    EXPECT_NE(index, 0U) << text.toStdString() << " in " << run.rawFont().familyName().toStdString();
            EXPECT_TRUE(!item->objectName().endsWith("Korean") || font.family() == "NanumGothic") << text.toStdString();
        }
    }
    for (auto* child : item->childItems())
        hangulTexts += expectSceneTexts(child);
    return hangulTexts;
}

// Hangul renders in the Korean font and nothing names the Mac, in the window's texts and in each
// state's scene and status lines (the desktops' own texts are checked where they are made); on
// the way the update check shows its outcomes.
TEST(WindowText, EveryStateRendersItsKoreanAndNamesNoMac)
{
    WindowHarness harness;
    harness.router = std::make_shared<AnsweringRouter>();
    harness.feedURL = "https://updates.example.com/appcast.xml";
    harness.permissions->captureOK = harness.permissions->trusted = false;
    harness.settings->setString(model::settingsKey::notificationAddress, "me@example.com");
    harness.open();
    // Without fonts-nanum the glyph check could pass on fallback fonts alone.
    ASSERT_EQ(harness.content().koreanFontFamily().toStdString(), "NanumGothic") << "fonts-nanum is not installed";
    const auto wording = harness.content().wording();
    for (auto entry = wording.begin(); entry != wording.end(); ++entry)
        expectNoMacWords(entry.value().toString());

    const auto secondary = harness.colour("versionKorean");
    const auto checkForUpdates = [&](const updates::FetchResult& feed) {
        harness.feedFetcher->result = feed;
        harness.click("checkForUpdatesButton");
        EXPECT_FALSE(harness.enabled("checkForUpdatesButton")) << "while the check runs";
        EXPECT_EQ(harness.text("updateStatusKorean"), "업데이트 확인 중…");
        harness.updateWorker->runUntilIdle();
        harness.settle();
        EXPECT_TRUE(harness.enabled("checkForUpdatesButton"));
    };
    std::ostringstream lines;
    app::StatusPrinter printer(lines);
    const std::vector<std::pair<std::string, std::function<void()>>> states = {
        {"waiting, nothing allowed", [&] { EXPECT_FALSE(harness.shown("updateStatus")) << "nothing checked yet"; }},
        {"a newer version",
         [&] {
             checkForUpdates(feedWithVersion("2.0"));
             EXPECT_EQ(harness.text("updateDownloadLink"), "https://example.com/kestrio-2.0.deb");
             EXPECT_EQ(harness.colour("updateStatusKorean"), secondary);
         }},
        {"the update check failed",
         [&] {
             checkForUpdates({false, 404, {}, "HTTP 404"});
             EXPECT_FALSE(harness.shown("updateDownloadLink"));
             EXPECT_NE(harness.colour("updateStatusKorean"), secondary) << "a failure stands out";
         }},
        {"the notification has nothing to send with, mirroring, the display list open",
         [&] {
             harness.click("notificationToggleSwitch");
             harness.click("modeSegment1");
             harness.click("displayPicker");
         }},
        {"streaming in the compatible mode",
         [&] {
             harness.click("displayPickerOption0");
             harness.link->connect(false, "민지의 iPhone");
             harness.settle();
             EXPECT_TRUE(harness.model->streaming().isStreaming());
         }},
    };
    for (const auto& [state, enter] : states) {
        SCOPED_TRACE(state);
        enter();
        harness.render();
        EXPECT_GT(expectSceneTexts(harness.window().contentItem()), 10) << "the Korean texts were not found";
        printer.show(*harness.model);
        expectNoMacWords(QString::fromStdString(lines.str()));
        lines.str({});
    }
}

// Other fonts or Qt versions move glyph edges, which the tolerance absorbs, but not a missing, moved
// or recoloured section. KESTRIO_UPDATE_WINDOW_REFERENCES=1 rewrites the pictures (look first).
TEST(WindowPictures, WaitingStreamingAndListenerFailed)
{
    for (const QString name : {"waiting", "streaming", "error"}) {
        SCOPED_TRACE(name.toStdString());
        WindowHarness harness;
        if (name == "error") {
            harness.link->startThrows = true;
            harness.permissions->captureOK = harness.permissions->trusted = false;
            harness.localAddress.reset();
        } else {
            harness.router = std::make_shared<AnsweringRouter>();
        }
        harness.open();
        if (name == "streaming") {
            harness.link->connect(true, "Minji의 iPhone");
            harness.settle();
            ASSERT_TRUE(harness.model->streaming().isStreaming());
        }
        const QImage actual = harness.render().convertToFormat(QImage::Format_RGB32);
        const QString path = QDir(QStringLiteral(KESTRIO_WINDOW_REFERENCES)).filePath(name + ".png");
        if (const char* update = std::getenv("KESTRIO_UPDATE_WINDOW_REFERENCES"); update && std::string(update) == "1") {
            EXPECT_TRUE(actual.save(path)) << "cannot write " << path.toStdString();
            continue;
        }
        const QImage reference = QImage(path).convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(actual.size(), reference.size()) << path.toStdString();
        // A pixel differs when a channel is off by more than 32; a picture matches while at most
        // 40 do (a glyph's worth: the "LIVE" badge, the smallest element, is several times that).
        long differing = 0;
        for (int y = 0; y < actual.height(); ++y)
            for (int x = 0; x < actual.width(); ++x) {
                const QRgb a = actual.pixel(x, y), r = reference.pixel(x, y);
                differing += std::abs(qRed(a) - qRed(r)) > 32 || std::abs(qGreen(a) - qGreen(r)) > 32 || std::abs(qBlue(a) - qBlue(r)) > 32;
            }
        const QString actualPath = QDir::current().filePath(name + "-actual.png");
        if (differing > 40)
            actual.save(actualPath);
        EXPECT_LE(differing, 40) << "pixels differ from " << path.toStdString() << "; this run's is " << actualPath.toStdString();
    }
}

void expectCopied(const WindowHarness& harness, bool local, bool remote)
{
    harness.expectTexts({{"localAddressCopyButtonLabelEnglish", local ? "Copied" : "Copy IP"},
                         {"remoteAddressCopyButtonLabelKorean", remote ? "복사됨" : "주소 복사"}});
}

TEST(WindowControls, AtItsMinimumSizeTheButtonStartsAndStopsAndIsDisabledWhileBusy)
{
    WindowHarness harness;
    harness.open(QSize(560, 720));
    EXPECT_EQ(harness.window().minimumSize(), QSize(560, 720));
    EXPECT_EQ(harness.window().title().toStdString(), "Kestrio");
    EXPECT_FALSE(harness.window().icon().isNull());
    harness.click("startStopButton");
    EXPECT_GT(harness.item("scroller").property("contentY").toReal(), 0) << "scrolled down to the button";
    EXPECT_EQ(harness.captures.running(), 1);
    EXPECT_EQ(harness.colour("statusDot"), QColor("#ff9f0a")) << "streaming, but no viewer yet";
    harness.link->connect(true, "Phone");
    harness.settle();
    EXPECT_EQ(harness.colour("statusDot"), QColor("#30d158"));
    harness.click("startStopButton");
    EXPECT_EQ(harness.captures.running(), 0);
    EXPECT_FALSE(harness.shown("liveBadge"));

    harness.displays->monitorsAppear = false;
    harness.click("startStopButton");
    ASSERT_TRUE(harness.model->streaming().isBusy());
    EXPECT_FALSE(harness.enabled("startStopButton"));
    for (int step = 0; step < 200 && harness.model->streaming().isBusy(); ++step)
        harness.advance(250ms);
    EXPECT_TRUE(harness.model->streaming().isStreaming());
    EXPECT_TRUE(harness.enabled("startStopButton"));
    EXPECT_TRUE(harness.shown("displayPicker")) << "the fallback to mirroring shows";

    // A monitor the pointer cannot enter: its row's button goes on streaming in mirror mode, and
    // the row goes with the monitor.
    harness.click("startStopButton");
    harness.click("modeSegment0");
    harness.displays->monitorsAppear = true;
    harness.displays->monitorsKeepPointerOut = true;
    EXPECT_FALSE(harness.shown("pointerConfined"));
    harness.click("startStopButton");
    ASSERT_TRUE(harness.model->streaming().isStreaming());
    harness.click("pointerConfinedButton");
    EXPECT_EQ(harness.model->streaming().sourceMode(), model::SourceMode::mirror);
    EXPECT_TRUE(harness.model->streaming().isStreaming());
    EXPECT_TRUE(harness.shown("displayPicker"));
    EXPECT_FALSE(harness.shown("pointerConfined"));
}

TEST(WindowControls, TheSettingsCardWritesTheModelAndMirroringNeedsADisplay)
{
    WindowHarness harness;
    harness.displays->physical.clear();
    harness.open();
    harness.click("qualitySegment2");
    EXPECT_EQ(harness.model->streaming().quality(), model::StreamQuality::sharp);
    harness.click("frameRateSegment0");
    EXPECT_EQ(harness.model->streaming().frameRate(), model::StreamFrameRate::thirty);
    harness.click("launchAtLoginSwitch");
    EXPECT_EQ(harness.settings->boolValue(model::settingsKey::launchAtLogin), std::optional<bool>(true));
    EXPECT_TRUE(harness.checked("launchAtLoginSwitch"));
    harness.click("autoStartSwitch");
    EXPECT_EQ(harness.settings->boolValue(model::settingsKey::autoStartOnConnect), std::optional<bool>(false));
    EXPECT_FALSE(harness.checked("autoStartSwitch"));
    // A change the store cannot keep: its row, until the row's button gets it stored.
    harness.settings->failing = true;
    harness.click("autoStartSwitch");
    harness.expectTexts({{"settingsUnsavedTextKorean", "설정을 저장하지 못했습니다"}, {"settingsUnsavedTextEnglish", "Settings could not be saved"}});
    harness.settings->failing = false;
    harness.click("settingsUnsavedButton");
    EXPECT_FALSE(harness.shown("settingsUnsaved"));
    EXPECT_TRUE(harness.settings->stored == harness.settings->values);

    harness.click("modeSegment1");
    EXPECT_FALSE(harness.shown("displayPicker"));
    harness.expectTexts({{"displaysLoadingKorean", "화면을 불러오는 중…"}, {"displaysLoadingEnglish", "Loading displays…"}});
    EXPECT_FALSE(harness.enabled("startStopButton"));
    // The mode change runs the next display refresh.
    harness.displays->physical = {physicalDisplay(1, 0), physicalDisplay(2, 1920, 1280, 1024)};
    harness.click("modeSegment0");
    harness.click("resolutionPicker");
    harness.click("resolutionPickerOption2");
    EXPECT_EQ(harness.model->streaming().virtualResolution(), display::VirtualResolution::hd);
    EXPECT_EQ(harness.text("resolutionPickerCurrentKorean"), "1280×720");
    harness.click("modeSegment1");
    EXPECT_FALSE(harness.shown("resolutionPicker"));
    harness.click("displayPicker");
    harness.expectTexts({{"displayPickerCurrentEnglish", "Display 1 · 1920×1080"},
                         {"displayPickerOption1LabelKorean", "디스플레이 2 · 1280×1024"}});
    harness.click("displayPickerOption1");
    harness.click("startStopButton");
    ASSERT_EQ(harness.captures.runs.size(), 1U);
    EXPECT_EQ(harness.captures.runs[0].displayID, 2U);
}

// Once touch control works (the error picture shows the hint without it), the hint's lines follow
// their own rules.
TEST(WindowControls, PermissionRowsCheckAgainAndAreReadAgainWhenTheAppComesBackAndTheHintFollows)
{
    WindowHarness harness;
    harness.permissions->captureOK = harness.permissions->trusted = false;
    harness.open();
    harness.focus(true);
    const auto expectHint = [&](const std::string& korean, const std::string& english) {
        harness.expectTexts({{"hintKorean", korean}, {"hintEnglish", english}});
    };
    const int prompts = harness.permissions->prompts;
    harness.click("screenPermissionButton");
    harness.click("touchPermissionButton");
    EXPECT_EQ(harness.permissions->captureRequests, 1);
    EXPECT_EQ(harness.permissions->prompts, prompts + 1);
    EXPECT_TRUE(harness.shown("screenPermission") && harness.shown("touchPermission"));
    harness.permissions->trusted = true;
    harness.click("touchPermissionButton");
    EXPECT_FALSE(harness.shown("touchPermission"));
    EXPECT_TRUE(harness.shown("screenPermission"));
    expectHint(harness.wording.extendedMonitorHint.korean, harness.wording.screenPermissionHintEnglish);
    harness.click("modeSegment1");
    expectHint(harness.wording.extendedMonitorHint.korean, harness.wording.mirroringHint.english);
    harness.permissions->captureOK = true;
    harness.click("screenPermissionButton");
    EXPECT_FALSE(harness.shown("screenPermission"));
    harness.click("startStopButton");
    ASSERT_TRUE(harness.model->streaming().isStreaming());
    expectHint(harness.wording.mirroringHint.korean, harness.wording.mirroringHint.english);

    // Both stop working: nothing reads them while the app stays in front or goes behind.
    harness.permissions->captureOK = harness.permissions->trusted = false;
    harness.focus(false);
    EXPECT_FALSE(harness.shown("screenPermission") || harness.shown("touchPermission"));
    harness.focus(true);
    EXPECT_TRUE(harness.shown("screenPermission") && harness.shown("touchPermission"));
}

TEST(WindowAddresses, ACopyPutsTheAddressOnTheClipboardAndReadsCopiedForTwoSeconds)
{
    WindowHarness harness;
    harness.router = std::make_shared<AnsweringRouter>();
    harness.open();
    harness.click("localAddressCopyButton");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "192.168.0.10");
    expectCopied(harness, true, false);
    harness.advance(1999ms);
    expectCopied(harness, true, false);
    harness.advance(1ms);
    expectCopied(harness, false, false);

    // A second press within the two seconds leaves the first one's wait as it was.
    harness.click("remoteAddressCopyButton");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "203.0.113.7:61000");
    harness.advance(1500ms);
    harness.click("remoteAddressCopyButton");
    harness.advance(500ms);
    expectCopied(harness, false, false);
}

// The browser page's address with its code, to copy, and the same as a QR code: black finder
// squares in the corners, inside the quiet zone.
TEST(WindowAddresses, TheBrowserPageShowsItsLinkToCopyAndAsAQrCode)
{
    WindowHarness harness;
    harness.browserPage = model::BrowserPage{59591, "123456"};
    harness.open();
    const QString link = "http://192.168.0.10:59591/#123456";
    harness.expectTexts({{"browserLinkValue", link.toStdString()}});
    harness.click("browserLinkCopyButton");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), link);
    const QImage code = window::qrCodeImage(link, 1);
    ASSERT_FALSE(code.isNull());
    const int size = code.width();
    for (const auto& [x, y] : {std::pair{4, 4}, std::pair{size - 11, 4}, std::pair{4, size - 11}}) {
        EXPECT_EQ(qGray(code.pixel(x, y)), 0);
        EXPECT_EQ(qGray(code.pixel(x + 1, y + 1)), 255) << "the finder's white ring";
        EXPECT_EQ(qGray(code.pixel(x + 3, y + 3)), 0) << "the finder's centre";
    }
    EXPECT_EQ(qGray(code.pixel(0, 0)), 255) << "the quiet zone";
}

TEST(WindowAddresses, PlaceholdersAreNeitherCopyableNorCopied)
{
    struct Case {
        std::function<void(WindowHarness&)> setUp;
        std::string local, remote;
    };
    const Case cases[] = {
        {[](WindowHarness& h) {
             h.localAddress.reset();
             h.router = std::make_shared<AnsweringRouter>();
             h.router->answer = {remote::RouterMappingResult::Outcome::unsupported, 0, {}, {}, {}, {}};
         },
         "확인 불가", "사용할 수 없음"},
        {[](WindowHarness&) {}, "192.168.0.10", "자동 포트 연결 꺼짐\nAutomatic port mapping is off"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.remote);
        WindowHarness harness;
        c.setUp(harness);
        harness.build();
        EXPECT_EQ(harness.text("localAddressValue"), "확인 중") << "before the first refresh";
        EXPECT_FALSE(harness.enabled("localAddressCopyButton"));
        harness.show();
        harness.expectTexts({{"localAddressValue", c.local}, {"remoteAddressValue", c.remote}});
        const bool localCopyable = std::isdigit(c.local.front());
        EXPECT_EQ(harness.enabled("localAddressCopyButton"), localCopyable);
        EXPECT_FALSE(harness.enabled("remoteAddressCopyButton"));
        QGuiApplication::clipboard()->setText("untouched");
        harness.content().copyRemoteEndpoint();
        if (!localCopyable)
            harness.content().copyLocalAddress();
        EXPECT_EQ(QGuiApplication::clipboard()->text(), "untouched");
        expectCopied(harness, false, false);
    }
}

TEST(WindowAddressNotification, TheAddressIsStoredWhenEditingEndsAndCheckAgainSendsOnceThereIsASendmail)
{
    TemporaryDirectory directory;
    const auto program = directory.path() / "sendmail";
    const auto mail = directory.path() / "mail";
    WindowHarness harness;
    harness.router = std::make_shared<AnsweringRouter>();
    harness.messagesNotifier = std::make_shared<remote::MessagesNotifier>(std::make_shared<platform::os::SendmailMessageDelivery>(program));
    harness.open();
    harness.focus(true);
    const auto stored = [&] { return harness.settings->stringValue(model::settingsKey::notificationAddress); };

    harness.click("notificationAddressField");
    const int writes = harness.settings->writes;
    harness.type("me@example.com");
    EXPECT_EQ(harness.settings->writes, writes) << "nothing is stored while typing";
    // Leaving the field stores the address; the toggle sends, but there is no sendmail yet.
    harness.click("notificationToggleSwitch");
    EXPECT_EQ(stored(), std::optional<std::string>("me@example.com"));
    EXPECT_EQ(harness.settings->boolValue(model::settingsKey::notificationsEnabled), std::optional<bool>(true));
    EXPECT_EQ(harness.text("notificationStatus"),
              "이메일 전송 실패 · sendmail 프로그램을 찾을 수 없습니다\nCannot send e-mail: no sendmail program found.");
    EXPECT_EQ(harness.colour("notificationStatus"), harness.colour("screenPermissionTextKorean")) << "orange, like the warnings";
    EXPECT_EQ(harness.text("notificationSettingsButton"), "다시 확인");

    std::ofstream(program) << "#!/bin/sh\ncat >> '" << mail.string() << "'\n";
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    harness.click("notificationSettingsButton");
    EXPECT_EQ(harness.text("notificationStatus"), "새 주소를 이메일로 보냈습니다");
    EXPECT_EQ(harness.colour("notificationStatus"), harness.colour("notificationHelpKorean")) << "the secondary colour";
    EXPECT_FALSE(harness.shown("notificationSettingsButton"));
    EXPECT_GT(std::filesystem::file_size(mail), 0U);

    // Return ends the editing at once.
    harness.click("notificationAddressField");
    harness.type(std::string(14, '\b') + "you@example.com\r");
    EXPECT_EQ(stored(), std::optional<std::string>("you@example.com"));
}


TEST(QtMainExecutor, RunsTasksFromEveryThreadOnTheGuiThreadInOrderAndNeverInline)
{
    auto executor = window::QtMainExecutor::create();
    std::vector<std::string> order;
    executor->post([&] {
        order.push_back("first");
        executor->post([&] { order.push_back("from a task"); });
    });
    EXPECT_TRUE(order.empty());
    std::thread([&] {
        EXPECT_FALSE(executor->isCurrent());
        for (const std::string name : {"a", "b", "c"})
            executor->post([&, name] { order.push_back(name + (executor->isCurrent() ? "" : " off the GUI thread")); });
    }).join();
    EXPECT_EQ(executor->pendingTasks(), 4U);
    while (executor->pendingTasks() > 0)
        QCoreApplication::sendPostedEvents();
    EXPECT_EQ(order, (std::vector<std::string>{"first", "a", "b", "c", "from a task"}));
}

TEST(QtMainExecutor, AfterShutdownTasksAreDroppedAndTheLastOwnerMayLetGoOnAnotherThread)
{
    const auto children = QCoreApplication::instance()->children().size();
    auto executor = window::QtMainExecutor::create();
    auto held = std::make_shared<int>(0);
    bool ran = false;
    executor->post([&ran, held] { ran = true; });
    executor->shutdown();
    EXPECT_EQ(held.use_count(), 1) << "the queued task was destroyed with what it held";
    EXPECT_EQ(executor->pendingTasks(), 0U);
    executor->post([&ran, held] { ran = true; });
    EXPECT_EQ(held.use_count(), 1) << "a task posted after the shutdown is dropped at once";
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(ran);

    // As a timer thread does when it held the last reference.
    executor = window::QtMainExecutor::create();
    executor->post([&ran] { ran = true; });
    std::thread([executor = std::move(executor)]() mutable { executor.reset(); }).join();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(ran) << "what was queued before still runs";
    EXPECT_EQ(QCoreApplication::instance()->children().size(), children) << "the receivers went with them";
}

}  // namespace
}  // namespace kestrio::test

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    kestrio::platform::x11::XvfbServer::Options screen;
    screen.initialSize = {1280, 1600};
    std::string error;
    const auto server = kestrio::platform::x11::XvfbServer::start(screen, error);
    if (!server) {
        std::fprintf(stderr, "no X server for the window: %s\n", error.c_str());
        return 1;
    }
    server->authorizeThisProcess();
    ::setenv("DISPLAY", server->displayName().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    // The software scene graph draws the same pixels on every run.
    ::setenv("QT_QUICK_BACKEND", "software", 1);
    // Nothing of the desktop the tests run in: no theme, scaling or session bus.
    for (const char* name : {"QT_QPA_PLATFORMTHEME", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_FONT_DPI",
                             "QT_STYLE_OVERRIDE", "QT_QUICK_CONTROLS_STYLE"})
        ::unsetenv(name);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    QGuiApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
