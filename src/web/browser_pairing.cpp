#include "web/browser_pairing.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace kestrio::web {

namespace {

// Compares in a time that does not tell how much of the code was right.
bool sameCode(std::string_view given, std::string_view expected)
{
    unsigned difference = given.size() == expected.size() ? 0u : 1u;
    for (std::size_t i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(i < given.size() ? given[i] : 0) ^ static_cast<unsigned char>(expected[i]);
    return difference == 0;
}

std::string randomToken()
{
    std::random_device random;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
        token += part;
    }
    return token;
}

}  // namespace

BrowserPairing::BrowserPairing(std::string code) : code_(std::move(code)) {}

std::string BrowserPairing::newCode()
{
    std::random_device random;
    std::uniform_int_distribution<int> digit(0, 9);
    std::string code;
    for (std::size_t i = 0; i < codeLength; ++i)
        code += static_cast<char>('0' + digit(random));
    return code;
}

link::RefusalPenalty& BrowserPairing::penaltyOf(const std::string& network, runtime::TimePoint now)
{
    if (penalties_.size() >= maxRememberedNetworks && !penalties_.contains(network)) {
        std::erase_if(penalties_, [now](const auto& entry) { return entry.second.settled(now); });
        // Still full: the network refused longest ago goes first.
        if (penalties_.size() >= maxRememberedNetworks)
            penalties_.erase(std::min_element(penalties_.begin(), penalties_.end(), [](const auto& a, const auto& b) {
                return a.second.lastRefusal < b.second.lastRefusal;
            }));
    }
    return penalties_[network];
}

BrowserPairing::Outcome BrowserPairing::tryCode(const std::string& network, std::string_view code, runtime::TimePoint now)
{
    auto& penalty = penaltyOf(network, now);
    if (now < penalty.notBefore)
        return {Outcome::Kind::waitFirst, {}, penalty.notBefore - now};
    if (!sameCode(code, code_)) {
        penalty.refuse(now);
        return {Outcome::Kind::wrongCode, {}, penalty.notBefore - now};
    }
    penalties_.erase(network);
    if (tokens_.size() >= maxPairedBrowsers)
        tokens_.pop_front();
    tokens_.push_back(randomToken());
    return {Outcome::Kind::paired, tokens_.back(), {}};
}

bool BrowserPairing::knows(std::string_view token) const
{
    return !token.empty() && std::any_of(tokens_.begin(), tokens_.end(), [token](const std::string& known) { return sameCode(token, known); });
}

}  // namespace kestrio::web
