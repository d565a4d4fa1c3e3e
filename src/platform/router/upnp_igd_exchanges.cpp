#include "platform/router/natpmp_upnp_port_mapping.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>

// The UPnP IGD side of the router's port forwarding (miniupnpc): discovery, the IGD's mappings
// and, since only UPnP can list mappings, the lookup and removal of permanent ones.
namespace kestrio::platform::router {

namespace {

using remote::RouterMappingResult;
using Outcome = RouterMappingResult::Outcome;

const std::string mappingDescription(remote::routerMappingDescription);
constexpr unsigned char ssdpTtl = 2;

std::string upnpError(const char* action, int code)
{
    std::string text = std::string("UPnP ") + action + ": " + std::to_string(code);
    if (const char* meaning = strupnperror(code))
        text += std::string(" ") + meaning;
    return text;
}

// The host part of an http URL ("http://192.168.1.1:5000/ctl" → "192.168.1.1").
std::string urlHost(const std::string& url)
{
    auto start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    auto end = url.find_first_of(":/", start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// UPnP's NoSuchEntryInArray: the router holds no mapping there.
constexpr int noSuchEntry = 714;

template <std::size_t size>
std::string bufferText(const char (&buffer)[size])
{
    return std::string(buffer, strnlen(buffer, size));
}

}  // namespace

remote::RouterMappingLookup NatPmpUpnpPortMapping::lookup(const remote::PermanentMappingRecord& record)
{
    std::lock_guard lock(mutex_);
    using Lookup = remote::RouterMappingLookup::Outcome;
    remote::RouterMappingLookup found;
    RouterMappingResult failure;
    if (!haveIgd_ && !discoverIgd(failure))
        return found;
    found.hostAddress = igd_.lanAddress;
    if (igd_.address != record.gateway) {
        found.outcome = Lookup::otherGateway;
        return found;
    }
    std::string portText = std::to_string(record.externalPort);
    char client[64] = {}, internalPort[16] = {}, description[128] = {}, enabled[8] = {}, remaining[32] = {};
    int code = UPNP_GetSpecificPortMappingEntry(igd_.controlUrl.c_str(), igd_.serviceType.c_str(), portText.c_str(),
                                                record.protocol.c_str(), nullptr, client, internalPort, description,
                                                enabled, remaining);
    if (code == noSuchEntry) {
        found.outcome = Lookup::absent;
    } else if (code == UPNPCOMMAND_SUCCESS) {
        found.outcome = Lookup::found;
        found.internalAddress = bufferText(client);
        found.description = bufferText(description);
        std::string text = bufferText(internalPort);
        unsigned value = 0;
        if (std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc{} && value <= 65535)
            found.internalPort = static_cast<std::uint16_t>(value);
    } else if (code < 0) {
        // The IGD we knew is gone: the next call looks again.
        haveIgd_ = false;
    }
    return found;
}

bool NatPmpUpnpPortMapping::remove(const remote::PermanentMappingRecord& record)
{
    std::lock_guard lock(mutex_);
    if (!haveIgd_ || igd_.address != record.gateway)
        return false;
    return unmapWithUpnp(record.externalPort, record.protocol.c_str());
}

NatPmpUpnpPortMapping::AddressAttempt NatPmpUpnpPortMapping::addressWithUpnp()
{
    AddressAttempt attempt;
    auto& result = attempt.result;
    for (;;) {
        const bool known = haveIgd_;
        if (!known) {
            RouterMappingResult failure;
            if (!discoverIgd(failure)) {
                attempt.answered = failure.outcome != Outcome::unsupported;
                result.outcome = failure.outcome;
                result.detail = failure.detail;
                return attempt;
            }
        }
        char address[64] = {};
        int code = UPNP_GetExternalIPAddress(igd_.controlUrl.c_str(), igd_.serviceType.c_str(), address);
        if (code < 0) {
            // No SOAP answer: the IGD we knew may be gone (or moved): look again, once.
            haveIgd_ = false;
            if (known)
                continue;
            attempt.answered = true;
            result.outcome = Outcome::failed;
            result.detail = upnpError("GetExternalIPAddress", code) + " at " + igd_.controlUrl;
            return attempt;
        }
        attempt.answered = true;
        if (code == UPNPCOMMAND_SUCCESS) {
            result.outcome = Outcome::mapped;
            result.address = bufferText(address);
            // What miniupnpd answers when it has no address to forward from.
            if (result.address == "0.0.0.0")
                result.address.clear();
        } else {
            // 606: not authorised. Any other error: an IGD that cannot say, which is no address.
            result.outcome = code == 606 ? Outcome::disabled : Outcome::mapped;
            result.detail = upnpError("GetExternalIPAddress", code);
        }
        return attempt;
    }
}

NatPmpUpnpPortMapping::Attempt NatPmpUpnpPortMapping::mapWithUpnp(std::uint16_t port, std::chrono::seconds lifetime)
{
    if (haveIgd_) {
        Attempt attempt = addUpnpMapping(igd_, port, lifetime);
        if (attempt.answered)
            return attempt;
        // The IGD we knew is gone (or moved to another address): look again.
        haveIgd_ = false;
    }
    Attempt attempt;
    if (!discoverIgd(attempt.result)) {
        attempt.answered = attempt.result.outcome != Outcome::unsupported;
        return attempt;
    }
    attempt = addUpnpMapping(igd_, port, lifetime);
    attempt.answered = true;
    return attempt;
}

bool NatPmpUpnpPortMapping::discoverIgd(RouterMappingResult& failure)
{
    // All searches go out at once and share one wait: upnpDiscover() would wait the whole
    // discovery time for each type in turn when nothing answers.
    static const char* const igdTypes[] = {
        "urn:schemas-upnp-org:device:InternetGatewayDevice:1",
        "urn:schemas-upnp-org:service:WANIPConnection:1",
        "urn:schemas-upnp-org:service:WANPPPConnection:1",
        nullptr,
    };
    int error = 0;
    UPNPDev* devices = upnpDiscoverDevices(igdTypes, static_cast<int>(options_.upnpDiscovery.count()), nullptr,
                                           nullptr, UPNP_LOCAL_PORT_ANY, 0, ssdpTtl, &error, 1);
    if (!devices) {
        failure.outcome = Outcome::unsupported;
        failure.detail = "UPnP: no device answered discovery";
        if (error != 0)
            failure.detail += " (" + std::to_string(error) + ")";
        return false;
    }
    // A device answers each search type it matches: ask each for its description only once.
    UPNPDev* duplicates = nullptr;
    for (UPNPDev* device = devices; device; device = device->pNext) {
        for (UPNPDev** next = &device->pNext; *next;) {
            if (std::strcmp((*next)->descURL, device->descURL) == 0) {
                UPNPDev* duplicate = *next;
                *next = duplicate->pNext;
                duplicate->pNext = duplicates;
                duplicates = duplicate;
            } else {
                next = &(*next)->pNext;
            }
        }
    }
    freeUPNPDevlist(duplicates);
    UPNPUrls urls{};
    IGDdatas data{};
    char lanAddress[64] = {};
    int found = UPNP_GetValidIGD(devices, &urls, &data, lanAddress, sizeof lanAddress);
    freeUPNPDevlist(devices);
    if (found != 0) {
        igd_.controlUrl = urls.controlURL ? urls.controlURL : "";
        igd_.serviceType = bufferText(data.first.servicetype);
        igd_.lanAddress = bufferText(lanAddress);
        igd_.address = urlHost(igd_.controlUrl);
        FreeUPNPUrls(&urls);
    }
    switch (found) {
    case 1:
        haveIgd_ = true;
        return true;
    case 2: {
        // miniupnpc also says this of a connected IGD whose external address is private or
        // reserved, the router behind another NAT: that one maps, and the caller is told the
        // address.
        char status[64] = {}, lastError[64] = {};
        unsigned int uptime = 0;
        int code = UPNP_GetStatusInfo(igd_.controlUrl.c_str(), igd_.serviceType.c_str(), status, &uptime, lastError);
        if (code == UPNPCOMMAND_SUCCESS && bufferText(status) == "Connected") {
            haveIgd_ = true;
            return true;
        }
        failure.outcome = Outcome::failed;
        failure.detail = "UPnP: the IGD at " + igd_.controlUrl + " is not connected";
        if (code == UPNPCOMMAND_SUCCESS)
            failure.detail += " (" + bufferText(status) + ")";
        return false;
    }
    case 3:
        failure.outcome = Outcome::unsupported;
        failure.detail = "UPnP: devices answered, none of them an IGD";
        return false;
    default:
        failure.outcome = Outcome::unsupported;
        failure.detail = "UPnP: no IGD found";
        return false;
    }
}

NatPmpUpnpPortMapping::Attempt NatPmpUpnpPortMapping::addUpnpMapping(const Igd& igd, std::uint16_t port,
                                                                     std::chrono::seconds lifetime)
{
    Attempt attempt;
    auto& result = attempt.result;
    const char* control = igd.controlUrl.c_str();
    const char* service = igd.serviceType.c_str();
    std::string portText = std::to_string(port);
    std::string lease = std::to_string(std::clamp<std::chrono::seconds::rep>(
        lifetime.count(), 0, std::numeric_limits<std::uint32_t>::max()));

    int code = UPNP_AddPortMapping(control, service, portText.c_str(), portText.c_str(), igd.lanAddress.c_str(),
                                   mappingDescription.c_str(), "TCP", nullptr, lease.c_str());
    if (code == 725) {
        lease = "0";
        code = UPNP_AddPortMapping(control, service, portText.c_str(), portText.c_str(), igd.lanAddress.c_str(),
                                   mappingDescription.c_str(), "TCP", nullptr, lease.c_str());
    }
    if (code < 0) {
        // No SOAP answer at all (HTTP or transport failure).
        result.outcome = Outcome::failed;
        result.detail = upnpError("AddPortMapping", code) + " at " + igd.controlUrl;
        return attempt;
    }
    attempt.answered = true;
    if (code != UPNPCOMMAND_SUCCESS) {
        // 606: not authorised (what miniupnpd answers when its rules deny the port). Neither
        // 718 (the port is another computer's) nor 501 (any failure of the action; miniupnpd
        // answers it when it has no public address to forward from) means the router's port
        // opening is off, so they are failures with their code.
        result.outcome = code == 606 ? Outcome::disabled : Outcome::failed;
        result.detail = upnpError("AddPortMapping", code);
        return attempt;
    }

    result.outcome = Outcome::mapped;
    result.externalPort = port;
    std::chrono::seconds::rep granted = 0;
    std::from_chars(lease.data(), lease.data() + lease.size(), granted);
    result.lifetime = std::chrono::seconds(granted);
    result.gateway = igd.address;
    result.internalAddress = igd.lanAddress;

    // The router's own record of the mapping says how long it really keeps it.
    char client[64] = {}, internalPort[16] = {}, description[128] = {}, enabled[8] = {}, remaining[32] = {};
    if (UPNP_GetSpecificPortMappingEntry(control, service, portText.c_str(), "TCP", nullptr, client, internalPort,
                                         description, enabled, remaining)
        == UPNPCOMMAND_SUCCESS) {
        std::string text = bufferText(remaining);
        std::chrono::seconds::rep value = 0;
        if (std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc{})
            result.lifetime = std::chrono::seconds(value);
    }
    return attempt;
}

bool NatPmpUpnpPortMapping::unmapWithUpnp(std::uint16_t externalPort, const char* protocol)
{
    if (!haveIgd_)
        return false;
    std::string portText = std::to_string(externalPort);
    int code = UPNP_DeletePortMapping(igd_.controlUrl.c_str(), igd_.serviceType.c_str(), portText.c_str(), protocol, nullptr);
    return code == UPNPCOMMAND_SUCCESS || code == noSuchEntry;
}

}  // namespace kestrio::platform::router
