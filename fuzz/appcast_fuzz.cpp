// Feeds arbitrary bytes to the update feed's reader, and to the cleaning every feed text gets
// before it is printed, and checks what comes out: items with versions, texts free of controls,
// and a newest item that no other item outranks.

#include "fuzz_support.h"
#include "runtime/printable_text.h"
#include "updates/appcast.h"
#include "updates/version_compare.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using kestrio::fuzz::isPrintableUtf8;
using kestrio::fuzz::require;
using namespace kestrio::updates;

void checkPrintable(std::string_view raw)
{
    const auto printable = kestrio::runtime::printableText(raw);
    require(isPrintableUtf8(printable));
    require(kestrio::runtime::printableText(printable) == printable);
    // Text that needs no cleaning passes unchanged.
    if (isPrintableUtf8(raw))
        require(printable == raw);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view xml = kestrio::fuzz::asText(data, size);
    checkPrintable(xml);

    const auto items = parseAppcast(xml);
    if (!items)
        return 0;
    for (const auto& item : *items) {
        require(!item.version.empty());
        for (const std::string* text : {&item.version, &item.shortVersion, &item.title, &item.downloadURL, &item.releaseNotesURL})
            require(isPrintableUtf8(*text) && (text->empty() || (text->front() != ' ' && text->back() != ' ')));
    }

    const auto newest = newestItem(*items);
    require(newest.has_value() == !items->empty());
    if (!newest)
        return 0;
    bool found = false;
    for (const auto& item : *items) {
        const int forward = compareVersions(newest->version, item.version), backward = compareVersions(item.version, newest->version);
        require(forward >= 0 && (forward > 0) == (backward < 0) && (forward == 0) == (backward == 0));
        found = found || item == *newest;
    }
    require(found);
    return 0;
}
