#include "platform/router/natpmp_upnp_port_mapping.h"

#define ENABLE_STRNATPMPERR
#include <natpmp.h>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

namespace kestrio::platform::router {

namespace {

using remote::RouterMappingResult;
using Outcome = RouterMappingResult::Outcome;
using SteadyClock = std::chrono::steady_clock;

// Not one of libnatpmp's codes: the deadline passed before an answer came.
constexpr int noAnswerInTime = 1;

const std::string mappingDescription(remote::routerMappingDescription);
constexpr unsigned char ssdpTtl = 2;

std::string natPmpText(int code)
{
    if (code == noAnswerInTime)
        return "no answer in time";
    const char* text = strnatpmperr(code);
    return text ? text : "error " + std::to_string(code);
}

// Codes that mean a NAT-PMP gateway read the request and answered it.
bool isGatewayAnswer(int code)
{
    return code == 0 || code == NATPMP_ERR_UNSUPPORTEDOPCODE || code == NATPMP_ERR_UNDEFINEDERROR
        || code == NATPMP_ERR_NOTAUTHORIZED || code == NATPMP_ERR_NETWORKFAILURE
        || code == NATPMP_ERR_OUTOFRESOURCES;
}

std::string addressText(in_addr address)
{
    if (address.s_addr == INADDR_ANY)
        return {};
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address, text, sizeof text))
        return {};
    return text;
}

// libnatpmp's state for one exchange with the gateway; its socket is closed on the way out.
class NatPmpSession {
public:
    NatPmpSession() = default;
    NatPmpSession(const NatPmpSession&) = delete;
    NatPmpSession& operator=(const NatPmpSession&) = delete;

    ~NatPmpSession()
    {
        if (open_)
            closenatpmp(&natpmp_);
    }

    int open(const std::string& gateway)
    {
        int forceGateway = 0;
        in_addr_t gatewayAddress = 0;
        if (!gateway.empty()) {
            in_addr parsed{};
            if (inet_pton(AF_INET, gateway.c_str(), &parsed) != 1)
                return NATPMP_ERR_INVALIDARGS;
            forceGateway = 1;
            gatewayAddress = parsed.s_addr;
        }
        int code = initnatpmp(&natpmp_, forceGateway, gatewayAddress);
        open_ = code == 0;
        return code;
    }

    // Sends a request through `send` and waits for the answer with opcode `answerOpcode`, retrying
    // on libnatpmp's schedule but never past `deadline`.
    template <typename Send>
    int request(Send send, std::uint8_t answerOpcode, natpmpresp_t& response, SteadyClock::time_point deadline)
    {
        int code = send(&natpmp_);
        if (code < 0)
            return code;
        for (;;) {
            timeval untilRetry{};
            if (getnatpmprequesttimeout(&natpmp_, &untilRetry) == NATPMP_ERR_NOPENDINGREQ) {
                code = send(&natpmp_);
                if (code < 0)
                    return code;
                continue;
            }
            auto now = SteadyClock::now();
            if (now >= deadline)
                return noAnswerInTime;
            auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            auto retryIn = std::chrono::milliseconds(
                std::max<long long>(0, static_cast<long long>(untilRetry.tv_sec) * 1000 + untilRetry.tv_usec / 1000));
            auto wait = std::min(remaining, retryIn + std::chrono::milliseconds(1));
            pollfd descriptor{natpmp_.s, POLLIN, 0};
            if (poll(&descriptor, 1, static_cast<int>(wait.count())) < 0 && errno != EINTR)
                return NATPMP_ERR_RECVFROM;
            switch (peek(answerOpcode)) {
            case Pending::answerToAnotherRequest:
                continue;
            case Pending::socketError:
                // Mostly ICMP port unreachable: nothing listens for NAT-PMP there.
                return NATPMP_ERR_RECVFROM;
            case Pending::nothingOrOurs:
                break;
            }
            code = readnatpmpresponseorretry(&natpmp_, &response);
            if (code == NATPMP_TRYAGAIN || code == NATPMP_ERR_WRONGPACKETSOURCE)
                continue;
            return code;
        }
    }

private:
    // libnatpmp resends a request the gateway is slow to answer, and the gateway answers every
    // copy: a late answer to the public-address request may arrive while the mapping request
    // waits. libnatpmp does not say which request an error answer belongs to, so look first.
    enum class Pending { nothingOrOurs, answerToAnotherRequest, socketError };

