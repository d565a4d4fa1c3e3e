#include "platform/x11/lit_output_record.h"

#include "platform/os/atomic_file.h"
#include "platform/os/runtime_folder.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>

namespace kestrio::platform::x11 {
namespace {

nlohmann::json load(const std::filesystem::path& file)
{
    if (file.empty() || !os::openPrivateFolder(file.parent_path(), false))
        return nlohmann::json::object();
    std::ifstream in(file);
    auto saved = nlohmann::json::parse(in, nullptr, false);
    return saved.is_object() ? saved : nlohmann::json::object();
}

bool store(const std::filesystem::path& file, const nlohmann::json& records)
{
    if (file.empty() || !os::openPrivateFolder(file.parent_path(), true))
        return false;
    if (records.empty()) {
        std::error_code ignored;
        return std::filesystem::remove(file, ignored) || !std::filesystem::exists(file, ignored);
    }
    return os::replaceFileAtomically(file, records.dump(), 0600).replaced();
}

}  // namespace

std::optional<LitOutputRecord> LitOutputRecords::find(const std::string& server) const
{
    const auto records = load(file_);
    const auto entry = records.find(server);
    if (entry == records.end() || !entry->is_object())
        return std::nullopt;
    try {
        LitOutputRecord record;
        record.output = entry->at("output").get<std::string>();
        record.mode = entry->at("mode").get<std::string>();
        record.screenBefore = {entry->at("width").get<std::uint16_t>(), entry->at("height").get<std::uint16_t>(),
                               entry->at("widthMillimetres").get<std::uint32_t>(), entry->at("heightMillimetres").get<std::uint32_t>()};
        return record;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

bool LitOutputRecords::save(const std::string& server, const LitOutputRecord& record) const
{
    auto records = load(file_);
    records[server] = {{"output", record.output},
                       {"mode", record.mode},
                       {"width", record.screenBefore.width},
                       {"height", record.screenBefore.height},
                       {"widthMillimetres", record.screenBefore.widthMillimetres},
                       {"heightMillimetres", record.screenBefore.heightMillimetres}};
    return store(file_, records);
}

void LitOutputRecords::remove(const std::string& server) const
{
    auto records = load(file_);
    if (records.erase(server))
        store(file_, records);
}

std::string LitOutputRecords::serverKey(const std::string& displayName)
{
    std::string name = displayName;
    if (name.empty()) {
        const char* display = std::getenv("DISPLAY");
        name = display ? display : "";
    }
    const auto colon = name.rfind(':');
    const auto dot = name.rfind('.');
    if (colon != std::string::npos && dot != std::string::npos && dot > colon)
        name.erase(dot);
    return name;
}

}  // namespace kestrio::platform::x11
