#include "remote/permanent_mapping_record.h"
#include "remote/nat_port_mapper.h"

#include <charconv>
#include <map>

namespace kestrio::remote {

namespace {

std::optional<std::uint16_t> portNumber(const std::string& text)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace

std::string recordText(const PermanentMappingRecord& record)
{
    return "gateway=" + record.gateway + " protocol=" + record.protocol + " externalPort="
           + std::to_string(record.externalPort) + " internalAddress=" + record.internalAddress
           + " internalPort=" + std::to_string(record.internalPort);
}

std::optional<PermanentMappingRecord> parseRecordText(std::string_view text)
{
    std::map<std::string, std::string, std::less<>> fields;
    while (!text.empty()) {
        const auto end = text.find(' ');
        const auto field = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        const auto equals = field.find('=');
        if (field.empty() || equals == std::string_view::npos
            || !fields.emplace(field.substr(0, equals), field.substr(equals + 1)).second)
            return std::nullopt;
    }
    const auto field = [&fields](std::string_view name) {
        auto found = fields.find(name);
        return found == fields.end() ? std::string() : found->second;
    };
    PermanentMappingRecord record;
    record.gateway = field("gateway");
    record.protocol = field("protocol");
    record.internalAddress = field("internalAddress");
    const auto externalPort = portNumber(field("externalPort"));
    const auto internalPort = portNumber(field("internalPort"));
    if (fields.size() != 5 || !isDottedIPv4(record.gateway) || !isDottedIPv4(record.internalAddress)
        || (record.protocol != "TCP" && record.protocol != "UDP") || !externalPort || !internalPort)
        return std::nullopt;
    record.externalPort = *externalPort;
    record.internalPort = *internalPort;
    return record;
}

}  // namespace kestrio::remote
