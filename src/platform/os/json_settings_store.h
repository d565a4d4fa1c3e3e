#pragma once

#include "model/settings_store.h"
#include "platform/os/atomic_file.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrio::platform::os {

// The user's settings as one JSON object in a file of their own, by default
// $XDG_CONFIG_HOME/kestrio/settings.json (else ~/.config/kestrio/settings.json).
//
// The file is read once, when the store is made; from then on the copy in memory is what reads
// see, and every change rewrites the whole file: a temporary file next to it, flushed to disk,
// renamed over the old one, then the directory flushed. A change that cannot be stored (full
// disk, read-only folder) still holds in memory for the rest of the run and is written with the
// next change or retrySave() that succeeds; the file on disk stays as it was meanwhile, and
// saved() is false. Setting a key to the value it already holds writes nothing. A store without
// a file is never saved once changed.
//
// A file that cannot be read or is not a JSON object reads as empty. Its content is not lost:
// the first change keeps it beside the new file as settings.json.corrupt (or .corrupt-N).
class JsonSettingsStore final : public model::SettingsStore {
public:
    // The points a write passes, in order; after `renamed` only the directory flush is left.
    using WriteStep = AtomicWriteStep;
    // Sees each step of a write; returning false abandons the write right there, leaving the
    // files as a crash at that point would. Lets tests interrupt writes.
    using WriteHook = AtomicWriteHook;

    // The store at defaultPath(); one that keeps changes in memory only when there is no path.
    static std::unique_ptr<JsonSettingsStore> openDefault();
    // $XDG_CONFIG_HOME/kestrio/settings.json when that variable holds an absolute path, else
    // .config/kestrio/settings.json in $HOME or, without $HOME, the account's home folder.
    static std::optional<std::filesystem::path> defaultPath();

    // An empty `file` keeps changes in memory only.
    explicit JsonSettingsStore(std::filesystem::path file, WriteHook hook = {});

    // A store that keeps changes in memory only and starts with what a settings file holding
    // `text` would give.
    static std::unique_ptr<JsonSettingsStore> fromText(std::string_view text);

    // The settings object in a settings file's bytes; nothing when they are not one JSON object
    // in UTF-8 (the file is damaged). Empty bytes are the caller's to decide on. Never throws
    // but for running out of memory.
    static std::optional<nlohmann::ordered_json> parseSettings(std::string_view bytes);

    JsonSettingsStore(const JsonSettingsStore&) = delete;
    JsonSettingsStore& operator=(const JsonSettingsStore&) = delete;

    std::optional<bool> boolValue(std::string_view key) const override;
    // A number without a fractional part that fits 64 bits reads as that integer ("42", "-7");
    // any other finite number as the shortest text that reads back as the same double ("0.25",
    // "1e+300").
    std::optional<std::string> stringValue(std::string_view key) const override;

    void setBool(std::string_view key, bool value) override;
    // Bytes that are not UTF-8 are stored as U+FFFD, since a JSON file cannot hold them.
    void setString(std::string_view key, std::string_view value) override;

    bool saved() const override { return !unsaved_; }
    bool retrySave() override;
    void setOnSavedChange(std::function<void()> changed) override { onSavedChange_ = std::move(changed); }

    const std::filesystem::path& path() const { return file_; }

private:
    // What the load found that must be kept before the file is first replaced.
    enum class Damage {
        none,
        // Unparsable bytes, held in damagedBytes_: copied to a .corrupt file.
        contents,
        // Something that could not be read (no permission, a folder): renamed to a .corrupt name.
        file,
    };

    void load();
    const nlohmann::ordered_json* find(std::string_view key) const;
    void set(std::string_view key, nlohmann::ordered_json value);
    bool store();
    // Stores everything in memory and notes whether that worked.
    void save();
    bool keepDamagedOriginal();
    bool writeReplacement(const std::string& text);

    std::filesystem::path file_;
    WriteHook hook_;
    nlohmann::ordered_json values_ = nlohmann::ordered_json::object();
    Damage damage_ = Damage::none;
    bool unsaved_ = false;  // the last change did not reach the file
    std::function<void()> onSavedChange_;
    std::string damagedBytes_;
};

}  // namespace kestrio::platform::os
