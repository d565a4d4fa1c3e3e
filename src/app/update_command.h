#pragma once

#include "model/settings_store.h"
#include "updates/feed_fetcher.h"

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

namespace kestrio::app {

// The feed the update check reads: the one in the settings when set, else the build's own.
std::string updateFeedURL(const model::SettingsStore& settings);

// How the feed is fetched: over HTTPS, trusting the system's certificates or, when
// $SSL_CERT_FILE names a file, the certificates in it (as OpenSSL's own tools do).
updates::CurlFeedFetcher::Options feedFetchOptions(std::string appVersion);

// `kestrio --check-for-updates`: one check against the feed, its outcome printed as one line.
// Exit status 0 when the feed answered (up to date or a newer version), 1 when the check failed,
// 3 when no feed is configured.
int runUpdateCheck(std::ostream& out, std::shared_ptr<updates::FeedFetcher> fetcher, const std::string& feedURL,
                   const std::string& currentVersion, std::chrono::milliseconds timeout = std::chrono::seconds(15));

}  // namespace kestrio::app
