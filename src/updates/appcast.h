#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::updates {

// The namespace of the update-feed extensions to RSS; elements and attributes are matched by
// this URI, whatever prefix a feed binds it to.
inline constexpr std::string_view sparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

// One release offered by the feed.
struct AppcastItem {
    std::string version;       // machine-ordered version, never empty
    std::string shortVersion;  // version for people; may be empty
    std::string title;
    std::string downloadURL;
    std::string releaseNotesURL;

    friend bool operator==(const AppcastItem&, const AppcastItem&) = default;
};

// The releases of an RSS 2.0 update feed (<rss><channel><item>…), in feed order. Nothing when
// the text is not well-formed XML or not an rss document with a channel; an empty list when the
// channel offers nothing usable.
//
// An item's version comes from its version element, else from its enclosure's version
// attribute; items without one are left out. The download URL is the enclosure's url, else the
// item's <link>. Enclosures marked for another operating system (os="macos", "windows", any
// value but "linux") are passed over, and an item whose every enclosure is for another system
// is left out; an enclosure without the mark is for every system. The minimum system version
// describes other systems' releases and is not read.
//
// Every text is as printableText leaves it, trimmed: a feed cannot reach a terminal's controls
// or reorder what is shown with direction marks.
std::optional<std::vector<AppcastItem>> parseAppcast(std::string_view xml);

// The item with the highest `version` by compareVersions; the first of equals in feed order.
// Ordered by `version` alone: every item has one, and it is the field feeds keep in a
// comparable form, while the short version is optional display text. Comparing short versions
// only when both items have one would not even be a consistent order over a mixed feed.
std::optional<AppcastItem> newestItem(const std::vector<AppcastItem>& items);

}  // namespace kestrio::updates
