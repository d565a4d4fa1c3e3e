#include "platform/os/json_settings_store.h"
#include "platform/os/runtime_folder.h"
#include "platform/os/unique_fd.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kestrio::platform::os {
namespace {

using Json = nlohmann::ordered_json;

constexpr int maxDamagedCopies = 1000;

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

std::optional<std::string> readAll(int fd)
{
    std::string bytes;
    char buffer[16 * 1024];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            return bytes;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

// Like mkdir -p, but folders made here are private to the user.
bool makeFolders(const std::filesystem::path& folder)
{
    struct stat status {};
    if (::stat(folder.c_str(), &status) == 0)
        return S_ISDIR(status.st_mode);
    if (folder.has_relative_path() && folder.parent_path() != folder && !makeFolders(folder.parent_path()))
        return false;
    return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

std::filesystem::path damagedCopyName(const std::filesystem::path& file, int attempt)
{
    std::string name = file.string() + ".corrupt";
    if (attempt > 0)
        name += "-" + std::to_string(attempt);
    return name;
}

std::string numberText(const Json& number)
{
    if (number.is_number_unsigned())
        return std::to_string(number.get<std::uint64_t>());
    if (number.is_number_integer())
        return std::to_string(number.get<std::int64_t>());
    double value = number.get<double>();
    // 2^63 is exact as a double; every integral double below it in magnitude fits an int64.
    constexpr double int64Limit = 9223372036854775808.0;
    if (std::trunc(value) == value && std::fabs(value) < int64Limit)
        return std::to_string(static_cast<std::int64_t>(value));
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

}  // namespace

std::optional<std::filesystem::path> JsonSettingsStore::defaultPath()
{
    try {
        std::filesystem::path base;
        // Relative values are invalid for XDG variables and are ignored.
        if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
            base = config;
        else if (auto home = homeFolder())
            base = *home / ".config";
        else
            return std::nullopt;
        return base / "kestrio" / "settings.json";
    } catch (...) {
        return std::nullopt;
    }
}

std::unique_ptr<JsonSettingsStore> JsonSettingsStore::openDefault()
{
    return std::make_unique<JsonSettingsStore>(defaultPath().value_or(std::filesystem::path()));
}

JsonSettingsStore::JsonSettingsStore(std::filesystem::path file, WriteHook hook)
    : file_(std::move(file))
    , hook_(std::move(hook))
{
    if (file_.empty())
        return;
    try {
        // Later steps work on the file's folder, which a bare file name leaves empty.
        std::error_code error;
        if (auto absolute = std::filesystem::absolute(file_, error); !error)
            file_ = absolute;
        load();
        os::removeStaleTemporaries(file_);
    } catch (...) {
        // Only allocation can fail here; start empty rather than fail the host.
        values_ = Json::object();
    }
}

std::unique_ptr<JsonSettingsStore> JsonSettingsStore::fromText(std::string_view text)
{
    auto store = std::make_unique<JsonSettingsStore>(std::filesystem::path());
    try {
        if (!text.empty()) {
            if (auto parsed = parseSettings(text))
                store->values_ = std::move(*parsed);
        }
    } catch (...) {
        // Only allocation can fail here, as in the constructor: start empty.
    }
    return store;
}

std::optional<nlohmann::ordered_json> JsonSettingsStore::parseSettings(std::string_view bytes)
{
    // The parser rejects bytes that are not UTF-8, so everything it accepts can be written back.
    Json parsed = Json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (!parsed.is_object())
        return std::nullopt;
    return parsed;
}

void JsonSettingsStore::load()
{
    // O_NONBLOCK so that a FIFO in the file's place cannot hang the start-up.
    UniqueFd fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno != ENOENT)
            damage_ = Damage::file;
        return;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        damage_ = Damage::file;
        return;
    }
    auto bytes = readAll(fd.get());
    if (!bytes) {
        damage_ = Damage::file;
        return;
    }
    // An empty file (left by a crash on a file system that does not order data before
    // renames) holds nothing worth keeping.
    if (bytes->empty())
        return;
    if (auto parsed = parseSettings(*bytes)) {
        values_ = std::move(*parsed);
        return;
    }
    damage_ = Damage::contents;
    damagedBytes_ = std::move(*bytes);
}

const Json* JsonSettingsStore::find(std::string_view key) const
{
    auto found = values_.find(std::string(key));
    return found == values_.end() ? nullptr : &*found;
}

std::optional<bool> JsonSettingsStore::boolValue(std::string_view key) const
{
    try {
        const Json* value = find(key);
        if (!value)
            return std::nullopt;
        if (value->is_boolean())
            return value->get<bool>();
        if (value->is_number_unsigned()) {
            auto number = value->get<std::uint64_t>();
            if (number <= 1)
                return number == 1;
        } else if (value->is_number_integer()) {
            auto number = value->get<std::int64_t>();
            if (number == 0 || number == 1)
                return number == 1;
        } else if (value->is_number_float()) {
            double number = value->get<double>();
            if (number == 0.0 || number == 1.0)
                return number == 1.0;
        }
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::string> JsonSettingsStore::stringValue(std::string_view key) const
{
    try {
        const Json* value = find(key);
        if (!value)
            return std::nullopt;
        if (value->is_string())
            return value->get<std::string>();
        if (value->is_boolean())
            return value->get<bool>() ? "1" : "0";
        if (value->is_number() && (!value->is_number_float() || std::isfinite(value->get<double>())))
            return numberText(*value);
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

void JsonSettingsStore::setBool(std::string_view key, bool value)
{
    set(key, Json(value));
}

void JsonSettingsStore::setString(std::string_view key, std::string_view value)
{
    try {
        // Round trip through the serializer, which replaces what is not UTF-8, so that this run
        // reads the same text the file will hold.
        std::string text = Json(std::string(value)).dump(-1, ' ', false, Json::error_handler_t::replace);
        Json stored = Json::parse(text, nullptr, false);
        if (stored.is_string())
            set(key, std::move(stored));
    } catch (...) {
    }
}

void JsonSettingsStore::set(std::string_view key, Json value)
{
    try {
        // The same value again writes nothing, unless an earlier write is still owed.
        const auto* current = find(key);
        if (current && *current == value && !unsaved_)
            return;
        values_[std::string(key)] = std::move(value);
        save();
    } catch (...) {
    }
}

bool JsonSettingsStore::retrySave()
{
    if (unsaved_) {
        try {
            save();
        } catch (...) {
        }
    }
    return !unsaved_;
}

void JsonSettingsStore::save()
{
    const bool unsaved = !store();
    if (std::exchange(unsaved_, unsaved) != unsaved && onSavedChange_)
        onSavedChange_();
}

bool JsonSettingsStore::store()
{
    if (file_.empty())
        return false;
    if (!makeFolders(file_.parent_path()))
        return false;
    if (damage_ != Damage::none && !keepDamagedOriginal())
        return false;
    return writeReplacement(values_.dump(4, ' ', false, Json::error_handler_t::replace) + "\n");
}

bool JsonSettingsStore::keepDamagedOriginal()
{
    for (int attempt = 0; attempt < maxDamagedCopies; ++attempt) {
        auto copy = damagedCopyName(file_, attempt);
        if (damage_ == Damage::file) {
            // Moving it aside keeps it whole whatever it is, and frees the name for the new file.
            int moved = ::renameat2(AT_FDCWD, file_.c_str(), AT_FDCWD, copy.c_str(), RENAME_NOREPLACE);
            if (moved != 0 && errno == EINVAL) {
                // The file system lacks the flag. Only this process writes here, so a look first
                // is as good.
                struct stat existing {};
                if (::lstat(copy.c_str(), &existing) == 0)
                    errno = EEXIST;
                else
                    moved = ::rename(file_.c_str(), copy.c_str());
            }
            if (moved == 0) {
                syncFolder(file_.parent_path());
                damage_ = Damage::none;
                return true;
            }
            if (errno == ENOENT) {
                // Gone meanwhile: nothing left to keep.
                damage_ = Damage::none;
                return true;
            }
        } else {
            UniqueFd fd(::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            if (fd.get() >= 0) {
                if (writeAll(fd.get(), damagedBytes_.data(), damagedBytes_.size()) && ::fsync(fd.get()) == 0
                    && fd.close() && syncFolder(file_.parent_path())) {
                    damage_ = Damage::none;
                    damagedBytes_.clear();
                    damagedBytes_.shrink_to_fit();
                    return true;
                }
                ::unlink(copy.c_str());
                return false;
            }
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool JsonSettingsStore::writeReplacement(const std::string& text)
{
    // The file is in place once renamed; without the folder flushed it might not survive a
    // power cut, which counts as not stored.
    const AtomicWriteResult result = replaceFileAtomically(file_, text, 0600, hook_);
    return result.replaced() && result.folderSynced;
}

}  // namespace kestrio::platform::os
