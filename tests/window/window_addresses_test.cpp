// The two addresses with their copy buttons, and the address notification's block.
#include "platform/linux/sendmail_message_delivery.h"
#include "support/test_support.h"
#include "window/window_harness_support.h"

#include "window/window_model.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QColor>
#include <QGuiApplication>
#include <QQuickItem>

#include <filesystem>
#include <fstream>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;

QString clipboardText()
{
    return QGuiApplication::clipboard()->text();
}

void expectCopyLabel(const WindowHarness& harness, const QString& button, const QString& korean, const QString& english)
{
    EXPECT_EQ(harness.text(button + "LabelKorean"), korean);
    EXPECT_EQ(harness.text(button + "LabelEnglish"), english);
}

TEST(WindowAddresses, ACopyPutsTheAddressOnTheClipboardAndReadsCopiedForTwoSeconds)
{
    WindowHarness harness;
    harness.router = std::make_shared<AnsweringRouter>();
    harness.open();
    EXPECT_EQ(harness.text("localAddressValue"), "192.168.0.10");
    EXPECT_EQ(harness.text("remoteAddressValue"), "203.0.113.7:61000");
    expectCopyLabel(harness, "localAddressCopyButton", "IP 복사", "Copy IP");
    expectCopyLabel(harness, "remoteAddressCopyButton", "주소 복사", "Copy Address");

    QGuiApplication::clipboard()->setText("something else");
    harness.click("localAddressCopyButton");
    EXPECT_EQ(clipboardText(), "192.168.0.10");
    expectCopyLabel(harness, "localAddressCopyButton", "복사됨", "Copied");
    // Each button has its own flag.
    expectCopyLabel(harness, "remoteAddressCopyButton", "주소 복사", "Copy Address");
    harness.advance(1999ms);
    expectCopyLabel(harness, "localAddressCopyButton", "복사됨", "Copied");
    harness.advance(1ms);
    expectCopyLabel(harness, "localAddressCopyButton", "IP 복사", "Copy IP");

    // A second press within the two seconds starts a wait of its own; the first to end clears.
    harness.click("remoteAddressCopyButton");  // t = 0
    EXPECT_EQ(clipboardText(), "203.0.113.7:61000");
    harness.advance(1500ms);
    harness.click("remoteAddressCopyButton");  // t = 1.5
    harness.advance(500ms);                     // t = 2: the first wait ends
    expectCopyLabel(harness, "remoteAddressCopyButton", "주소 복사", "Copy Address");
    harness.click("remoteAddressCopyButton");  // t = 2
    expectCopyLabel(harness, "remoteAddressCopyButton", "복사됨", "Copied");
    harness.advance(1500ms);                    // t = 3.5: the second press's wait ends
    expectCopyLabel(harness, "remoteAddressCopyButton", "주소 복사", "Copy Address");
    harness.advance(500ms);                     // t = 4: the third one's ends
    expectCopyLabel(harness, "remoteAddressCopyButton", "주소 복사", "Copy Address");
}

TEST(WindowAddresses, CopyButtonsAreDisabledWhileTheirTextIsAPlaceholder)
{
    {
        WindowHarness harness;
        harness.router = std::make_shared<AnsweringRouter>();
        harness.build();
        // Before the first refresh and the first mapping outcome.
        EXPECT_EQ(harness.text("localAddressValue"), "확인 중");
        EXPECT_EQ(harness.text("remoteAddressValue"), "확인 중");
        EXPECT_FALSE(harness.enabled("localAddressCopyButton"));
        EXPECT_FALSE(harness.enabled("remoteAddressCopyButton"));
        harness.show();
        EXPECT_TRUE(harness.enabled("localAddressCopyButton"));
        EXPECT_TRUE(harness.enabled("remoteAddressCopyButton"));
    }
    {
        WindowHarness harness;
        harness.localAddress.reset();
        harness.router = std::make_shared<AnsweringRouter>();
        harness.router->answer = {remote::RouterMappingResult::Outcome::unsupported, 0, {}, {}, {}, {}};
        harness.open();
        EXPECT_EQ(harness.text("localAddressValue"), "확인 불가");
        EXPECT_EQ(harness.text("remoteAddressValue"), "사용할 수 없음");
        EXPECT_FALSE(harness.enabled("localAddressCopyButton"));
        EXPECT_FALSE(harness.enabled("remoteAddressCopyButton"));
        QGuiApplication::clipboard()->setText("untouched");
        harness.click("localAddressCopyButton");
        harness.click("remoteAddressCopyButton");
        EXPECT_EQ(clipboardText(), "untouched");
        expectCopyLabel(harness, "localAddressCopyButton", "IP 복사", "Copy IP");
    }
    {
        // Without a router facility (--no-port-mapping) the remote row says so, and that is no address.
        WindowHarness harness;
        harness.open();
        EXPECT_EQ(harness.text("remoteAddressValue"), "자동 포트 연결 꺼짐\nAutomatic port mapping is off");
        EXPECT_FALSE(harness.enabled("remoteAddressCopyButton"));
        EXPECT_TRUE(harness.enabled("localAddressCopyButton"));
        QGuiApplication::clipboard()->setText("untouched");
        harness.click("remoteAddressCopyButton");
        harness.content().copyRemoteEndpoint();  // the copy action itself, not only its button
        EXPECT_EQ(clipboardText(), "untouched");
        expectCopyLabel(harness, "remoteAddressCopyButton", "주소 복사", "Copy Address");
    }
}

