#pragma once

#include "updates/update_checker.h"

#include <chrono>
#include <string>

namespace kestrio::test {

// A feed download that answers `result` (a failure unless a test says otherwise) and counts
// how often it was asked; the test decides when it runs.
class RecordingFeedFetcher final : public updates::FeedFetcher {
public:
    updates::FetchResult fetch(const std::string&, std::chrono::milliseconds) override
    {
        ++fetches;
        return result;
    }
    int fetches = 0;
    updates::FetchResult result{false, 404, {}, "HTTP 404"};
};

// A feed whose one release is `version`, downloaded from https://example.com/kestrio-<version>.deb.
inline updates::FetchResult feedWithVersion(const std::string& version)
{
    return {true, 200,
            R"(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel><item><sparkle:version>)" + version +
                R"(</sparkle:version><enclosure url="https://example.com/kestrio-)" + version + R"(.deb"/></item></channel></rss>)",
            {}};
}

}  // namespace kestrio::test
