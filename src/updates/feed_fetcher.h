#pragma once

#include "runtime/cancellation.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace kestrio::updates {

struct FetchResult {
    bool ok = false;
    long httpStatus = 0;  // of the last response; 0 when none came
    std::string body;     // only when ok
    std::string error;    // short English text when not ok: "timed out", "HTTP 404", …
};

// Downloads the update feed. Blocking: call it on a worker, never on the main executor.
class FeedFetcher {
public:
    virtual ~FeedFetcher() = default;

    virtual FetchResult fetch(const std::string& url, std::chrono::milliseconds timeout) = 0;
};

// The failure of a fetch whose address, or a redirect's, is not https://.
inline constexpr std::string_view notHTTPSFailure = "feed address is not HTTPS";

// Whether `url` starts with "https://" (the scheme in any case).
bool isHTTPSURL(std::string_view url);

// Fetches over HTTPS with libcurl, one transfer per call; calls may run on several threads at
// once. An address that is not https:// fails as notHTTPSFailure without any connection being
// made: whoever is on the path could answer a plain request with a feed of their own. Redirects
// are followed (at most five, and to https only). TLS certificates are always verified. Any
// status outside 2xx fails as "HTTP <status>"; a body over the limit fails as "feed too large";
// running out of time fails as "timed out"; other failures carry libcurl's own text.
class CurlFeedFetcher final : public FeedFetcher {
public:
    struct Options {
        std::string appVersion;                  // sent as the User-Agent "Kestrio/<appVersion>"
        std::string caFile;                      // trusted certificates instead of the system's; empty: the system's
        std::size_t maxBodyBytes = 1024 * 1024;  // a feed is a few kilobytes; anything bigger is not one
        // Ends transfers in progress (within about a second) and fails new ones as "cancelled",
        // so that the thread a fetch blocks can be stopped promptly, e.g. when the program quits.
        runtime::CancellationToken cancel;
        // Also fetches http:// addresses, and follows redirects from them to http or https. For
        // tests against a plain-text server on loopback only; the program never sets it.
        bool allowPlainHTTP = false;
    };

    explicit CurlFeedFetcher(Options options);

    // A timeout of zero or less is treated as one millisecond: libcurl reads zero as "none".
    FetchResult fetch(const std::string& url, std::chrono::milliseconds timeout) override;

private:
    Options options_;
    std::string userAgent_;
};

}  // namespace kestrio::updates
