#include "phones/device_list_parser.h"

#include "locale_support.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace kestrio::phones {
namespace {

namespace fs = std::filesystem;

const std::string wifi(wifiTransport);

std::string fixture(const char* name)
{
    const std::string text = test::readFile(fs::path(KESTRIO_PHONE_FIXTURES) / name);
    EXPECT_FALSE(text.empty()) << "missing fixture " << name;
    return text;
}

PairedIPhone phone(std::string id, std::string name, std::string model, std::string transport)
{
    return PairedIPhone{id, std::move(name), std::move(model), std::move(transport), id};
}

// Orders involving Hangul and Latin differ between locales; these tests read English ones.
class DeviceListParserTest : public ::testing::Test {
    ScopedDefaultLocale locale_{"en_US"};
};

TEST_F(DeviceListParserTest, ListsTheIPhonesOfADeviceControlReportAndNothingElse)
{
    const std::vector<PairedIPhone> expected{
        // The hardware UDID, not the tool's own identifier, and the transports by their names.
        // Each hardwareProperties looks like a record too (a "udid", the word iPhone): read after
        // its device, it is dropped as a UDID already listed, rather than listing a nameless
        // phone.
        phone("00008130-000A1B2C3D4E5F60", "Mina’s iPhone", "iPhone 15 Pro", "USB"),
        phone("00008110-0011223344556677", "지민의 iPhone", "iPhone 13 mini", wifi),
    };
    EXPECT_EQ(parseDeviceList(fixture("devicectl_devices.json")), expected);
}

TEST_F(DeviceListParserTest, TakesIdentifiersFromTheirUsualPlacesThenFromAnyMatchingKey)
{
    const std::vector<PairedIPhone> expected{
        // Found inside its parent: listed after it, under an identifier of its own. Its parent
        // finds the child's transport, having none of its own.
        phone("CHILD", "Child iPhone", "", "USB"),
        // The first record of a UDID wins; the second is dropped.
        phone("DUPLICATE", "First of the duplicates", "", ""),
        // "identifier" of the record comes before any key found deeper in.
        phone("IDENTIFIER-ONLY", "From identifier", "", ""),
        // Searched for: a key in any case, deep inside.
        phone("SERIAL-ONLY", "From serial number", "", ""),
        // The search looks at a record's own entries before going into any of them.
        phone("OWN-SERIAL-NUMBER", "Own entries first", "", ""),
        // Read before the copy of itself that it holds, which the used identifier then drops.
        phone("PARENT", "Parent iPhone", "", "USB"),
        // An empty value does not end the search for a key.
        phone("AFTER-EMPTY", "Past an empty UDID", "", ""),
        // "udid" of the record comes before its "identifier".
        phone("TOP-UDID", "Top-level UDID", "", ""),
        // A hardware UDID that is empty still is the identifier: that record is not listed.
    };
    EXPECT_EQ(parseDeviceList(fixture("identifiers.json")), expected);
}

TEST_F(DeviceListParserTest, FallsBackForNamesModelsAndTransports)
{
    const std::vector<PairedIPhone> expected{
        phone("N2", "Candidate name", "", wifi),
        // Neither a name nor a model: the phones are called "iPhone", in the order they came.
        phone("N6", "iPhone", "", "Bluetooth"),
        phone("N7", "iPhone", "", ""),
        phone("N4", "iPhone 12", "iPhone 12", wifi),
        phone("N5", "iPhone SE", "iPhone SE", wifi),
        phone("N1", "Properties name", "", "USB"),
        phone("N3", "Searched name", "", "USB"),
    };
    EXPECT_EQ(parseDeviceList(fixture("names_and_transports.json")), expected);
}

TEST_F(DeviceListParserTest, ReadsSmallReports)
{
    struct Case {
        const char* name;
        const char* report;
        std::vector<PairedIPhone> phones;
    };
    const Case cases[] = {
        {"sorted by number value, without regard to case",
         R"([{"udid": "A", "name": "iPhone 10"}, {"udid": "B", "name": "iPhone 9"}, {"udid": "C", "name": "iphone 11"}])",
         {phone("B", "iPhone 9", "", ""), phone("A", "iPhone 10", "", ""), phone("C", "iphone 11", "", "")}},
        // Recognised by its capitalised key and its shouted model; the exact-case places are not
        // there, so the identifier and name come from the search.
        {"keys and the word iPhone in any case",
         R"({"DeviceProperties": {"DeviceName": "Loud"}, "SerialNumber": "S1", "Model": "IPHONE"})",
         {phone("S1", "Loud", "", "")}},
        // Lower-cased beyond ASCII: the Kelvin sign (U+212A) is a capital K.
        {"Kelvin sign", R"({"udid": "K1", "type": "iPhone", "transportType": "LOCALNETWOR\u212A"})",
         {phone("K1", "iPhone", "", wifi)}},
        // Found by fuzzing: an empty name gave a phone listed without one.
        {"empty names count as missing",
         R"([{"udid": "A", "name": "", "type": "iPhone"},
             {"deviceProperties": {"name": ""}, "hardwareProperties": {"udid": "B", "marketingName": "iPhone 15"}},
             {"udid": "C", "name": "", "deviceName": "Minji's iPhone"}])",
         {phone("A", "iPhone", "", ""), phone("B", "iPhone 15", "iPhone 15", ""), phone("C", "Minji's iPhone", "", "")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parseDeviceList(c.report), c.phones);
    }
}

TEST_F(DeviceListParserTest, ReadsNothingFromWhatIsNotAReport)
{
    for (const char* text : {"", "{", "not json", "[{\"udid\": \"A\", \"name\": \"iPhone\"}", "{\"a\": \"\xff\"}",
                             "\"iPhone\"", "42", "null", "true", "[]", "{}"}) {
        EXPECT_TRUE(parseDeviceList(text).empty()) << text;
    }
    const std::string report = fixture("devicectl_devices.json");
    EXPECT_TRUE(parseDeviceList(report.substr(0, report.size() / 2)).empty());
}

TEST_F(DeviceListParserTest, FindsAPhoneUnderVeryDeepNesting)
{
    constexpr int depth = 100'000;
    std::string text(depth, '[');
    text += R"({"udid": "DEEP", "name": "iPhone deep down", "nested": )";
    text += std::string(depth, '[') + std::string(depth, ']');
    text += "}" + std::string(depth, ']');
    EXPECT_EQ(parseDeviceList(text), (std::vector<PairedIPhone>{phone("DEEP", "iPhone deep down", "", "")}));
}

}  // namespace
}  // namespace kestrio::phones