TEST(WindowAddressNotification, TypedAddressTakesEffectWhenEditingEndsAndTheToggleRunsTheNotification)
{
    WindowHarness harness;
    harness.open();
    harness.activate();
    EXPECT_EQ(harness.item("iMessageAddressField").property("placeholderText").toString(), "name@example.com");
    EXPECT_EQ(harness.text("iMessageStatus"), "이메일 주소 알림이 꺼져 있습니다");
    EXPECT_FALSE(harness.shown("iMessageSettingsButton"));

    harness.click("iMessageAddressField");
    const int writes = harness.settings->writes;
    harness.type("me@example.com");
    EXPECT_EQ(harness.settings->writes, writes) << "nothing is stored while typing";
    EXPECT_EQ(harness.text("iMessageAddressField"), "me@example.com");

    // Leaving the field stores the address. No remote address yet: the notification waits for one.
    harness.click("iMessageToggleSwitch");
    EXPECT_EQ(harness.settings->stringValue(model::settingsKey::iMessageAddress), std::optional<std::string>("me@example.com"));
    EXPECT_EQ(harness.settings->boolValue(model::settingsKey::iMessageNotificationsEnabled), std::optional<bool>(true));
    EXPECT_EQ(harness.text("iMessageStatus"), "외부 주소가 준비되면 이메일을 보냅니다");
    EXPECT_EQ(harness.item("iMessageStatus").property("color").value<QColor>(),
              harness.item("iMessageHelpKorean").property("color").value<QColor>())
        << "not a failure: the secondary colour";

    // Emptying the field empties the stored address, one keystroke at a time as well.
    harness.click("iMessageAddressField");
    harness.press(Qt::Key_End);
    for (int i = 0; i < 14; ++i)
        harness.press(Qt::Key_Backspace);
    EXPECT_EQ(harness.settings->stringValue(model::settingsKey::iMessageAddress), std::optional<std::string>("me@example.com"));
    harness.advance(std::chrono::seconds(2));
    EXPECT_EQ(harness.settings->stringValue(model::settingsKey::iMessageAddress), std::optional<std::string>(""))
        << "a pause ends the editing";

    // Return ends it at once.
    harness.type("you@example.com");
    harness.press(Qt::Key_Return);
    EXPECT_EQ(harness.settings->stringValue(model::settingsKey::iMessageAddress), std::optional<std::string>("you@example.com"));

    harness.click("iMessageToggleSwitch");
    EXPECT_EQ(harness.text("iMessageStatus"), "이메일 주소 알림이 꺼져 있습니다");
}

TEST(WindowAddressNotification, WithoutASendmailProgramTheStatusSaysSoAndCheckAgainSendsOnceThereIsOne)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const auto program = directory.path() / "sendmail";
    const auto mail = directory.path() / "mail";
    WindowHarness harness;
    // A remote address, an address to send to, and a sendmail that is not there yet.
    harness.router = std::make_shared<AnsweringRouter>();
    harness.messagesNotifier = std::make_shared<remote::MessagesNotifier>(std::make_shared<platform::SendmailMessageDelivery>(program));
    harness.settings->setString(model::settingsKey::iMessageAddress, "me@example.com");
    harness.open();
    harness.click("iMessageToggleSwitch");
    EXPECT_EQ(harness.text("iMessageStatus"),
              "이메일 전송 실패 · sendmail 프로그램을 찾을 수 없습니다\nCannot send e-mail: no sendmail program found.");
    EXPECT_EQ(harness.item("iMessageStatus").property("color").value<QColor>(), harness.item("screenPermissionTextKorean").property("color").value<QColor>())
        << "a failure: orange, like the warnings";
    ASSERT_TRUE(harness.shown("iMessageSettingsButton"));
    EXPECT_EQ(harness.text("iMessageSettingsButton"), "다시 확인");
    harness.click("iMessageSettingsButton");
    EXPECT_TRUE(harness.shown("iMessageSettingsButton")) << "still no sendmail";

    {
        std::ofstream script(program);
        script << "#!/bin/sh\ncat >> '" << mail.string() << "'\n";
    }
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    harness.click("iMessageSettingsButton");
    EXPECT_EQ(harness.text("iMessageStatus"), "새 주소를 이메일로 보냈습니다");
    EXPECT_FALSE(harness.shown("iMessageSettingsButton"));
    EXPECT_TRUE(std::filesystem::file_size(mail) > 0) << "the mail went to sendmail";
    EXPECT_TRUE(harness.opener->urls.empty()) << "there is no settings pane to open";
}

}  // namespace
}  // namespace kestrio::test
