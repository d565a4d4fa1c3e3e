#include "updates/feed_fetcher.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

namespace kestrio::updates {
namespace {

constexpr long maxRedirects = 5;

// libcurl's global setup is not thread-safe and must happen before any transfer; it is never
// undone, since a transfer may still be running on some worker when the program ends.
bool initializeCurl()
{
    static std::once_flag once;
    static bool initialized = false;
    std::call_once(once, [] { initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return initialized;
}

struct Transfer {
    CURL* easy = nullptr;
    std::size_t limit = 0;
    const runtime::CancellationToken* cancel = nullptr;
    std::string body;
    bool tooLarge = false;
    bool cancelled = false;
};

std::size_t receiveBody(char* data, std::size_t size, std::size_t count, void* user)
{
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    // Nothing of an error page is kept: it is not the feed, and its status is what gets reported.
    long status = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300)
        return length;
    if (length > transfer.limit - transfer.body.size()) {
        transfer.tooLarge = true;
        return 0;
    }
    try {
        transfer.body.append(data, length);
    } catch (...) {
        return 0;
    }
    return length;
}

int reportProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto& transfer = *static_cast<Transfer*>(user);
    if (transfer.cancel->isCancelled()) {
        transfer.cancelled = true;
        return 1;
    }
    return 0;
}

FetchResult failure(std::string error, long status = 0)
{
    return FetchResult{false, status, {}, std::move(error)};
}

}  // namespace

bool isHTTPSURL(std::string_view url)
{
    constexpr std::string_view scheme = "https://";
    return url.size() >= scheme.size() && std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
        return a == std::tolower(static_cast<unsigned char>(b));
    });
}

CurlFeedFetcher::CurlFeedFetcher(Options options) : options_(std::move(options)), userAgent_("Kestrio/" + options_.appVersion) {}

FetchResult CurlFeedFetcher::fetch(const std::string& url, std::chrono::milliseconds timeout)
{
    if (options_.cancel.isCancelled())
        return failure("cancelled");
    const bool secure = isHTTPSURL(url);
    if (!secure && !options_.allowPlainHTTP)
        return failure(std::string(notHTTPSFailure));
    if (!initializeCurl())
        return failure("network library unavailable");
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), &curl_easy_cleanup);
    if (!easy)
        return failure("network library unavailable");

    Transfer transfer;
    transfer.easy = easy.get();
    transfer.limit = options_.maxBodyBytes;
    transfer.cancel = &options_.cancel;
    char errorText[CURL_ERROR_SIZE] = {};
    const long milliseconds = static_cast<long>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 1));

    CURL* handle = easy.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    // libcurl checks the scheme again, of the address and of every redirect: a feed asked for
    // over TLS is never followed to a plain-text address, which would let anyone on the path
    // answer for it.
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, options_.allowPlainHTTP ? "https,http" : "https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "https,http");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, maxRedirects);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, milliseconds);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, milliseconds);
    // Timeouts must not use signals: fetches run on worker threads of a larger program.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, userAgent_.c_str());
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options_.caFile.empty())
        curl_easy_setopt(handle, CURLOPT_CAINFO, options_.caFile.c_str());
    // Refused up front when the server announces the size; the write callback catches the rest
    // (chunked bodies, and compressed ones counted after decoding).
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options_.maxBodyBytes));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &receiveBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    if (options_.cancel.canBeCancelled()) {
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &reportProgress);
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    }

    const CURLcode code = curl_easy_perform(handle);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);

    if (code == CURLE_OPERATION_TIMEDOUT)
        return failure("timed out", status);
    if (transfer.cancelled)
        return failure("cancelled", status);
    // What the server said about the request outranks what went wrong with an error page.
    if (status >= 400)
        return failure("HTTP " + std::to_string(status), status);
    if (transfer.tooLarge || code == CURLE_FILESIZE_EXCEEDED)
        return failure("feed too large", status);
    if (code == CURLE_UNSUPPORTED_PROTOCOL && secure)
        return failure(std::string(notHTTPSFailure), status);
    if (code != CURLE_OK)
        return failure(errorText[0] != '\0' ? std::string(errorText) : std::string(curl_easy_strerror(code)), status);
    if (status < 200 || status > 299)
        return failure("HTTP " + std::to_string(status), status);
    return FetchResult{true, status, std::move(transfer.body), {}};
}

}  // namespace kestrio::updates
