#include "link/peer_trust.h"

#include <array>
#include <cstdint>

namespace kestrio::link {

namespace {

// The address as IPv4 when it is IPv4 or IPv4 written as IPv6.
asio::ip::address plain(const asio::ip::address& address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

bool prefixMatches(const unsigned char* a, const unsigned char* b, std::size_t size, unsigned bits)
{
    if (bits > size * 8)
        return false;
    const std::size_t whole = bits / 8;
    for (std::size_t i = 0; i < whole; ++i) {
        if (a[i] != b[i])
            return false;
    }
    const unsigned rest = bits % 8;
    if (rest == 0)
        return true;
    const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

Subnet v4(const char* network, unsigned bits)
{
    return {asio::ip::make_address_v4(network), bits};
}

Subnet v6(const char* network, unsigned bits)
{
    return {asio::ip::make_address_v6(network), bits};
}

}  // namespace

bool contains(const Subnet& subnet, const asio::ip::address& address)
{
    const auto network = plain(subnet.network);
    const auto candidate = plain(address);
    if (network.is_v4() && candidate.is_v4()) {
        const auto a = network.to_v4().to_bytes();
        const auto b = candidate.to_v4().to_bytes();
        return prefixMatches(a.data(), b.data(), a.size(), subnet.prefixLength);
    }
    if (network.is_v6() && candidate.is_v6()) {
        const auto a = network.to_v6().to_bytes();
        const auto b = candidate.to_v6().to_bytes();
        return prefixMatches(a.data(), b.data(), a.size(), subnet.prefixLength);
    }
    return false;
}

std::string sourceNetworkOf(const asio::ip::address& address)
{
    const auto candidate = plain(address);
    if (candidate.is_v4()) {
        const auto bytes = candidate.to_v4().to_bytes();
        return "4:" + std::string(bytes.begin(), bytes.begin() + 3);
    }
    const auto bytes = candidate.to_v6().to_bytes();
    return "6:" + std::string(bytes.begin(), bytes.begin() + 8);
}

bool isHomeNetworkPeer(const asio::ip::address& peer, const std::vector<Subnet>& ownSubnets)
{
    // Not 100.64/10: that is the carrier's network, shared with its other customers. A VPN the
    // user runs on that range is still home through the host's own subnets.
    static const std::array<Subnet, 8> homeRanges = {
        v4("127.0.0.0", 8),   v4("10.0.0.0", 8), v4("172.16.0.0", 12), v4("192.168.0.0", 16),
        v4("169.254.0.0", 16), v6("::1", 128),   v6("fc00::", 7),      v6("fe80::", 10),
    };
    const auto address = plain(peer);
    for (const auto& range : homeRanges) {
        if (contains(range, address))
            return true;
    }
    for (const auto& subnet : ownSubnets) {
        if (contains(subnet, address))
            return true;
    }
    return false;
}

}  // namespace kestrio::link
