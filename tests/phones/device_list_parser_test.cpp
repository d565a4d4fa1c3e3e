#include "phones/device_list_parser.h"
#include "phones/name_ordering.h"

#include "phones/phones_support.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace kestrio::phones {
namespace {

std::string fixture(const char* name)
{
    const std::string text = test::readFile(std::filesystem::path(KESTRIO_PHONE_FIXTURES) / name);
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
        {R"([{"udid": "A", "name": "iPhone 10"}, {"udid": "B", "name": "iPhone 9"}, {"udid": "C", "name": "iphone 11"}])",
         {phone("B", "iPhone 9", "", ""), phone("A", "iPhone 10", "", ""), phone("C", "iphone 11", "", "")}},
        // Recognised by its capitalised key and its shouted model, found by the search.
        {R"({"DeviceProperties": {"DeviceName": "Loud"}, "SerialNumber": "S1", "Model": "IPHONE"})", {phone("S1", "Loud", "", "")}},
        // Lower-cased beyond ASCII: the Kelvin sign (U+212A) is a capital K.
        {R"({"udid": "K1", "type": "iPhone", "transportType": "LOCALNETWOR\u212A"})", {phone("K1", "iPhone", "", wifi)}},
        // Found by fuzzing: an empty name gave a phone listed without one.
        {R"([{"udid": "A", "name": "", "type": "iPhone"},
             {"deviceProperties": {"name": ""}, "hardwareProperties": {"udid": "B", "marketingName": "iPhone 15"}},
             {"udid": "C", "name": "", "deviceName": "Minji's iPhone"}])",
         {phone("A", "iPhone", "", ""), phone("B", "iPhone 15", "iPhone 15", ""), phone("C", "Minji's iPhone", "", "")}},
        {[] { const auto report = fixture("devicectl_devices.json"); return report.substr(0, report.size() / 2); }(), {}},
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

TEST(NameOrderingTest, OrdersByNumberValueIgnoringCaseAndFormButNotAccentsInTheDefaultLocale)
{
    constexpr int unchecked = 2;
    const char* const composed = "Caf\xC3\xA9";
    const char* const decomposed = "Cafe\xCC\x81";
    struct Case {
        const char* locale;
        std::string a, b;
        int order;   // of localizedStandardCompare(a, b): -1, 0, 1, or unchecked
        bool equal;  // localizedCaseInsensitiveEqual(a, b)
    };
    const Case cases[] = {
        {"en_US", "iPhone 9", "iPhone 10", -1, false}, {"en_US", "iPhone 10", "iphone 11", -1, false}, {"en_US", "iPhone 100", "iPhone 99", 1, false},
        {"en_US", "Mina’s iPhone", "MINA’S IPHONE", 0, true}, {"en_US", composed, decomposed, 0, true}, {"en_US", "Cafe", composed, -1, false},
        {"en_US", "apple", "Banana", -1, false}, {"en_US", "iPhone", "iPhone ", unchecked, false}, {"en_US", "iPhone 01", "iPhone 1", unchecked, false},
        {"en_US", "I", "ı", unchecked, false}, {"en_US", "지민의 iPhone", "Mina’s iPhone", 1, false},
        // Korean puts Hangul before Latin letters, Swedish Ö after Z; ICU's LANG=C would put capitals first.
        {"ko_KR", "지민의 iPhone", "Mina’s iPhone", -1, false}, {"de_DE", "Öl", "Zebra", -1, false}, {"sv_SE", "Öl", "Zebra", 1, false},
        {"en_US_POSIX", "iPhone", "IPHONE", 0, true}, {"en_US_POSIX", "apple", "Banana", -1, false},
        // Turkish pairs the dotless i with I, and the dotted capital with i.
        {"tr_TR", "I", "ı", 0, true}, {"tr_TR", "İ", "i", 0, true}, {"tr_TR", "I", "i", unchecked, false},
    };
    const auto sign = [](int value) { return (value > 0) - (value < 0); };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.locale) + ": " + c.a + " / " + c.b);
        ScopedDefaultLocale locale(c.locale);
        EXPECT_TRUE(c.order == unchecked || sign(localizedStandardCompare(c.a, c.b)) == c.order);
        EXPECT_EQ(localizedCaseInsensitiveEqual(c.a, c.b), c.equal);
    }

    ScopedDefaultLocale locale("en_US");
    std::vector<PairedIPhone> phones{phone("a", "iPhone 10", "", ""), phone("b", "iphone", "", ""), phone("c", "iPhone 9", "", ""),
                                     phone("d", "IPHONE", "", ""), phone("e", "iPhone", "", "")};
    sortByName(phones);
    std::string ids;
    for (const auto& each : phones)
        ids += each.id;
    EXPECT_EQ(ids, "bdeca");
}

}  // namespace
}  // namespace kestrio::phones
