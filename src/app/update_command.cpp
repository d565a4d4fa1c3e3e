#include "app/update_command.h"

#include <cstdlib>

#include "runtime/io_context_executor.h"
#include "runtime/serial_queue.h"
#include "updates/update_checker.h"

#include <asio/io_context.hpp>

namespace kestrio::app {

updates::CurlFeedFetcher::Options feedFetchOptions(std::string appVersion)
{
    updates::CurlFeedFetcher::Options options;
    options.appVersion = std::move(appVersion);
    if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file)
        options.caFile = file;
    return options;
}

std::string updateFeedURL(const model::SettingsStore& settings)
{
    const auto configured = settings.stringValue(updates::feedURLSettingKey);
    return configured && !configured->empty() ? *configured : std::string(updates::feedURLFromBuild());
}

int runUpdateCheck(std::ostream& out, std::shared_ptr<updates::FeedFetcher> fetcher, const std::string& feedURL,
                   const std::string& currentVersion, std::chrono::milliseconds timeout)
{
    if (feedURL.empty()) {
        out << "no update feed configured" << std::endl;
        return 3;
    }
    asio::io_context context;
    auto main = std::make_shared<runtime::IoContextExecutor>(context);
    auto worker = runtime::SerialQueue::create("com.kestrio.update-check");
    int status = 1;
    {
        updates::UpdateChecker checker(main, worker, std::move(fetcher), {currentVersion, feedURL, timeout});
        checker.observe([&] {
            using Kind = updates::UpdateState::Kind;
            const auto& state = checker.state();
            switch (state.kind) {
            case Kind::upToDate:
                out << "up to date: " << currentVersion << " (the feed's newest is " << state.newestVersion << ")" << std::endl;
                status = 0;
                context.stop();
                break;
            case Kind::updateAvailable:
                out << "update available: " << state.newestVersion << " " << state.downloadURL << std::endl;
                status = 0;
                context.stop();
                break;
            case Kind::failed:
                out << "update check failed: " << state.failure << std::endl;
                status = 1;
                context.stop();
                break;
            case Kind::idle:
            case Kind::checking:
                break;
            }
        });
        checker.checkForUpdates();
        auto work = asio::make_work_guard(context);
        context.run();
    }
    worker->shutdown();
    return status;
}

}  // namespace kestrio::app
