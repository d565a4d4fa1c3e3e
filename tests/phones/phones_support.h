#pragma once

#include "phones/paired_iphone.h"

#include <unicode/locid.h>

#include <string>

namespace kestrio::phones {

inline const std::string wifi(wifiTransport);

inline PairedIPhone phone(std::string id, std::string name, std::string model, std::string transport)
{
    return PairedIPhone{id, std::move(name), std::move(model), std::move(transport), id};
}

// ICU's default locale for a scope, so that orders do not depend on the tests' LANG.
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
