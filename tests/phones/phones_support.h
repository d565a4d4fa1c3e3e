#pragma once

#include <unicode/locid.h>

namespace kestrio::phones {

// Sets ICU's default locale for the scope of a test, so that orders do not depend on the LANG
// the tests happen to run under.
class ScopedDefaultLocale {
public:
    explicit ScopedDefaultLocale(const char* name) : previous_(icu::Locale::getDefault())
    {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale(name), status);
    }
    ~ScopedDefaultLocale()
    {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(previous_, status);
    }
    ScopedDefaultLocale(const ScopedDefaultLocale&) = delete;
    ScopedDefaultLocale& operator=(const ScopedDefaultLocale&) = delete;

private:
    icu::Locale previous_;
};

}  // namespace kestrio::phones
