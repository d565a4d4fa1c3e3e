// The parts of a macOS build that only make or read text: devicectl's report, the scripts that
// drive Messages, the privacy panes' addresses.
#include "platform/macos/device_list_parser.h"
#include "platform/macos/messages_script.h"
#include "platform/macos/privacy_settings.h"

#include "support/scoped_default_locale.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kestrio::platform::macos {
namespace {

using phones::PairedIPhone;
using test::ScopedDefaultLocale;

const std::string wifi(phones::wifiTransport);

PairedIPhone phone(std::string id, std::string name, std::string model, std::string transport)
{
    return PairedIPhone{id, std::move(name), std::move(model), std::move(transport), id};
}

std::string fixture(const char* name)
{
    const std::string text = test::readFile(std::filesystem::path(KESTRIO_DEVICE_LIST_FIXTURES) / name);
    EXPECT_FALSE(text.empty()) << "missing fixture " << name;
    return text;
}

// Orders involving Hangul and Latin differ between locales; these tests read English ones.
class DeviceListParserTest : public ::testing::Test {
    ScopedDefaultLocale locale_{"en_US"};
};

TEST_F(DeviceListParserTest, ReadsTheIPhonesOfReportsAndNothingElse)
{
    struct Case {
        std::string report;
        std::vector<PairedIPhone> phones;
    };
    const Case cases[] = {
        // The hardware UDID, not the tool's own identifier; each hardwareProperties, which looks like
        // a record too, is dropped as a UDID already listed.
        {fixture("devicectl_devices.json"),
         {phone("00008130-000A1B2C3D4E5F60", "Mina’s iPhone", "iPhone 15 Pro", "USB"),
          phone("00008110-0011223344556677", "지민의 iPhone", "iPhone 13 mini", wifi)}},
        // A child record after its parent, which takes the child's transport; the first record of a
        // UDID wins; "udid", then "identifier", then a key in any case found deeper, own entries
        // first, past empty values; an empty hardware UDID still is the identifier.
        {fixture("identifiers.json"),
         {phone("CHILD", "Child iPhone", "", "USB"), phone("DUPLICATE", "First of the duplicates", "", ""),
          phone("IDENTIFIER-ONLY", "From identifier", "", ""), phone("SERIAL-ONLY", "From serial number", "", ""),
          phone("OWN-SERIAL-NUMBER", "Own entries first", "", ""), phone("PARENT", "Parent iPhone", "", "USB"),
          phone("AFTER-EMPTY", "Past an empty UDID", "", ""), phone("TOP-UDID", "Top-level UDID", "", "")}},
        // Neither a name nor a model: the phones are called "iPhone", in the order they came.
        {fixture("names_and_transports.json"),
         {phone("N2", "Candidate name", "", wifi), phone("N6", "iPhone", "", "Bluetooth"), phone("N7", "iPhone", "", ""), phone("N4", "iPhone 12", "iPhone 12", wifi),
          phone("N5", "iPhone SE", "iPhone SE", wifi), phone("N1", "Properties name", "", "USB"), phone("N3", "Searched name", "", "USB")}},
        // Recognised by its capitalised key and its shouted model, found by the search.
        {R"({"DeviceProperties": {"DeviceName": "Loud"}, "SerialNumber": "S1", "Model": "IPHONE"})", {phone("S1", "Loud", "", "")}},
        // Lower-cased beyond ASCII: the Kelvin sign (U+212A) is a capital K.
        {R"({"udid": "K1", "type": "iPhone", "transportType": "LOCALNETWOR\u212A"})", {phone("K1", "iPhone", "", wifi)}},
        // Found by fuzzing: an empty name gave a phone listed without one.
        {R"([{"udid": "A", "name": "", "type": "iPhone"},
             {"deviceProperties": {"name": ""}, "hardwareProperties": {"udid": "B", "marketingName": "iPhone 15"}},
             {"udid": "C", "name": "", "deviceName": "Minji's iPhone"}])",
         {phone("A", "iPhone", "", ""), phone("B", "iPhone 15", "iPhone 15", ""), phone("C", "Minji's iPhone", "", "")}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseDeviceList(c.report), c.phones) << c.report.substr(0, 200);
    for (const char* text : {"", "{", "not json", "[{\"udid\": \"A\", \"name\": \"iPhone\"}", "{\"a\": \"\xff\"}", "\"iPhone\"", "42", "null",
                             "true", "[]", "{}"})
        EXPECT_TRUE(parseDeviceList(text).empty()) << text;

    constexpr int depth = 100'000;
    const std::string deep = std::string(depth, '[') + R"({"udid": "DEEP", "name": "iPhone deep down", "nested": )" + std::string(depth, '[')
                             + std::string(depth, ']') + "}" + std::string(depth, ']');
    EXPECT_EQ(parseDeviceList(deep), (std::vector<PairedIPhone>{phone("DEEP", "iPhone deep down", "", "")}));
}

TEST(MessagesScript, TheTextAndRecipientGoIntoTheScriptAsEscapedLiterals)
{
    EXPECT_EQ(MessagesScript::literal("a\\\"b\r\n\t주소"), "\"a\\\\\\\"b\\r\\n\\t주소\"");
    EXPECT_EQ(MessagesScript::send("me@example.com", " 203.0.113.7:59590\n"),
              "tell application \"Messages\"\n"
              "    set targetAccount to first account whose service type is iMessage and enabled is true\n"
              "    set targetParticipant to participant \"me@example.com\" of targetAccount\n"
              "    send \" 203.0.113.7:59590\\n\" to targetParticipant\n"
              "end tell");
}

struct RecordingUrlOpener final : model::UrlOpener {
    void open(const std::string& url) override { urls.push_back(url); }
    std::vector<std::string> urls;
};

TEST(PrivacySettings, EachPermissionOpensItsPaneOfSystemSettings)
{
    using model::Permission;
    auto opener = std::make_shared<RecordingUrlOpener>();
    PrivacySettings settings(opener);
    for (const auto permission : {Permission::screenRecording, Permission::touchControl, Permission::notificationAccess})
        EXPECT_TRUE(settings.open(permission));
    const std::string pane = "x-apple.systempreferences:com.apple.preference.security?Privacy_";
    EXPECT_EQ(opener->urls, (std::vector<std::string>{pane + "ScreenCapture", pane + "Accessibility", pane + "Automation"}));
}

}  // namespace
}  // namespace kestrio::platform::macos
