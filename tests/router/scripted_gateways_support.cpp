#include "router/scripted_gateways_support.h"
#include "router/router_lab_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kestrio::platform::testing {

namespace {

constexpr const char* service = "urn:schemas-upnp-org:service:WANIPConnection:1";
constexpr const char* uuid = "uuid:5c1e2b7a-1d2e-4f3a-9b8c-7d6e5f4a3b2c";

template <class T>
T bigEndian(const std::uint8_t* at)
{
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value = static_cast<T>(value << 8 | at[i]);
    return value;
}

template <class T>
void putBigEndian(std::uint8_t* at, T value)
{
    for (std::size_t i = sizeof(T); i-- > 0; value = static_cast<T>(value >> 8))
        at[i] = static_cast<std::uint8_t>(value & 0xFF);
}

std::string element(const std::string& body, const std::string& name)
{
    const auto start = body.find("<" + name + ">");
    const auto end = body.find("</" + name + ">");
    return start == std::string::npos || end == std::string::npos ? std::string()
                                                                   : body.substr(start + name.size() + 2, end - start - name.size() - 2);
}

std::string httpAnswer(const char* status, const std::string& body)
{
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nConnection: close\r\n"
           + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string envelope(const std::string& content)
{
    return "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
           + content + "</s:Body></s:Envelope>\r\n";
}

std::string fault(int code)
{
    return httpAnswer("500 Internal Server Error",
                      envelope("<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
                               "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>"
                               + std::to_string(code) + "</errorCode></UPnPError></detail></s:Fault>"));
}

std::string success(const std::string& action, const std::string& arguments = {})
{
    return httpAnswer("200 OK", envelope("<u:" + action + "Response xmlns:u=\"" + service + "\">" + arguments + "</u:"
                                         + action + "Response>"));
}

const char* const description =
    "<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
    "<specVersion><major>1</major><minor>0</minor></specVersion><device>"
    "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
    "<friendlyName>Scripted IGD</friendlyName><UDN>uuid:5c1e2b7a-1d2e-4f3a-9b8c-7d6e5f4a3b2c</UDN>"
    "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>"
    "<serviceList><service><serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId><controlURL>/ctl/CmnIfCfg</controlURL>"
    "<eventSubURL>/evt/CmnIfCfg</eventSubURL><SCPDURL>/WANCfg.xml</SCPDURL></service></serviceList>"
    "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
    "<serviceList><service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId><controlURL>/ctl/IPConn</controlURL>"
    "<eventSubURL>/evt/IPConn</eventSubURL><SCPDURL>/WANIPCn.xml</SCPDURL></service></serviceList>"
    "</device></deviceList></device></deviceList></device></root>\r\n";

}  // namespace

SocketServer::SocketServer(std::vector<int> sockets, std::function<void(int)> ready) : sockets_(std::move(sockets))
{
    for (int fd : sockets_) {
        if (fd < 0)
            return;
    }
    if (pipe2(stopPipe_, O_CLOEXEC) != 0)
        return;
    thread_ = std::thread([this, ready = std::move(ready)] {
        std::vector<pollfd> descriptors{{stopPipe_[0], POLLIN, 0}};
        for (int fd : sockets_)
            descriptors.push_back({fd, POLLIN, 0});
        while (poll(descriptors.data(), descriptors.size(), -1) >= 0 || errno == EINTR) {
            if (descriptors[0].revents != 0)
                return;
            for (std::size_t i = 1; i < descriptors.size(); ++i) {
                if (descriptors[i].revents != 0)
                    ready(descriptors[i].fd);
            }
        }
    });
}

SocketServer::~SocketServer()
{
    if (thread_.joinable()) {
        [[maybe_unused]] auto written = write(stopPipe_[1], "", 1);
        thread_.join();
    }
    for (int fd : sockets_)
        close(fd);
    for (int fd : stopPipe_)
        close(fd);
}

ScriptedNatPmpGateway::ScriptedNatPmpGateway(std::string address, Script script)
    : address_(std::move(address)), script_(std::move(script))
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = socketAddress(address_, 5351);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        fd = -1;
    }
    server_ = std::make_unique<SocketServer>(std::vector{fd}, [this](int socket) { answer(socket); });
}

