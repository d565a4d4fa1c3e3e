#include "runtime/cancellation.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

namespace kestrio::runtime {
namespace {

TEST(CancellationTest, CallbacksRunOnceOnTheCancellingThreadAndMayRegisterOrUnregister)
{
    CancellationSource source;
    CancellationSource copy = source;
    auto token = source.token();
    int first = 0;
    std::thread::id ranOn;
    CancellationRegistration a(token, [&] {
        ++first;
        ranOn = std::this_thread::get_id();
    });
    CancellationRegistration dropped(token, [] { FAIL() << "unregistered callback ran"; });
    dropped.reset();
    // Would deadlock if cancel() held a lock while calling back.
    std::optional<CancellationRegistration> self;
    std::optional<CancellationRegistration> nested;
    bool nestedRan = false;
    self.emplace(token, [&] {
        nested.emplace(token, [&] { nestedRan = token.isCancelled(); });
        self.reset();
    });

    std::thread::id cancellerId;
    bool cancelled = false;
    std::thread canceller([&] {
        cancellerId = std::this_thread::get_id();
        cancelled = copy.cancel();
    });
    canceller.join();
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(source.isCancelled());
    EXPECT_EQ(first, 1);
    EXPECT_EQ(ranOn, cancellerId);
    EXPECT_TRUE(nestedRan);
    EXPECT_FALSE(self);

    EXPECT_FALSE(source.cancel());
    EXPECT_EQ(first, 1);
    int late = 0;
    CancellationRegistration c(token, [&] { ++late; });
    EXPECT_EQ(late, 1);

    CancellationToken never;
    EXPECT_FALSE(never.canBeCancelled());
    CancellationRegistration ignored(never, [] { FAIL(); });
}

}  // namespace
}  // namespace kestrio::runtime
