#include "platform/os/interface_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <bit>
#include <cstring>

namespace kestrio::platform::os {

std::vector<std::string> interfaceAddresses()
{
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return addresses;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !(entry->ifa_flags & IFF_UP))
            continue;
        char text[INET6_ADDRSTRLEN] = {};
        if (entry->ifa_addr->sa_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text))
                addresses.emplace_back(text);
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            if (::inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text))
                addresses.emplace_back(text);
        }
    }
    ::freeifaddrs(list);
    return addresses;
}

namespace {

unsigned prefixLength(const unsigned char* mask, std::size_t size)
{
    unsigned bits = 0;
    for (std::size_t i = 0; i < size; ++i)
        bits += static_cast<unsigned>(std::popcount(mask[i]));
    return bits;
}

}  // namespace

std::vector<link::Subnet> interfaceSubnets()
{
    std::vector<link::Subnet> subnets;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return subnets;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !entry->ifa_netmask || !(entry->ifa_flags & IFF_UP))
            continue;
        if (entry->ifa_addr->sa_family == AF_INET && entry->ifa_netmask->sa_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            const auto* mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask);
            asio::ip::address_v4::bytes_type bytes;
            std::memcpy(bytes.data(), &address->sin_addr, bytes.size());
            subnets.push_back({asio::ip::make_address_v4(bytes),
                               prefixLength(reinterpret_cast<const unsigned char*>(&mask->sin_addr), sizeof mask->sin_addr)});
        } else if (entry->ifa_addr->sa_family == AF_INET6 && entry->ifa_netmask->sa_family == AF_INET6) {
            const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            const auto* mask = reinterpret_cast<const sockaddr_in6*>(entry->ifa_netmask);
            asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), &address->sin6_addr, bytes.size());
            subnets.push_back({asio::ip::make_address_v6(bytes),
                               prefixLength(reinterpret_cast<const unsigned char*>(&mask->sin6_addr), sizeof mask->sin6_addr)});
        }
    }
    ::freeifaddrs(list);
    return subnets;
}

}  // namespace kestrio::platform::os
