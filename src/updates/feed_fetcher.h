#pragma once

#include "runtime/cancellation.h"

#include <chrono>
#include <cstddef>
#include <string>

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

// Fetches over HTTP(S) with libcurl, one transfer per call; calls may run on several threads at
// once. Redirects are followed (at most five, to http and https only). TLS certificates are
// always verified. Any status outside 2xx fails as "HTTP <status>"; a body over the limit fails
// as "feed too large"; running out of time fails as "timed out"; other failures carry libcurl's
// own text.
class CurlFeedFetcher final : public FeedFetcher {
public:
    struct Options {
        std::string appVersion;                  // sent as the User-Agent "Kestrio/<appVersion>"
        std::string caFile;                      // trusted certificates instead of the system's; empty: the system's
        std::size_t maxBodyBytes = 1024 * 1024;  // a feed is a few kilobytes; anything bigger is not one
        // Ends transfers in progress (within about a second) and fails new ones as "cancelled",
        // so that the thread a fetch blocks can be stopped promptly, e.g. when the program quits.
        runtime::CancellationToken cancel;
    };

    explicit CurlFeedFetcher(Options options);

    // A timeout of zero or less is treated as one millisecond: libcurl reads zero as "none".
    FetchResult fetch(const std::string& url, std::chrono::milliseconds timeout) override;

private:
    Options options_;
    std::string userAgent_;
};

}  // namespace kestrio::updates
