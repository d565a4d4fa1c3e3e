#include "updates/update_checker.h"

#include "runtime/printable_text.h"
#include "updates/appcast.h"
#include "updates/version_compare.h"

#include <exception>
#include <utility>

#ifndef KESTRIO_UPDATE_FEED_URL
#define KESTRIO_UPDATE_FEED_URL ""
#endif

namespace kestrio::updates {
namespace {

// The text may come from the network library, which quotes what the server or the address said.
UpdateState failed(std::string_view text)
{
    UpdateState state;
    state.kind = UpdateState::Kind::failed;
    state.failure = runtime::printableText(text);
    return state;
}

// Runs on the worker: reading the feed is pure, and keeping it off the main executor keeps a
// large feed from stalling the window.
UpdateState outcomeOf(const FetchResult& fetched, std::string_view currentVersion)
{
    if (!fetched.ok)
        return failed(fetched.error);
    const auto items = parseAppcast(fetched.body);
    if (!items)
        return failed("malformed feed");
    const auto newest = newestItem(*items);
    if (!newest)
        return failed("no versions in feed");

    UpdateState state;
    state.kind = compareVersions(newest->version, currentVersion) > 0 ? UpdateState::Kind::updateAvailable
                                                                       : UpdateState::Kind::upToDate;
    state.newestVersion = newest->shortVersion.empty() ? newest->version : newest->shortVersion;
    state.downloadURL = newest->downloadURL;
    state.releaseNotesURL = newest->releaseNotesURL;
    return state;
}

UpdateState fetchAndRead(FeedFetcher& fetcher, const std::string& url, std::chrono::milliseconds timeout,
                         std::string_view currentVersion)
{
    try {
        return outcomeOf(fetcher.fetch(url, timeout), currentVersion);
    } catch (const std::exception& error) {
        return failed(error.what());
    } catch (...) {
        return failed("update check failed");
    }
}

}  // namespace

const char* feedURLFromBuild()
{
    return KESTRIO_UPDATE_FEED_URL;
}

UpdateChecker::UpdateChecker(std::shared_ptr<runtime::Executor> main, std::shared_ptr<runtime::Executor> worker,
                             std::shared_ptr<FeedFetcher> fetcher, Options options)
    : main_(std::move(main)), worker_(std::move(worker)), fetcher_(std::move(fetcher)), options_(std::move(options))
{
}

UpdateChecker::~UpdateChecker()
{
    lifetime_.cancel();
}

bool UpdateChecker::canCheckForUpdates() const
{
    return !options_.feedURL.empty() && state_.kind != UpdateState::Kind::checking && main_ && worker_ && fetcher_;
}

void UpdateChecker::checkForUpdates()
{
    if (!canCheckForUpdates())
        return;
    const auto check = ++latestCheck_;
    // The worker's task holds the main executor weakly: a queue must not keep its poster alive.
    worker_->post([fetcher = fetcher_, url = options_.feedURL, timeout = options_.timeout,
                   current = options_.currentVersion, main = std::weak_ptr<runtime::Executor>(main_),
                   alive = lifetime_.token(), checker = this, check] {
        if (alive.isCancelled())
            return;
        auto outcome = fetchAndRead(*fetcher, url, timeout, current);
        if (auto target = main.lock())
            target->post([alive, checker, check, outcome = std::move(outcome)]() mutable {
                if (!alive.isCancelled())
                    checker->finish(check, std::move(outcome));
            });
    });
    UpdateState checking;
    checking.kind = UpdateState::Kind::checking;
    change(std::move(checking));
}

void UpdateChecker::setFeedURL(std::string url)
{
    if (url == options_.feedURL)
        return;
    options_.feedURL = std::move(url);
    ++latestCheck_;
    change(UpdateState{});
}

void UpdateChecker::observe(std::function<void()> didChange)
{
    if (didChange)
        observers_.push_back(std::move(didChange));
}

void UpdateChecker::finish(std::uint64_t check, UpdateState outcome)
{
    if (check != latestCheck_)
        return;
    change(std::move(outcome));
}

void UpdateChecker::change(UpdateState next)
{
    state_ = std::move(next);
    notify();
}

void UpdateChecker::notify()
{
    const auto alive = lifetime_.token();
    // By index and by copy: an observer may add observers, or destroy the checker and with it
    // the list and the function being called.
    for (std::size_t i = 0; i < observers_.size(); ++i) {
        const auto observer = observers_[i];
        observer();
        if (alive.isCancelled())
            return;
    }
}

}  // namespace kestrio::updates
