#pragma once

// A phone on a network of its own for real-time link tests: the host side and the phone side in
// two network namespaces of the test's own, joined by a veth pair. The phone can vanish: every
// packet in and out of its namespace is dropped from then on, as when it leaves the Wi-Fi.
// Needs root, iproute2 and nft. Threads enter the sides with the router lab's
// NetworkNamespaceScope.

#include "router/router_lab_support.h"

#include <optional>
#include <string>

namespace kestrio::test {

using platform::testing::NetworkNamespaceScope;

class PhoneNetwork {
public:
    static constexpr const char* hostAddress = "10.77.0.1";
    static constexpr const char* phoneAddress = "10.77.0.2";

    // Why these tests cannot run here, or nothing when they can.
    static std::optional<std::string> unavailable();

    PhoneNetwork();
    ~PhoneNetwork();
    PhoneNetwork(const PhoneNetwork&) = delete;
    PhoneNetwork& operator=(const PhoneNetwork&) = delete;

    // Empty when both sides are up; else what went wrong.
    const std::string& error() const { return error_; }

    // The sides' namespaces, as paths for NetworkNamespaceScope.
    std::string hostNamespace() const { return "/run/netns/" + host_; }
    std::string phoneNamespace() const { return "/run/netns/" + phone_; }

    // Drops every packet the phone would send or receive; true when the rule is in place.
    bool vanish();

private:
    std::string host_;
    std::string phone_;
    std::string error_;
};

}  // namespace kestrio::test
