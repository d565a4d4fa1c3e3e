// Pairing browsers: the code, the wait a wrong one costs its network, and the token that pairs a
// browser again.
#include "web/browser_pairing.h"

#include <gtest/gtest.h>

#include <set>

namespace kestrio::web {
namespace {

using namespace std::chrono_literals;
using Kind = BrowserPairing::Outcome::Kind;

TEST(BrowserPairing, CodesAreSixDigitsAndDiffer)
{
    std::set<std::string> codes;
    for (int i = 0; i < 20; ++i) {
        const auto code = BrowserPairing::newCode();
        EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos);
        EXPECT_EQ(code.size(), 6u);
        codes.insert(code);
    }
    EXPECT_GT(codes.size(), 15u);
}

// Each wrong code makes its network wait 1 s, 2 s, 4 s…; a try while it waits is not judged (the
// right code included); another network is not held up; the wait is forgotten by a network that
// stays quiet; a paired browser's token pairs it again, a made-up one does not.
TEST(BrowserPairing, WrongCodesMakeTheirNetworkWaitLongerEachTime)
{
    BrowserPairing pairing("123456");
    const runtime::TimePoint start{};
    struct Try {
        runtime::Duration at;
        const char* network;
        const char* code;
        Kind outcome;
        runtime::Duration retryAfter;
    };
    const Try tries[] = {
        {0s, "192.168.1.0/24", "000000", Kind::wrongCode, 1s},
        {500ms, "192.168.1.0/24", "123456", Kind::waitFirst, 500ms},
        {500ms, "10.0.0.0/24", "12345", Kind::wrongCode, 1s},
        {1s, "192.168.1.0/24", "1234567", Kind::wrongCode, 2s},
        {2s, "10.0.0.0/24", "000000", Kind::wrongCode, 2s},
        {3s, "192.168.1.0/24", "", Kind::wrongCode, 4s},
        {7s, "192.168.1.0/24", "654321", Kind::wrongCode, 8s},
        {15s, "192.168.1.0/24", "123456", Kind::paired, 0s},
        {16s, "192.168.1.0/24", "000000", Kind::wrongCode, 1s},
        // Quiet for one period after its penalty ran out: one refusal is forgiven.
        {4s + link::RefusalPenalty::quietPeriod, "10.0.0.0/24", "000000", Kind::wrongCode, 2s},
    };
    std::string token;
    for (const auto& attempt : tries) {
        SCOPED_TRACE(std::string(attempt.network) + " " + attempt.code);
        const auto outcome = pairing.tryCode(attempt.network, attempt.code, start + attempt.at);
        EXPECT_EQ(outcome.kind, attempt.outcome);
        EXPECT_EQ(outcome.retryAfter, attempt.retryAfter);
        if (outcome.kind == Kind::paired)
            token = outcome.token;
    }
    EXPECT_EQ(token.size(), 32u);
    EXPECT_TRUE(pairing.knows(token));
    EXPECT_FALSE(pairing.knows(std::string(32, '0')));
    EXPECT_FALSE(pairing.knows(""));
}

}  // namespace
}  // namespace kestrio::web
