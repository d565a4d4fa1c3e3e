#include "link/peer_description.h"

#include <cstdint>

namespace kestrio::link {
namespace {

std::string pathText(const NetworkPath& path, const std::string& thisComputer)
{
    if (!path)
        return "로컬 네트워크";
    switch (*path) {
    case InterfaceType::wifi:
        return "Wi\u2011Fi";
    case InterfaceType::wiredEthernet:
    case InterfaceType::other:
        return "USB/유선";
    case InterfaceType::cellular:
        return "모바일 네트워크";
    case InterfaceType::loopback:
        return thisComputer;
    }
    return "로컬 네트워크";
}

}  // namespace

std::string describePeer(const std::optional<std::string>& host, const NetworkPath& path, const std::string& thisComputer)
{
    return (host ? *host : std::string("iPhone 뷰어")) + " \u00B7 " + pathText(path, thisComputer);
}

std::string advertisementInstanceName(const std::string& hostName, std::uint64_t generation)
{
    const std::string suffix = " \u00B7 KS" + std::to_string(generation % 1000);
    std::string host = hostName.empty() ? std::string("Kestrio Mac") : hostName;
    // DNS-SD instance names hold at most 63 bytes; a longer one would never be published. Cut
    // the host name, never inside a UTF-8 sequence, so that the generation stays visible.
    if (host.size() + suffix.size() > maxInstanceNameBytes) {
        std::size_t cut = maxInstanceNameBytes - suffix.size();
        while (cut > 0 && (static_cast<unsigned char>(host[cut]) & 0xC0) == 0x80)
            --cut;
        host.resize(cut);
    }
    return host + suffix;
}

}  // namespace kestrio::link
