#include "updates/appcast.h"

#include "runtime/printable_text.h"
#include "updates/version_compare.h"

#include <pugixml.hpp>

namespace kestrio::updates {
namespace {

constexpr std::string_view thisSystem = "linux";

struct QualifiedName {
    std::string_view prefix;  // empty when the name has none
    std::string_view local;
};

QualifiedName splitName(std::string_view name)
{
    const auto colon = name.find(':');
    if (colon == std::string_view::npos)
        return {{}, name};
    return {name.substr(0, colon), name.substr(colon + 1)};
}

// The namespace URI that `prefix` stands for at `element`; the default namespace for an empty
// prefix. Empty when the prefix is not bound.
std::string_view namespaceOf(pugi::xml_node element, std::string_view prefix)
{
    for (auto node = element; node; node = node.parent()) {
        if (node.type() != pugi::node_element)
            continue;
        for (auto attribute : node.attributes()) {
            const auto name = splitName(attribute.name());
            const bool declares = prefix.empty() ? (name.prefix.empty() && name.local == "xmlns")
                                                 : (name.prefix == "xmlns" && name.local == prefix);
            if (declares)
                return attribute.value();
        }
    }
    return {};
}

bool isSparkleElement(pugi::xml_node node, std::string_view local)
{
    if (node.type() != pugi::node_element)
        return false;
    const auto name = splitName(node.name());
    return name.local == local && namespaceOf(node, name.prefix) == sparkleNamespace;
}

// Plain RSS elements carry no namespace and, by custom, no prefix.
bool isRssElement(pugi::xml_node node, std::string_view name)
{
    return node.type() == pugi::node_element && std::string_view(node.name()) == name;
}

pugi::xml_node sparkleChild(pugi::xml_node parent, std::string_view local)
{
    for (auto child : parent.children())
        if (isSparkleElement(child, local))
            return child;
    return {};
}

// Unprefixed attributes are in no namespace, so only prefixed ones can be the feed's extensions.
pugi::xml_attribute sparkleAttribute(pugi::xml_node element, std::string_view local)
{
    for (auto attribute : element.attributes()) {
        const auto name = splitName(attribute.name());
        if (!name.prefix.empty() && name.prefix != "xmlns" && name.local == local
            && namespaceOf(element, name.prefix) == sparkleNamespace)
            return attribute;
    }
    return {};
}

std::string trimmed(std::string_view text)
{
    constexpr std::string_view space = " \t\r\n";
    const auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(space);
    return std::string(text.substr(first, last - first + 1));
}

// A value from the feed as it may be printed or shown: without control characters and
// direction marks (see printableText), and without white space at either end.
std::string feedText(std::string_view text)
{
    return trimmed(runtime::printableText(text));
}

// Text and CDATA sections together, so that a value split by a comment or written partly as
// CDATA reads as one.
std::string textOf(pugi::xml_node element)
{
    std::string text;
    for (auto child : element.children())
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
            text += child.value();
    return feedText(text);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto x = a[i];
        auto y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool isForThisSystem(pugi::xml_node enclosure)
{
    const auto os = sparkleAttribute(enclosure, "os");
    return !os || equalsIgnoringCase(trimmed(os.value()), thisSystem);
}

std::optional<AppcastItem> readItem(pugi::xml_node item)
{
    pugi::xml_node enclosure;
    bool hasEnclosure = false;
    for (auto child : item.children()) {
        if (!isRssElement(child, "enclosure"))
            continue;
        hasEnclosure = true;
        if (isForThisSystem(child)) {
            enclosure = child;
            break;
        }
    }
    if (hasEnclosure && !enclosure)
        return std::nullopt;

    // The element wins over the enclosure's attribute when both are given.
    auto fromElementOrEnclosure = [&](std::string_view local) {
        std::string value;
        if (auto element = sparkleChild(item, local))
            value = textOf(element);
        if (value.empty() && enclosure)
            value = feedText(sparkleAttribute(enclosure, local).value());
        return value;
    };

    AppcastItem result;
    result.version = fromElementOrEnclosure("version");
    if (result.version.empty())
        return std::nullopt;
    result.shortVersion = fromElementOrEnclosure("shortVersionString");
    for (auto child : item.children()) {
        if (isRssElement(child, "title")) {
            result.title = textOf(child);
            break;
        }
    }
    if (enclosure)
        result.downloadURL = feedText(enclosure.attribute("url").value());
    if (result.downloadURL.empty()) {
        for (auto child : item.children()) {
            if (isRssElement(child, "link")) {
                result.downloadURL = textOf(child);
                break;
            }
        }
    }
    if (auto notes = sparkleChild(item, "releaseNotesLink"))
        result.releaseNotesURL = textOf(notes);
    return result;
}

}  // namespace

std::optional<std::vector<AppcastItem>> parseAppcast(std::string_view xml)
{
    pugi::xml_document document;
    // Without entity expansion beyond the predefined ones and without DTD processing, pugixml
    // never reaches outside the text it is given.
    const auto parsed = document.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_auto);
    if (!parsed)
        return std::nullopt;
    const auto rss = document.document_element();
    if (!isRssElement(rss, "rss"))
        return std::nullopt;
    pugi::xml_node channel;
    for (auto child : rss.children()) {
        if (isRssElement(child, "channel")) {
            channel = child;
            break;
        }
    }
    if (!channel)
        return std::nullopt;

    std::vector<AppcastItem> items;
    for (auto child : channel.children())
        if (isRssElement(child, "item"))
            if (auto item = readItem(child))
                items.push_back(std::move(*item));
    return items;
}

std::optional<AppcastItem> newestItem(const std::vector<AppcastItem>& items)
{
    const AppcastItem* newest = nullptr;
    for (const auto& item : items)
        if (!newest || compareVersions(item.version, newest->version) > 0)
            newest = &item;
    if (!newest)
        return std::nullopt;
    return *newest;
}

}  // namespace kestrio::updates
