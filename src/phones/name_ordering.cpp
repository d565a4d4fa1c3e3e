#include "phones/name_ordering.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace kestrio::phones {
namespace {

enum class Digits { byValue, asWritten };

// A collator for the current default locale. Each thread keeps its own, so nothing is shared
// between threads, and makes a new one when the default locale has changed since.
class CollatorCache {
public:
    explicit CollatorCache(Digits digits) : digits_(digits) {}

    const icu::Collator* get()
    {
        const char* locale = icu::Locale::getDefault().getName();
        if (!collator_ || localeName_ != locale) {
            localeName_ = locale;
            collator_ = make();
        }
        return collator_.get();
    }

private:
    std::unique_ptr<icu::Collator> make() const
    {
        // Under LANG=C, ICU's default is en_US_POSIX, whose order is the ASCII table's: capitals
        // before small letters, even at the primary level. A process that asked for no language
        // gets the neutral root order instead.
        icu::Locale locale = icu::Locale::getDefault();
        if (std::strcmp(locale.getVariant(), "POSIX") == 0)
            locale = icu::Locale::getRoot();
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
        if (U_FAILURE(status) || !collator)
            return nullptr;
        // Secondary: base letters and accents count, case does not.
        collator->setStrength(icu::Collator::SECONDARY);
        collator->setAttribute(UCOL_NUMERIC_COLLATION, digits_ == Digits::byValue ? UCOL_ON : UCOL_OFF, status);
        if (U_FAILURE(status))
            return nullptr;
        return collator;
    }

    Digits digits_;
    std::string localeName_;
    std::unique_ptr<icu::Collator> collator_;
};

const icu::Collator* standardCollator()
{
    thread_local CollatorCache cache(Digits::byValue);
    return cache.get();
}

const icu::Collator* equalityCollator()
{
    thread_local CollatorCache cache(Digits::asWritten);
    return cache.get();
}

icu::UnicodeString fromUtf8(std::string_view text)
{
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

int compareWith(const icu::Collator* collator, std::string_view a, std::string_view b)
{
    if (collator) {
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult result =
            collator->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                                  icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), status);
        if (U_SUCCESS(status))
            return result;
    }
    // Without locale data: case folded code points, which still ignores case.
    const int8_t folded = fromUtf8(a).caseCompare(fromUtf8(b), U_FOLD_CASE_DEFAULT);
    return folded < 0 ? -1 : folded > 0 ? 1 : 0;
}

}  // namespace

int localizedStandardCompare(std::string_view a, std::string_view b)
{
    return compareWith(standardCollator(), a, b);
}

bool localizedCaseInsensitiveEqual(std::string_view a, std::string_view b)
{
    return compareWith(equalityCollator(), a, b) == 0;
}

void sortByName(std::vector<PairedIPhone>& phones)
{
    const icu::Collator* collator = standardCollator();
    std::stable_sort(phones.begin(), phones.end(), [collator](const PairedIPhone& a, const PairedIPhone& b) {
        return compareWith(collator, a.name, b.name) < 0;
    });
}

}  // namespace kestrio::phones