std::vector<ScriptedNatPmpGateway::Request> ScriptedNatPmpGateway::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedNatPmpGateway::answer(int socket)
{
    std::uint8_t packet[64] = {};
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    ssize_t length = recvfrom(socket, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (length < 2 || packet[0] != 0)
        return;
    Request request{packet[1]};
    if (request.opcode != 0 && length >= 12)
        request = {packet[1], bigEndian<std::uint16_t>(packet + 4), bigEndian<std::uint16_t>(packet + 6),
                   bigEndian<std::uint32_t>(packet + 8)};
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    if (script_.silent || (request.opcode != 0 && script_.silentToMappings))
        return;
    auto send = [&](const std::uint8_t* bytes, std::size_t size) {
        sendto(socket, bytes, size, 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
    };
    std::uint8_t answer[16] = {0, static_cast<std::uint8_t>(128 + request.opcode)};
    putBigEndian<std::uint32_t>(answer + 4, ++epoch_);
    if (request.opcode == 0) {
        putBigEndian(answer + 2, script_.publicAddressResult);
        inet_pton(AF_INET, script_.publicAddress.c_str(), answer + 8);
        return send(answer, 12);
    }
    if (script_.lateAddressAnswerFirst) {
        std::uint8_t late[12] = {0, 128, 0, 3};
        putBigEndian<std::uint32_t>(late + 4, epoch_);
        send(late, sizeof late);
    }
    putBigEndian(answer + 2, script_.mappingResult);
    putBigEndian(answer + 8, request.internalPort);
    auto granted = script_.grantedPort < 0 ? request.externalPort : static_cast<std::uint16_t>(script_.grantedPort);
    putBigEndian<std::uint16_t>(answer + 10, request.lifetime == 0 ? 0 : granted);
    putBigEndian(answer + 12, request.lifetime);
    send(answer, 16);
}

ScriptedIgd::ScriptedIgd(const std::string& namespacePath, std::string address, Script script)
    : address_(std::move(address)), script_(std::move(script))
{
    int http = -1;
    {
        NetworkNamespaceScope scope(namespacePath);
        if (!scope.entered())
            return;
        ssdp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        http = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    }
    int yes = 1;
    setsockopt(ssdp_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in any = socketAddress("0.0.0.0", 1900), local = socketAddress(address_, 0);
    ip_mreq group{};
    inet_pton(AF_INET, "239.255.255.250", &group.imr_multiaddr);
    group.imr_interface = local.sin_addr;
    socklen_t length = sizeof local;
    if (bind(ssdp_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0
        || setsockopt(ssdp_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0
        || bind(http, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(http, 8) != 0
        || getsockname(http, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        close(http);
        http = -1;
    }
    httpPort_ = ntohs(local.sin_port);
    server_ = std::make_unique<SocketServer>(std::vector{ssdp_, http}, [this, http](int socket) {
        if (socket == ssdp_)
            return answerDiscovery(socket);
        if (int connection = accept4(http, nullptr, nullptr, SOCK_CLOEXEC); connection >= 0) {
            answerHttp(connection);
            close(connection);
        }
    });
}

std::vector<std::string> ScriptedIgd::actions() const
{
    std::lock_guard lock(mutex_);
    return actions_;
}

std::map<std::uint16_t, std::string> ScriptedIgd::mappings() const
{
    std::lock_guard lock(mutex_);
    return mappings_;
}

void ScriptedIgd::answerDiscovery(int socket)
{
    char request[1500] = {};
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    ssize_t length = recvfrom(socket, request, sizeof request - 1, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    std::string text(request, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    auto st = text.find("\r\nST:");
    if (text.rfind("M-SEARCH", 0) != 0 || (st == std::string::npos && (st = text.find("\r\nst:")) == std::string::npos))
        return;
    std::string searched = text.substr(st + 5, text.find("\r\n", st + 2) - st - 5);
    searched.erase(0, searched.find_first_not_of(' '));
    std::string answer = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: " + searched + "\r\nUSN: " + uuid + "::"
                         + searched + "\r\nEXT:\r\nSERVER: Linux UPnP/1.1 scripted/1\r\nLOCATION: http://" + address_
                         + ":" + std::to_string(httpPort_) + "/rootDesc.xml\r\n\r\n";
    sendto(socket, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
}

void ScriptedIgd::answerHttp(int connection)
{
    std::string request;
    std::size_t headerEnd = std::string::npos, wanted = 0;
    while (headerEnd == std::string::npos || request.size() < headerEnd + 4 + wanted) {
        pollfd descriptor{connection, POLLIN, 0};
        char buffer[4096];
        ssize_t got = poll(&descriptor, 1, 2000) == 1 ? recv(connection, buffer, sizeof buffer, 0) : -1;
        if (got <= 0)
            return;
        request.append(buffer, static_cast<std::size_t>(got));
        if (headerEnd == std::string::npos && (headerEnd = request.find("\r\n\r\n")) != std::string::npos) {
            auto field = request.find("ontent-Length:");
            if (field == std::string::npos)
                field = request.find("ONTENT-LENGTH:");
            wanted = field < headerEnd ? std::stoul(request.substr(field + 14)) : 0;
        }
    }
    const auto hash = request.find('#');
    const std::string action = hash < headerEnd ? request.substr(hash + 1, request.find_first_of("\"\r", hash) - hash - 1) : "";
    const std::string answer = request.rfind("GET ", 0) == 0 ? httpAnswer("200 OK", description)
                                                             : control(action, request.substr(headerEnd + 4));
    for (std::size_t sent = 0; sent < answer.size();) {
        ssize_t written = send(connection, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (written <= 0)
            return;
        sent += static_cast<std::size_t>(written);
    }
}

std::string ScriptedIgd::control(const std::string& action, const std::string& body)
{
    std::lock_guard lock(mutex_);
    const std::string lease = element(body, "NewLeaseDuration");
    const std::string externalPort = element(body, "NewExternalPort");
    const auto port = static_cast<std::uint16_t>(std::atoi(externalPort.c_str()));
    actions_.push_back(action + (externalPort.empty() ? "" : " " + externalPort) + (lease.empty() ? "" : " " + lease));
    if (action == "GetStatusInfo")
        return success(action, "<NewConnectionStatus>Connected</NewConnectionStatus>"
                               "<NewLastConnectionError>ERROR_NONE</NewLastConnectionError><NewUptime>1</NewUptime>");
    if (action == "GetExternalIPAddress")
        return success(action, "<NewExternalIPAddress>" + script_.externalAddress + "</NewExternalIPAddress>");
    if (action == "AddPortMapping") {
        if (script_.addFault != 0 || (script_.onlyPermanentLeases && lease != "0"))
            return fault(script_.addFault != 0 ? script_.addFault : 725);
        mappings_[port] = element(body, "NewInternalClient");
        return success(action);
    }
    auto found = mappings_.find(port);
    if ((action == "GetSpecificPortMappingEntry" || action == "DeletePortMapping") && found == mappings_.end())
        return fault(714);
    if (action == "GetSpecificPortMappingEntry")
        return success(action, "<NewInternalPort>" + externalPort + "</NewInternalPort><NewInternalClient>" + found->second
                                   + "</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>Kestrio"
                                     "</NewPortMappingDescription><NewLeaseDuration>0</NewLeaseDuration>");
    if (action == "DeletePortMapping") {
        mappings_.erase(found);
        return success(action);
    }
    return fault(401);
}

}  // namespace kestrio::platform::testing
