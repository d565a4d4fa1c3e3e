#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <stop_token>

namespace kestrio::runtime {

// How a task ends when its token is cancelled while it waits (sleepFor, checkCancellation).
// A spawned task that ends this way has ended normally.
class TaskCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "task cancelled"; }
};

// The observing side of a CancellationSource. Copies observe the same source. A
// default-constructed token is never cancelled.
class CancellationToken {
public:
    CancellationToken() = default;

    bool isCancelled() const noexcept { return token_.stop_requested(); }
    // False for a default-constructed token, and once every source of a token that was never
    // cancelled is gone.
    bool canBeCancelled() const noexcept { return token_.stop_possible(); }

private:
    friend class CancellationSource;
    friend class CancellationRegistration;

    explicit CancellationToken(std::stop_token token) : token_(std::move(token)) {}

    std::stop_token token_;
};

// Cancels every token it handed out. Thread-safe; cancel() may be called from any thread.
// Copies share one state: cancelling one cancels them all.
class CancellationSource {
public:
    CancellationSource() = default;

    CancellationToken token() const noexcept { return CancellationToken(source_.get_token()); }
    // Runs the registered callbacks on the calling thread, each once, before returning. True
    // for the call that cancelled, false when the source was cancelled already.
    bool cancel() noexcept { return source_.request_stop(); }
    bool isCancelled() const noexcept { return source_.stop_requested(); }

private:
    std::stop_source source_;
};

// Runs `callback` once when the token is cancelled: on the cancelling thread, or right here if
// the token is cancelled already. The callback must not throw. No lock is held while it runs,
// so it may use tokens and registrations, including destroying its own registration.
//
// Destroying (or resetting) the registration unregisters the callback; if the callback is
// running on another thread at that moment, destruction waits for it to return, so nothing the
// callback refers to is used after the registration is gone.
class CancellationRegistration {
public:
    CancellationRegistration() = default;
    CancellationRegistration(const CancellationToken& token, std::function<void()> callback);

    CancellationRegistration(CancellationRegistration&&) noexcept = default;
    CancellationRegistration& operator=(CancellationRegistration&&) noexcept = default;

    void reset() noexcept { callback_.reset(); }

private:
    // std::stop_callback is pinned in memory; the pointer makes the registration movable.
    std::unique_ptr<std::stop_callback<std::function<void()>>> callback_;
};

inline CancellationRegistration::CancellationRegistration(const CancellationToken& token, std::function<void()> callback)
{
    if (token.canBeCancelled())
        callback_ = std::make_unique<std::stop_callback<std::function<void()>>>(token.token_, std::move(callback));
}

}  // namespace kestrio::runtime
