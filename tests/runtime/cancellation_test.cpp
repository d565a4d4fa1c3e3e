#include "runtime/cancellation.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

namespace kestrio::runtime {
namespace {

TEST(CancellationTest, CallbacksRunOnceOnTheCancellingThread)
{
    CancellationSource source;
    auto token = source.token();
    int first = 0;
    int second = 0;
    std::thread::id ranOn;
    CancellationRegistration a(token, [&] {
        ++first;
        ranOn = std::this_thread::get_id();
    });
    CancellationRegistration b(token, [&] { ++second; });
    CancellationRegistration dropped(token, [] { FAIL() << "unregistered callback ran"; });
    dropped.reset();

    std::thread::id cancellerId;
    bool cancelled = false;
    std::thread canceller([&] {
        cancellerId = std::this_thread::get_id();
        cancelled = source.cancel();
    });
    canceller.join();

    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(token.isCancelled());
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(ranOn, cancellerId);

    EXPECT_FALSE(source.cancel());
    EXPECT_EQ(first, 1);

    // Too late to wait: runs at once, here.
    int late = 0;
    CancellationRegistration c(token, [&] { ++late; });
    EXPECT_EQ(late, 1);
}

TEST(CancellationTest, CopiesShareOneStateAndDefaultTokensNeverCancel)
{
    CancellationSource source;
    CancellationSource copy = source;
    auto token = source.token();
    copy.cancel();
    EXPECT_TRUE(source.isCancelled());
    EXPECT_TRUE(token.isCancelled());

    CancellationToken never;
    EXPECT_FALSE(never.canBeCancelled());
    EXPECT_FALSE(never.isCancelled());
    CancellationRegistration ignored(never, [] { FAIL(); });
}

TEST(CancellationTest, CallbackMayUseTheTokenAndDropItsOwnRegistration)
{
    CancellationSource source;
    auto token = source.token();
    std::optional<CancellationRegistration> self;
    std::optional<CancellationRegistration> nested;
    bool nestedRan = false;
    self.emplace(token, [&] {
        // Would deadlock if cancel() held a lock while calling back.
        nested.emplace(token, [&] { nestedRan = token.isCancelled(); });
        self.reset();
    });
    source.cancel();
    EXPECT_TRUE(nestedRan);
    EXPECT_FALSE(self);
}

}  // namespace
}  // namespace kestrio::runtime
