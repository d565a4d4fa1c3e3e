#include "router/scripted_igd_support.h"
#include "router/router_lab_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrio::platform::testing {

namespace {

constexpr const char* service = "urn:schemas-upnp-org:service:WANIPConnection:1";

std::string element(const std::string& body, const std::string& name)
{
    const auto start = body.find("<" + name + ">");
    if (start == std::string::npos)
        return {};
    const auto from = start + name.size() + 2;
    const auto end = body.find("</" + name + ">", from);
    return end == std::string::npos ? std::string() : body.substr(from, end - from);
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

std::string fault(int code, const char* description)
{
    return httpAnswer("500 Internal Server Error",
                      envelope("<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
                               "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>"
                               + std::to_string(code) + "</errorCode><errorDescription>" + description
                               + "</errorDescription></UPnPError></detail></s:Fault>"));
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

ScriptedIgd::ScriptedIgd(const std::string& namespacePath, std::string address, Script script)
    : address_(std::move(address)), script_(std::move(script))
{
    {
        NetworkNamespaceScope scope(namespacePath);
        if (!scope.entered())
            return;
        ssdp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        http_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    }
    if (ssdp_ < 0 || http_ < 0 || pipe2(stopPipe_, O_CLOEXEC) != 0)
        return;
    int yes = 1;
    setsockopt(ssdp_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(1900);
    ip_mreq group{};
    inet_pton(AF_INET, "239.255.255.250", &group.imr_multiaddr);
    inet_pton(AF_INET, address_.c_str(), &group.imr_interface);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, address_.c_str(), &local.sin_addr);
    socklen_t length = sizeof local;
    if (bind(ssdp_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0
        || setsockopt(ssdp_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0
        || bind(http_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(http_, 8) != 0
        || getsockname(http_, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return;
    httpPort_ = ntohs(local.sin_port);
    thread_ = std::thread([this] { serve(); });
}

ScriptedIgd::~ScriptedIgd()
{
    if (thread_.joinable()) {
        char stop = 0;
        [[maybe_unused]] auto written = write(stopPipe_[1], &stop, 1);
        thread_.join();
    }
    for (int fd : {ssdp_, http_, stopPipe_[0], stopPipe_[1]}) {
        if (fd >= 0)
            close(fd);
    }
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

void ScriptedIgd::serve()
{
    for (;;) {
        pollfd descriptors[3] = {{ssdp_, POLLIN, 0}, {http_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(descriptors, 3, -1) < 0 && errno != EINTR)
            return;
        if (descriptors[2].revents != 0)
            return;
        if (descriptors[0].revents != 0)
            answerDiscovery();
        if (descriptors[1].revents != 0) {
            int connection = accept4(http_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) {
                answerHttp(connection);
                close(connection);
            }
        }
    }
}

void ScriptedIgd::answerDiscovery()
{
    char request[1500] = {};
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    ssize_t length = recvfrom(ssdp_, request, sizeof request - 1, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (length <= 0)
        return;
    std::string text(request, static_cast<std::size_t>(length));
    if (text.rfind("M-SEARCH", 0) != 0)
        return;
    auto st = text.find("\r\nST:");
    if (st == std::string::npos)
        st = text.find("\r\nst:");
    if (st == std::string::npos)
        return;
    auto end = text.find("\r\n", st + 2);
    std::string searched = text.substr(st + 5, end - st - 5);
    searched.erase(0, searched.find_first_not_of(' '));
    std::string answer = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: " + searched
                         + "\r\nUSN: uuid:5c1e2b7a-1d2e-4f3a-9b8c-7d6e5f4a3b2c::" + searched
                         + "\r\nEXT:\r\nSERVER: Linux UPnP/1.1 scripted/1\r\nLOCATION: http://" + address_ + ":"
                         + std::to_string(httpPort_) + "/rootDesc.xml\r\n\r\n";
    sendto(ssdp_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
}

void ScriptedIgd::answerHttp(int connection)
{
    std::string request;
    std::size_t headerEnd = std::string::npos;
    std::size_t wanted = 0;
    for (;;) {
        pollfd descriptor{connection, POLLIN, 0};
        if (poll(&descriptor, 1, 2000) != 1)
            return;
        char buffer[4096];
        ssize_t got = recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0)
            return;
        request.append(buffer, static_cast<std::size_t>(got));
        if (headerEnd == std::string::npos && (headerEnd = request.find("\r\n\r\n")) != std::string::npos) {
            auto field = request.find("ontent-Length:");
            if (field == std::string::npos)
                field = request.find("ONTENT-LENGTH:");
            wanted = field < headerEnd ? std::stoul(request.substr(field + 14)) : 0;
        }
        if (headerEnd != std::string::npos && request.size() >= headerEnd + 4 + wanted)
            break;
    }
    std::string answer;
    if (request.rfind("GET ", 0) == 0) {
        answer = httpAnswer("200 OK", description);
    } else {
        const auto soapAction = request.find('#');
        const auto end = request.find_first_of("\"\r", soapAction);
        const std::string action = soapAction < headerEnd ? request.substr(soapAction + 1, end - soapAction - 1) : "";
        answer = control(action, request.substr(headerEnd + 4));
    }
    std::size_t sent = 0;
    while (sent < answer.size()) {
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
        if (script_.onlyPermanentLeases && lease != "0")
            return fault(725, "OnlyPermanentLeasesSupported");
        mappings_[port] = element(body, "NewInternalClient");
        return success(action);
    }
    if (action == "GetSpecificPortMappingEntry") {
        auto found = mappings_.find(port);
        if (found == mappings_.end())
            return fault(714, "NoSuchEntryInArray");
        return success(action, "<NewInternalPort>" + externalPort + "</NewInternalPort><NewInternalClient>" + found->second
                                   + "</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>Kestrio"
                                     "</NewPortMappingDescription><NewLeaseDuration>0</NewLeaseDuration>");
    }
    if (action == "DeletePortMapping") {
        if (mappings_.erase(port) == 0)
            return fault(714, "NoSuchEntryInArray");
        return success(action);
    }
    return fault(401, "Invalid Action");
}

}  // namespace kestrio::platform::testing
