#include "web/browser_signalling.h"

#include <nlohmann/json.hpp>

#include <chrono>

namespace kestrio::web {

namespace {

long long milliseconds(runtime::Duration duration)
{
    return std::chrono::ceil<std::chrono::milliseconds>(duration).count();
}

}  // namespace

BrowserSignalling::BrowserSignalling(std::shared_ptr<BrowserPairing> pairing, std::shared_ptr<runtime::Clock> clock, std::string network)
    : pairing_(std::move(pairing)), clock_(std::move(clock)), network_(std::move(network))
{
}

std::string BrowserSignalling::refusal(const BrowserPairing::Outcome& outcome) const
{
    const char* type = outcome.kind == BrowserPairing::Outcome::Kind::waitFirst ? "wait" : "refused";
    return nlohmann::json{{"type", type}, {"retryAfterMs", milliseconds(outcome.retryAfter)}}.dump();
}

std::string BrowserSignalling::receive(std::string_view message)
{
    if (message.size() > maxMessageSize)
        return {};
    const auto parsed = nlohmann::json::parse(message, nullptr, false);
    const auto field = [&parsed](const char* name) -> std::string {
        if (!parsed.is_object())
            return {};
        const auto found = parsed.find(name);
        return found != parsed.end() && found->is_string() ? found->get<std::string>() : std::string();
    };
    const std::string type = field("type");
    if (paired_)
        return {};  // what a paired browser says next is the media's business
    if (type == "resume" && pairing_->knows(field("token"))) {
        paired_ = true;
        return nlohmann::json{{"type", "paired"}, {"token", field("token")}}.dump();
    }
    // A code, or anything else a browser that has not paired may send: judged as a code, so
    // that a network that waits learns nothing more.
    const auto outcome = pairing_->tryCode(network_, type == "pair" ? field("code") : std::string(), clock_->now());
    if (outcome.kind != BrowserPairing::Outcome::Kind::paired)
        return refusal(outcome);
    paired_ = true;
    return nlohmann::json{{"type", "paired"}, {"token", outcome.token}}.dump();
}

}  // namespace kestrio::web
