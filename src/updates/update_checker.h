#pragma once

#include "runtime/cancellation.h"
#include "runtime/executor.h"
#include "updates/feed_fetcher.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::updates {

// The settings key whose text, when set, replaces the feed URL the program was built with.
inline constexpr std::string_view feedURLSettingKey = "updateFeedURL";
// The settings key of the time the last check started, in whole seconds since 1970 (UTC).
inline constexpr std::string_view lastCheckTimeSettingKey = "lastUpdateCheckTime";

// The feed URL the program was built with: the compile definition KESTRIO_UPDATE_FEED_URL (a
// string literal) given to the kestrio_updates library. Empty when the build sets none.
const char* feedURLFromBuild();

// What the window shows about updates.
struct UpdateState {
    enum class Kind { idle, checking, upToDate, updateAvailable, failed };

    Kind kind = Kind::idle;
    // The feed's newest release as people read it (its short version, else its version), with
    // its links. Set when upToDate or updateAvailable.
    std::string newestVersion;
    std::string downloadURL;
    std::string releaseNotesURL;
    // Short English technical text when failed: "timed out", "HTTP 404", "malformed feed",
    // "feed address is not HTTPS", …
    std::string failure;
    // Every text here is fit to print as it is (runtime::printableText): whatever the feed or
    // the network said, it holds no control characters or direction marks.

    friend bool operator==(const UpdateState&, const UpdateState&) = default;
};

// Checks the update feed on request. Every public call, and destruction, happens on the main
// executor; the download and the reading of the feed run on the worker, which may block, and
// the outcome is applied back on the main executor. Destroying the checker while a check runs
// is safe: the fetch finishes on the worker (the fetcher is shared with it) and its outcome is
// dropped.
class UpdateChecker {
public:
    struct Options {
        std::string currentVersion;  // compared with the feed items' version, not their short version
        std::string feedURL;
        std::chrono::milliseconds timeout{15000};
    };

    UpdateChecker(std::shared_ptr<runtime::Executor> main, std::shared_ptr<runtime::Executor> worker,
                  std::shared_ptr<FeedFetcher> fetcher, Options options);
    ~UpdateChecker();

    UpdateChecker(const UpdateChecker&) = delete;
    UpdateChecker& operator=(const UpdateChecker&) = delete;

    // False while a check runs and while there is no feed URL.
    bool canCheckForUpdates() const;
    // Starts a check; does nothing when canCheckForUpdates() is false.
    void checkForUpdates();

    // Replaces the feed URL. A different URL discards what was learnt from the old feed,
    // including the outcome of a check still running, and the state returns to idle.
    void setFeedURL(std::string url);
    const std::string& feedURL() const { return options_.feedURL; }

    const UpdateState& state() const { return state_; }

    // Called after every change of state() or canCheckForUpdates(). An observer may destroy the
    // checker; observers after it are then not called.
    void observe(std::function<void()> didChange);

private:
    void finish(std::uint64_t check, UpdateState outcome);
    void change(UpdateState next);
    void notify();

    std::shared_ptr<runtime::Executor> main_;
    std::shared_ptr<runtime::Executor> worker_;
    std::shared_ptr<FeedFetcher> fetcher_;
    Options options_;
    UpdateState state_;
    std::vector<std::function<void()>> observers_;
    // Numbers the checks; an outcome is applied only while its check is still the latest.
    std::uint64_t latestCheck_ = 0;
    // Cancelled on destruction. Work in flight holds a token and tests it on the main executor,
    // where destruction happens, before it touches the checker.
    runtime::CancellationSource lifetime_;
};

}  // namespace kestrio::updates
