// The header, the update check and the fonts of the window's texts.
#include "window/window_harness_support.h"

#include "app/status_printer.h"
#include "window/korean_font.h"
#include "window/window_model.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QQuickItem>
#include <QRawFont>
#include <QTextLayout>

#include <functional>
#include <set>
#include <sstream>

namespace kestrio::test {
namespace {

bool isHangul(char32_t c)
{
    return (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0x1100 && c <= 0x11FF) || (c >= 0x3130 && c <= 0x318F);
}

bool hasHangul(const QString& text)
{
    for (const char32_t c : text.toUcs4())
        if (isHangul(c))
            return true;
    return false;
}

// The glyphs Qt lays `text` out with in `font`, font fallback included, as (font family,
// glyph index) per glyph. Index 0 is the font's missing-glyph box.
struct LaidOutGlyph {
    QString family;
    quint32 index;
};
std::vector<LaidOutGlyph> layOut(QString text, const QFont& font)
{
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(text, font);
    layout.beginLayout();
    while (layout.createLine().isValid()) {
    }
    layout.endLayout();
    std::vector<LaidOutGlyph> glyphs;
    for (const auto& run : layout.glyphRuns()) {
        const QString family = run.rawFont().familyName();
        for (const auto index : run.glyphIndexes())
            glyphs.push_back({family, index});
    }
    return glyphs;
}

// Every visible text of the scene with Hangul in it: no glyph is drawn as a missing-glyph box,
// and the Korean lines are set in the chosen Korean font.
void expectKoreanRendersInState(WindowHarness& harness, const std::string& state)
{
    harness.render();
    const QString korean = harness.content().koreanFontFamily();
    int checked = 0;
    for (const auto& text : sceneTexts(harness.window())) {
        if (!hasHangul(text.text))
            continue;
        ++checked;
        const auto where = state + ": \"" + text.text.toStdString() + "\" (" + text.name.toStdString() + ")";
        for (const auto& glyph : layOut(text.text, text.font))
            EXPECT_NE(glyph.index, 0U) << where << " has a missing glyph in " << glyph.family.toStdString();
        // The font of the Korean lines must have the Hangul itself, not borrow it.
        if (text.name.endsWith(QLatin1String("Korean"))) {
            EXPECT_EQ(text.font.family(), korean) << where;
            const QFontMetrics metrics(text.font);
            for (const char32_t c : text.text.toUcs4()) {
                if (isHangul(c)) {
                    EXPECT_TRUE(metrics.inFontUcs4(c)) << where << ": U+" << std::hex << static_cast<unsigned>(c);
                }
            }
        }
    }
    EXPECT_GT(checked, 10) << state << ": the Korean texts were not found";
}

TEST(WindowText, TheKoreanFontIsANanumFamilyOnThisMachine)
{
    // fonts-nanum is what the window expects on Debian; without it the check above could pass
    // on fallback fonts alone.
    ASSERT_TRUE(QFontDatabase::hasFamily("NanumGothic")) << "fonts-nanum is not installed";
    EXPECT_EQ(window::chooseKoreanFontFamily(), "NanumGothic");
}

TEST(WindowText, NoKoreanTextRendersAMissingGlyphInAnyState)
{
    WindowHarness harness;
    harness.router = std::make_shared<AnsweringRouter>();
    harness.permissions->captureOK = false;
    harness.permissions->trusted = false;
    harness.settings->setString(model::settingsKey::iMessageAddress, "me@example.com");
    harness.open();
    expectKoreanRendersInState(harness, "waiting, without permissions");

    harness.click("iMessageToggleSwitch");  // the two-line permission text
    harness.click("modeSegment1");
    harness.click("displayPicker");  // the display names in the open list
    expectKoreanRendersInState(harness, "mirroring, list open");
    harness.click("displayPickerOption0");

    harness.link->connect(false, "민지의 iPhone");
    harness.settle();
    ASSERT_TRUE(harness.model->isStreaming());
    expectKoreanRendersInState(harness, "streaming in the compatible mode");
}

// Words that name the Mac, its settings or its messaging, which a Linux host does not have.
const std::vector<QString> macWords = {"Mac", "macOS", "iMessage", "Apple", "Xcode", "Messages", "System Settings",
                                       "시스템 설정", "설정 열기", "Open Settings", "맥", "x-apple"};

// Every text the window and the status lines could show in each state, and none of them
// speaks of the Mac.
TEST(WindowText, NoStateShowsMacWording)
{
    WindowHarness harness;
    harness.router = std::make_shared<AnsweringRouter>();
    harness.feedURL = "https://updates.example.com/appcast.xml";
    harness.permissions->captureOK = false;
    harness.permissions->trusted = false;
    harness.loginItem->registerError = "refused";
    harness.settings->setString(model::settingsKey::iMessageAddress, "me@example.com");
    harness.open();
    std::ostringstream lines;
    app::StatusPrinter printer(lines);
    printer.show(*harness.model);

    const auto check = [&](const std::string& state) {
        std::vector<std::pair<QString, QString>> texts;  // where, text
        for (const auto& text : sceneTexts(harness.window()))
            texts.emplace_back(text.name, text.text);
        const auto wording = harness.content().wording();
        for (auto entry = wording.begin(); entry != wording.end(); ++entry)
            texts.emplace_back("wording." + entry.key(), entry.value().toString());
        printer.show(*harness.model);
        texts.emplace_back("status lines", QString::fromStdString(lines.str()));
        for (const auto& [where, text] : texts)
            for (const auto& word : macWords)
                EXPECT_FALSE(text.contains(word)) << state << ": " << where.toStdString() << " says \"" << text.toStdString() << '"';
        lines.str({});  // the status lines printed since the last state
    };
    const std::vector<std::pair<std::string, std::function<void()>>> states = {
        {"waiting, nothing allowed, no phone paired", [] {}},
        {"the notification has nothing to send with",
         [&] {
             harness.click("iMessageToggleSwitch");
             EXPECT_EQ(harness.model->notificationStatus(), model::NotificationStatus::unavailable);
         }},
        {"starting at login refused",
         [&] {
             harness.click("launchAtLoginSwitch");
             EXPECT_EQ(model::errorText(*harness.model), harness.wording.launchAtLoginEnableFailed);
         }},
        {"the display list cannot be read",
         [&] {
             harness.displays->queryFails = true;
             harness.model->launch([](model::HostModel& model) { return model.refreshDisplays(); });
             harness.settle();
             EXPECT_EQ(model::errorText(*harness.model), harness.wording.screenPermissionError);
         }},
        {"the virtual monitor never shows",
         [&] {
             harness.displays->queryFails = false;
             harness.displays->monitorsAppear = false;
             harness.displays->physical.clear();
             harness.permissions->captureOK = true;
             harness.click("startStopButton");
             for (int step = 0; step < 200 && harness.model->isBusy(); ++step)
                 harness.advance(std::chrono::milliseconds(250));
             EXPECT_EQ(model::errorText(*harness.model), harness.wording.virtualMonitorNotShown);
         }},
        {"streaming to the virtual monitor",
         [&] {
             harness.permissions->trusted = true;
             harness.displays->monitorsAppear = true;
             harness.advance(model::HostModel::inputTrustLifetime);
             harness.link->connect(true, "민지의 iPhone");
             harness.settle();
             EXPECT_TRUE(harness.model->isStreaming());
         }},
        {"mirroring chosen while streaming", [&] { harness.click("modeSegment1"); }},
    };
    for (const auto& [state, enter] : states) {
        enter();
        check(state);
    }

    // The notification's other statuses, which take a mail server to reach.
    const auto& wording = harness.model->wording();
    for (const auto& status : {wording.notificationOff, wording.notificationNeedsAddress, wording.notificationWillSend,
                               wording.notificationWaiting, wording.notificationSent, wording.notificationAlreadySent,
                               wording.notificationSendFailed})
        for (const auto& word : macWords)
            EXPECT_FALSE(QString::fromStdString(status).contains(word)) << status;
}

TEST(WindowText, TheHeaderShowsTheLogoTaglineAndVersion)
{
    WindowHarness harness;
    harness.open();
    EXPECT_EQ(harness.item("logo").property("status").toInt(), 1) << "the logo loaded (Image.Ready)";
    EXPECT_EQ(harness.item("logo").width(), 54);
    EXPECT_EQ(harness.item("logo").height(), 54);
    EXPECT_EQ(harness.text("versionKorean"), "앱 버전 0.1.0 (1)");
    EXPECT_EQ(harness.text("versionEnglish"), "App version 0.1.0 (1)");
    EXPECT_FALSE(harness.text("taglineKorean").isEmpty());
    EXPECT_FALSE(harness.text("taglineEnglish").isEmpty());

    EXPECT_EQ(window::VersionText{}.text(), "- (-)");
}

TEST(WindowText, WithoutAFeedTheWindowSaysWhereUpdatesComeFrom)
{
    WindowHarness harness;
    harness.open();
    EXPECT_FALSE(harness.shown("checkForUpdatesButton")) << "no button that could never work";
    EXPECT_TRUE(harness.shown("updateStatus"));
    EXPECT_EQ(harness.text("updateStatusKorean"), "업데이트는 패키지 관리자로 설치합니다");
    EXPECT_EQ(harness.text("updateStatusEnglish"), "Updates come from your package manager");
    EXPECT_FALSE(harness.shown("updateDownloadLink"));
}

TEST(WindowText, TheUpdateButtonChecksAndTheOutcomeIsShownBesideIt)
{
    WindowHarness harness;
    harness.feedURL = "https://updates.example.com/appcast.xml";
    harness.open();
    EXPECT_TRUE(harness.enabled("checkForUpdatesButton"));
    EXPECT_FALSE(harness.shown("updateStatus")) << "nothing checked yet";
    harness.hover("checkForUpdatesButton");
    bool tooltip = false;
    for (const auto& text : sceneTexts(harness.window()))
        tooltip = tooltip || text.text == "Check for Kestrio updates";
    EXPECT_TRUE(tooltip) << "the pointer over the button shows its help";

    const auto secondary = harness.item("versionKorean").property("color").value<QColor>();
    struct Case {
        const char* name;
        updates::FetchResult feed;
        QString korean, english, link;
        bool failure;
    };
    const std::vector<Case> cases = {
        {"the feed cannot be read", {false, 404, {}, "HTTP 404"}, "업데이트 확인 실패 · HTTP 404",
         "Could not check for updates: HTTP 404", "", true},
        {"a newer version", feedWithVersion("2.0"), "새 버전 사용 가능 · 2.0", "Version 2.0 is available",
         "https://example.com/kestrio-2.0.deb", false},
        {"this version is the newest", feedWithVersion("1"), "최신 버전 사용 중", "Kestrio is up to date", "", false},
    };
    int fetches = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        harness.feedFetcher->result = c.feed;
        harness.click("checkForUpdatesButton");
        EXPECT_FALSE(harness.enabled("checkForUpdatesButton")) << "while the check runs";
        EXPECT_EQ(harness.text("updateStatusKorean"), "업데이트 확인 중…");
        EXPECT_EQ(harness.text("updateStatusEnglish"), "Checking for updates…");
        EXPECT_FALSE(harness.shown("updateDownloadLink"));
        EXPECT_EQ(harness.feedFetcher->fetches, fetches);
        harness.updateWorker->runUntilIdle();
        harness.settle();
        EXPECT_EQ(harness.feedFetcher->fetches, ++fetches);
        EXPECT_TRUE(harness.enabled("checkForUpdatesButton"));
        EXPECT_EQ(harness.text("updateStatusKorean"), c.korean);
        EXPECT_EQ(harness.text("updateStatusEnglish"), c.english);
        EXPECT_EQ(harness.shown("updateDownloadLink"), !c.link.isEmpty());
        if (!c.link.isEmpty()) {
            EXPECT_EQ(harness.text("updateDownloadLink"), c.link);
        }
        const auto colour = harness.item("updateStatusKorean").property("color").value<QColor>();
        EXPECT_EQ(colour != secondary, c.failure) << "a failure stands out";
    }
}

}  // namespace
}  // namespace kestrio::test