    Pending peek(std::uint8_t answerOpcode)
    {
        std::uint8_t head[2] = {};
        ssize_t length = recv(natpmp_.s, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
        if (length < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Pending::nothingOrOurs : Pending::socketError;
        if (length < static_cast<ssize_t>(sizeof head) || head[0] != 0 || head[1] == answerOpcode)
            return Pending::nothingOrOurs;
        recv(natpmp_.s, head, sizeof head, MSG_DONTWAIT);
        return Pending::answerToAnotherRequest;
    }

    natpmp_t natpmp_{};
    bool open_ = false;
};

// What NAT-PMP is asked for when the caller wants the mapping until it is removed: NAT-PMP has no
// such lease (lifetime 0 deletes), and gateways add the lifetime to their clock in 32 bits, so the
// largest values wrap into the past and expire at once. One week is also the longest lease IGDv2
// grants.
constexpr std::uint32_t longestNatPmpLifetime = 7 * 24 * 3600;

std::uint32_t natPmpLifetime(std::chrono::seconds lifetime)
{
    if (lifetime.count() <= 0 || lifetime.count() > longestNatPmpLifetime)
        return longestNatPmpLifetime;
    return static_cast<std::uint32_t>(lifetime.count());
}

// The opcode of a gateway's answer is the request's plus 128.
constexpr std::uint8_t answerTo(int requestOpcode)
{
    return static_cast<std::uint8_t>(128 + requestOpcode);
}

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

NatPmpUpnpPortMapping::NatPmpUpnpPortMapping() : NatPmpUpnpPortMapping(Options{}) {}

NatPmpUpnpPortMapping::NatPmpUpnpPortMapping(Options options) : options_(std::move(options)) {}

remote::RouterAddressResult NatPmpUpnpPortMapping::externalAddress()
{
    std::lock_guard lock(mutex_);
    Protocol order[2] = {Protocol::natPmp, Protocol::upnp};
    if (preferred_ == Protocol::upnp)
        std::swap(order[0], order[1]);
    std::string silence;
    for (Protocol protocol : order) {
        AddressAttempt attempt = protocol == Protocol::natPmp ? addressWithNatPmp() : addressWithUpnp();
        if (!attempt.answered) {
            silence += (silence.empty() ? "" : "; ") + attempt.result.detail;
            continue;
        }
        preferred_ = protocol;
        return attempt.result;
    }
    remote::RouterAddressResult result;
    result.outcome = Outcome::unsupported;
    result.detail = silence;
    return result;
}

RouterMappingResult NatPmpUpnpPortMapping::map(std::uint16_t port, std::chrono::seconds lifetime)
{
    std::lock_guard lock(mutex_);
    // What answered last goes first, so that renewals do not wait out the other protocol.
    Protocol order[2] = {Protocol::natPmp, Protocol::upnp};
    if (preferred_ == Protocol::upnp)
        std::swap(order[0], order[1]);
    std::string silence;
    for (Protocol protocol : order) {
        Attempt attempt = protocol == Protocol::natPmp ? mapWithNatPmp(port, lifetime) : mapWithUpnp(port, lifetime);
        if (!attempt.answered) {
            silence += (silence.empty() ? "" : "; ") + attempt.result.detail;
            continue;
        }
        preferred_ = protocol;
        if (attempt.result.outcome == Outcome::mapped) {
            protocol_ = protocol;
            externalPorts_[port] = attempt.result.externalPort;
        }
        return attempt.result;
    }
    RouterMappingResult result;
    result.outcome = Outcome::unsupported;
    result.detail = silence;
    return result;
}

bool NatPmpUpnpPortMapping::unmap(std::uint16_t port)
{
    std::lock_guard lock(mutex_);
    auto granted = externalPorts_.find(port);
    if (granted == externalPorts_.end())
        return true;
    std::uint16_t externalPort = granted->second;
    externalPorts_.erase(granted);
    if (protocol_ == Protocol::natPmp)
        return unmapWithNatPmp(port);
    if (protocol_ == Protocol::upnp)
        return unmapWithUpnp(externalPort, "TCP");
    return true;
}

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

NatPmpUpnpPortMapping::AddressAttempt NatPmpUpnpPortMapping::addressWithNatPmp()
{
    AddressAttempt attempt;
    auto& result = attempt.result;
    NatPmpSession session;
    if (int code = session.open(options_.gateway); code < 0) {
        result.detail = "NAT-PMP: " + natPmpText(code);
        return attempt;
    }
    natpmpresp_t response{};
    int code = session.request(sendpublicaddressrequest, answerTo(NATPMP_RESPTYPE_PUBLICADDRESS), response,
                               SteadyClock::now() + options_.natPmpDeadline);
    if (!isGatewayAnswer(code)) {
        result.detail = "NAT-PMP: " + natPmpText(code);
        return attempt;
    }
    attempt.answered = true;
    if (code == 0) {
        result.outcome = Outcome::mapped;
        result.address = addressText(response.pnu.publicaddress.addr);
    } else {
        // Result 3 (network failure) is a gateway without a public address of its own.
        result.outcome = code == NATPMP_ERR_NOTAUTHORIZED ? Outcome::disabled
                         : code == NATPMP_ERR_NETWORKFAILURE ? Outcome::mapped
                                                             : Outcome::failed;
        result.detail = "NAT-PMP public address: " + natPmpText(code);
    }
    return attempt;
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

NatPmpUpnpPortMapping::Attempt NatPmpUpnpPortMapping::mapWithNatPmp(std::uint16_t port, std::chrono::seconds lifetime)
{
    Attempt attempt;
    auto& result = attempt.result;
    const auto deadline = SteadyClock::now() + options_.natPmpDeadline;
    NatPmpSession session;
    if (int code = session.open(options_.gateway); code < 0) {
        result.detail = "NAT-PMP: " + natPmpText(code);
        return attempt;
    }

    natpmpresp_t response{};
    int code = session.request(sendpublicaddressrequest, answerTo(NATPMP_RESPTYPE_PUBLICADDRESS), response, deadline);
    if (!isGatewayAnswer(code)) {
        // Silence, a refused port (ICMP) or another protocol version: no NAT-PMP here.
        result.detail = "NAT-PMP: " + natPmpText(code);
        return attempt;
    }
    attempt.answered = true;

    std::uint32_t requestedLifetime = natPmpLifetime(lifetime);
    auto sendMapping = [&](natpmp_t* natpmp) {
        return sendnewportmappingrequest(natpmp, NATPMP_PROTOCOL_TCP, port, port, requestedLifetime);
    };
    response = {};
    code = session.request(sendMapping, answerTo(NATPMP_PROTOCOL_TCP), response, deadline);
    switch (code) {
    case 0:
        result.outcome = Outcome::mapped;
        result.externalPort = response.pnu.newportmapping.mappedpublicport;
        result.lifetime = std::chrono::seconds(response.pnu.newportmapping.lifetime);
        break;
    case NATPMP_ERR_NOTAUTHORIZED:
        result.outcome = Outcome::disabled;
        result.detail = "NAT-PMP mapping: " + natPmpText(code);
        break;
    default:
        result.outcome = Outcome::failed;
        result.detail = "NAT-PMP mapping: " + natPmpText(code);
        break;
    }
    return attempt;
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

bool NatPmpUpnpPortMapping::unmapWithNatPmp(std::uint16_t port)
{
    const auto deadline = SteadyClock::now() + options_.natPmpDeadline;
    NatPmpSession session;
    if (session.open(options_.gateway) < 0)
        return false;
    natpmpresp_t response{};
    // Lifetime 0 deletes; the external port must then be 0.
    auto sendRemoval = [&](natpmp_t* natpmp) { return sendnewportmappingrequest(natpmp, NATPMP_PROTOCOL_TCP, port, 0, 0); };
    return session.request(sendRemoval, answerTo(NATPMP_PROTOCOL_TCP), response, deadline) == 0;
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
