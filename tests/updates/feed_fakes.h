#pragma once

#include "updates/update_checker.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrio::test {

// A feed download that answers `result` (a failure unless a test says otherwise), or throws when
// `throwing`, and writes down each time it was asked; the test decides when it runs.
class RecordingFeedFetcher final : public updates::FeedFetcher {
public:
    updates::FetchResult fetch(const std::string& url, std::chrono::milliseconds timeout) override
    {
        calls.push_back(url + " " + std::to_string(timeout.count()));
        if (throwing)
            throw std::runtime_error("out of descriptors");
        return result;
    }
    std::vector<std::string> calls;  // "<address> <milliseconds>"
    bool throwing = false;
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
