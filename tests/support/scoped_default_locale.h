#pragma once

#include <unicode/locid.h>

namespace kestrio::test {

// ICU's default locale for a scope, so that orders do not depend on the tests' LANG.
struct ScopedDefaultLocale {
    explicit ScopedDefaultLocale(const char* name) { setDefault(icu::Locale(name)); }
    ~ScopedDefaultLocale() { setDefault(previous); }
    static void setDefault(const icu::Locale& locale)
    {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(locale, status);
    }
    const icu::Locale previous = icu::Locale::getDefault();
};

}  // namespace kestrio::test
