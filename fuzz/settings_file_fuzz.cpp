// Feeds arbitrary bytes to the settings store as its file's contents, reads every key back
// against an independent reading of the same JSON, then writes values and reads them back.

#include "fuzz_support.h"
#include "platform/os/json_settings_store.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kestrio::fuzz::isWellFormedUtf8;
using kestrio::fuzz::require;
using kestrio::platform::os::JsonSettingsStore;
using Json = nlohmann::ordered_json;

bool readsAs(const std::string& text, double expected)
{
    double value{};
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() && value == expected;
}

// What the store must answer for a value of the file, by the rules of SettingsStore.
void checkValue(const JsonSettingsStore& store, const std::string& key, const Json& value)
{
    const auto text = store.stringValue(key);
    const auto flag = store.boolValue(key);
    if (value.is_string()) {
        require(text == value.get<std::string>() && !flag);
    } else if (value.is_boolean()) {
        require(flag == value.get<bool>() && text == (value.get<bool>() ? "1" : "0"));
    } else if (value.is_number_integer()) {
        require(text == value.dump());
        require(flag == (value == 0 || value == 1 ? std::optional<bool>(value == 1) : std::nullopt));
    } else if (value.is_number_float()) {
        const double number = value.get<double>();
        require(text.has_value() == std::isfinite(number));
        require(!text || readsAs(*text, number));
        require(flag == (number == 0.0 || number == 1.0 ? std::optional<bool>(number == 1.0) : std::nullopt));
    } else {
        require(!text && !flag);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes = kestrio::fuzz::asText(data, size);
    const auto store = JsonSettingsStore::fromText(bytes);
    const Json reference = Json::parse(bytes.begin(), bytes.end(), nullptr, false);
    const bool isObject = !bytes.empty() && reference.is_object();

    std::vector<std::string> keys;
    if (isObject) {
        for (auto entry = reference.begin(); entry != reference.end() && keys.size() < 64; ++entry) {
            checkValue(*store, entry.key(), entry.value());
            keys.push_back(entry.key());
        }
    } else {
        // A file that is not a settings object holds no settings.
        for (const char* key : {"launchAtLogin", "updateFeedURL", "selectedPhoneID", ""})
            require(!store->stringValue(key) && !store->boolValue(key));
    }

    // Writes read back as written (text that is not UTF-8 as its cleaned form), and leave the
    // other keys as they were.
    const std::string written(bytes.substr(0, 64));
    const std::string key = keys.empty() ? std::string(bytes.substr(0, 8)) : keys.front();
    store->setString(key, written);
    const auto readBack = store->stringValue(key);
    require(readBack.has_value() && isWellFormedUtf8(*readBack));
    if (isWellFormedUtf8(written))
        require(*readBack == written);
    store->setBool(key + "!", size % 2 == 0);
    require(store->boolValue(key + "!") == (size % 2 == 0));
    for (std::size_t i = 1; i < keys.size(); ++i)
        if (keys[i] != key + "!")
            checkValue(*store, keys[i], reference[keys[i]]);
    return 0;
}
