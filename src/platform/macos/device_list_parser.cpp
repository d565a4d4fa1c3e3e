#include "platform/macos/device_list_parser.h"

#include "phones/name_ordering.h"
#include "phones/unicode_text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <set>
#include <variant>

namespace kestrio::platform::macos {
using phones::PairedIPhone;
using phones::lowerCased;
using phones::sortByName;
using phones::usbTransport;
using phones::wifiTransport;

namespace {

// Keeps the document's key order: which record and which key is found first depends on it.
using Json = nlohmann::ordered_json;
using Keys = std::initializer_list<std::string_view>;

// Every walk below keeps its own stack, so a deeply nested report cannot exhaust the thread's.
// Children go on in reverse, to come off in document order.
void pushChildren(const Json& value, std::vector<const Json*>& stack)
{
    if (!value.is_structured())
        return;
    const std::size_t first = stack.size();
    for (const auto& child : value)
        stack.push_back(&child);
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
}

bool isOneOf(const std::string& key, Keys keys)
{
    const std::string lowered = lowerCased(key);
    return std::find(keys.begin(), keys.end(), lowered) != keys.end();
}

bool hasKey(const Json& object, Keys keys)
{
    for (auto entry = object.begin(); entry != object.end(); ++entry) {
        if (isOneOf(entry.key(), keys))
            return true;
    }
    return false;
}

// Every key and string in the value, in document order, one space apart, lower-cased.
std::string flattenedText(const Json& value)
{
    using Piece = std::variant<const std::string*, const Json*>;
    std::string text;
    bool first = true;
    const auto append = [&](const std::string& piece) {
        if (!first)
            text += ' ';
        text += piece;
        first = false;
    };
    std::vector<Piece> stack{&value};
    while (!stack.empty()) {
        const Piece piece = stack.back();
        stack.pop_back();
        if (const auto* key = std::get_if<const std::string*>(&piece)) {
            append(**key);
            continue;
        }
        const Json& node = *std::get<const Json*>(piece);
        if (node.is_string()) {
            append(node.get_ref<const std::string&>());
        } else if (node.is_object()) {
            const std::size_t start = stack.size();
            for (auto entry = node.begin(); entry != node.end(); ++entry) {
                // Reversed below along with the rest: the key comes off before its value.
                stack.emplace_back(&entry.value());
                stack.emplace_back(&entry.key());
            }
            std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(start), stack.end());
        } else if (node.is_array()) {
            const std::size_t start = stack.size();
            for (const auto& element : node)
                stack.emplace_back(&element);
            std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(start), stack.end());
        }
    }
    return lowerCased(text);
}

bool mentionsIPhone(const std::string& flattened)
{
    return flattened.find("iphone") != std::string::npos;
}

bool isCandidate(const Json& object)
{
    if (hasKey(object, {"deviceproperties", "hardwareproperties", "connectionproperties"}))
        return true;
    return hasKey(object, {"identifier", "udid", "serialnumber"}) && mentionsIPhone(flattenedText(object));
}

// The objects that look like device records, each before the records inside it.
std::vector<const Json*> candidates(const Json& document)
{
    std::vector<const Json*> found;
    std::vector<const Json*> stack{&document};
    while (!stack.empty()) {
        const Json& node = *stack.back();
        stack.pop_back();
        if (node.is_object() && isCandidate(node))
            found.push_back(&node);
        pushChildren(node, stack);
    }
    return found;
}

// The first non-empty string under one of `keys` (given lower-case), looking at an object's
// own entries before anything nested in them.
const std::string* searchKeys(const Json& value, Keys keys)
{
    std::vector<const Json*> stack{&value};
    while (!stack.empty()) {
        const Json& node = *stack.back();
        stack.pop_back();
        if (node.is_object()) {
            for (auto entry = node.begin(); entry != node.end(); ++entry) {
                const Json& child = entry.value();
                if (child.is_string() && !child.get_ref<const std::string&>().empty() && isOneOf(entry.key(), keys))
                    return &child.get_ref<const std::string&>();
            }
        }
        pushChildren(node, stack);
    }
    return nullptr;
}

const Json& objectAt(const Json& object, const char* key)
{
    static const Json empty = Json::object();
    const auto found = object.find(key);
    return found != object.end() && found->is_object() ? *found : empty;
}

// A string held directly under `key`, empty or not.
const std::string* stringAt(const Json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? &found->get_ref<const std::string&>() : nullptr;
}

std::string transportName(const std::string& text)
{
    const std::string lowered = lowerCased(text);
    const auto mentions = [&](std::string_view word) { return lowered.find(word) != std::string::npos; };
    if (mentions("wired") || mentions("usb"))
        return std::string(usbTransport);
    if (mentions("network") || mentions("wifi"))
        return std::string(wifiTransport);
    return text;
}

std::optional<PairedIPhone> record(const Json& candidate, std::set<std::string>& usedIdentifiers)
{
    const Json& device = objectAt(candidate, "deviceProperties");
    const Json& hardware = objectAt(candidate, "hardwareProperties");
    const Json& connection = objectAt(candidate, "connectionProperties");
    if (!mentionsIPhone(flattenedText(candidate)))
        return std::nullopt;

    const std::string* identifier = stringAt(hardware, "udid");
    if (!identifier)
        identifier = stringAt(candidate, "udid");
    if (!identifier)
        identifier = stringAt(candidate, "identifier");
    if (!identifier)
        identifier = searchKeys(candidate, {"udid", "identifier", "serialnumber"});
    if (!identifier || identifier->empty() || !usedIdentifiers.insert(*identifier).second)
        return std::nullopt;

    const std::string* model = stringAt(hardware, "marketingName");
    if (!model)
        model = searchKeys(candidate, {"marketingname", "modelname"});

    // An empty name is no name: the phone is then called by its model, or "iPhone".
    const std::string* name = stringAt(device, "name");
    if (!name || name->empty())
        name = stringAt(candidate, "name");
    if (!name || name->empty())
        name = searchKeys(candidate, {"devicename"});
    if (name && name->empty())
        name = nullptr;

    const std::string* transport = stringAt(connection, "transportType");
    if (!transport)
        transport = searchKeys(candidate, {"transporttype", "connectiontype"});

    PairedIPhone phone;
    phone.id = *identifier;
    phone.model = model ? *model : std::string();
    phone.name = name ? *name : !phone.model.empty() ? phone.model : std::string("iPhone");
    phone.transport = transport ? transportName(*transport) : std::string();
    phone.deviceID = *identifier;
    return phone;
}

}  // namespace

std::vector<PairedIPhone> parseDeviceList(std::string_view json)
{
    try {
        const Json document = Json::parse(json.begin(), json.end(), nullptr, false);
        if (document.is_discarded())
            return {};
        std::vector<PairedIPhone> phones;
        std::set<std::string> usedIdentifiers;
        for (const Json* candidate : candidates(document)) {
            if (auto phone = record(*candidate, usedIdentifiers))
                phones.push_back(std::move(*phone));
        }
        sortByName(phones);
        return phones;
    } catch (...) {
        // Only running out of memory gets here; a report that cannot be read lists nothing.
        return {};
    }
}

}  // namespace kestrio::platform::macos
