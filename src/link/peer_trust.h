#pragma once

#include <asio/ip/address.hpp>

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace kestrio::link {

// An address range: the network's address and the length of its prefix.
struct Subnet {
    asio::ip::address network;
    unsigned prefixLength = 0;
};

// Whether a viewer at `peer` is on the home network, where a viewer is served as it connects:
// loopback, private (10/8, 172.16/12, 192.168/16), link-local (169.254/16), IPv6 unique-local
// (fc00::/7) and link-local (fe80::/10), IPv4 in IPv6 form likewise, or any address inside one
// of `ownSubnets` (the host's own interfaces). Anyone else, the carrier's shared 100.64/10
// included, can only have come through the router's port mapping or from beyond the home.
bool isHomeNetworkPeer(const asio::ip::address& peer, const std::vector<Subnet>& ownSubnets);

// True when `address` lies inside `subnet` (both of one family).
bool contains(const Subnet& subnet, const asio::ip::address& address);

// The network `address` belongs to as far as one subscriber usually holds it whole: its IPv4
// /24 or its IPv6 /64 (IPv4 in IPv6 form counts as IPv4), as a key that tells them apart.
std::string sourceNetworkOf(const asio::ip::address& address);

// The phones allowed to connect from outside the home network, by identifier. Read by the
// viewer link on its queue, replaced by the model on its own.
class TrustedPhones {
public:
    void replace(std::set<std::string> identifiers)
    {
        std::lock_guard lock(mutex_);
        identifiers_ = std::move(identifiers);
    }
    bool contains(const std::string& identifier) const
    {
        std::lock_guard lock(mutex_);
        return identifiers_.count(identifier) != 0;
    }

private:
    mutable std::mutex mutex_;
    std::set<std::string> identifiers_;
};

}  // namespace kestrio::link
