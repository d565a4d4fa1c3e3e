// Feeds arbitrary bytes to the reader of devicectl's JSON report and checks the
// phones it gives: each with an identifier of its own and a name, in name order.

#include "fuzz_support.h"
#include "phones/name_ordering.h"
#include "platform/macos/device_list_parser.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

using kestrio::fuzz::require;
using kestrio::phones::localizedStandardCompare;
using kestrio::platform::macos::parseDeviceList;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view json = kestrio::fuzz::asText(data, size);
    const auto phones = parseDeviceList(json);
    // Every phone needs a record of its own; a record's smallest form is longer than this.
    require(phones.size() <= size / 8);

    std::set<std::string> identifiers;
    for (std::size_t i = 0; i < phones.size(); ++i) {
        require(!phones[i].id.empty() && identifiers.insert(phones[i].id).second && phones[i].deviceID == phones[i].id);
        require(!phones[i].name.empty() && (i == 0 || localizedStandardCompare(phones[i - 1].name, phones[i].name) <= 0));
    }
    return 0;
}
