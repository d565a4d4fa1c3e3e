#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrio::model {

// The per-user key-value store the model keeps its few lasting settings in. Reads never fail:
// a key that is missing, unreadable or of another type is absent. Writes take effect at once
// and are durable when they return; a write that cannot be stored leaves the stored keys as they
// were, holds in memory all the same, and is owed until a later write or retrySave() stores
// everything. Used from the model's executor only.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // A Boolean, or a number that is exactly 0 or 1; anything else (a text included) is absent.
    virtual std::optional<bool> boolValue(std::string_view key) const = 0;
    // A text; a number or a Boolean reads as its decimal text ("1" / "0" for a Boolean); anything
    // else is absent.
    virtual std::optional<std::string> stringValue(std::string_view key) const = 0;

    virtual void setBool(std::string_view key, bool value) = 0;
    virtual void setString(std::string_view key, std::string_view value) = 0;

    // Whether every change has reached lasting storage. A store whose writes cannot fail is
    // always saved.
    virtual bool saved() const { return true; }
    // Stores what is owed, if anything; whether everything is saved now.
    virtual bool retrySave() { return saved(); }
    // `changed` is called whenever saved() turns, from within the write or retry that turned
    // it; it must not write settings itself. An empty function stops the calls.
    virtual void setOnSavedChange(std::function<void()> changed) { static_cast<void>(changed); }
};

}  // namespace kestrio::model
