#include "platform/router/natpmp_upnp_port_mapping.h"

#define ENABLE_STRNATPMPERR
#include <natpmp.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>

// The NAT-PMP side of the router's port forwarding: libnatpmp's exchanges with the gateway, each
// bounded by the caller's deadline.
namespace kestrio::platform::router {

namespace {

using remote::RouterMappingResult;
using Outcome = RouterMappingResult::Outcome;
using SteadyClock = std::chrono::steady_clock;

// Not one of libnatpmp's codes: the deadline passed before an answer came.
constexpr int noAnswerInTime = 1;

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

}  // namespace

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

}  // namespace kestrio::platform::router
