#include "router/scripted_nat_pmp_gateway_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace kestrio::platform::testing {

namespace {

constexpr std::uint16_t natPmpPort = 5351;

void put16(std::uint8_t* at, std::uint16_t value)
{
    value = htons(value);
    std::memcpy(at, &value, sizeof value);
}

void put32(std::uint8_t* at, std::uint32_t value)
{
    value = htonl(value);
    std::memcpy(at, &value, sizeof value);
}

std::uint16_t get16(const std::uint8_t* at)
{
    std::uint16_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return ntohs(value);
}

std::uint32_t get32(const std::uint8_t* at)
{
    std::uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return ntohl(value);
}

}  // namespace

ScriptedNatPmpGateway::ScriptedNatPmpGateway(std::string address, Script script)
    : address_(std::move(address)), script_(std::move(script))
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(natPmpPort);
    if (inet_pton(AF_INET, address_.c_str(), &local.sin_addr) != 1
        || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || pipe2(stopPipe_, O_CLOEXEC) != 0) {
        close(fd);
        return;
    }
    socket_ = fd;
    thread_ = std::thread([this] { serve(); });
}

ScriptedNatPmpGateway::~ScriptedNatPmpGateway()
{
    if (thread_.joinable()) {
        char stop = 0;
        [[maybe_unused]] auto written = write(stopPipe_[1], &stop, 1);
        thread_.join();
    }
    for (int fd : {socket_, stopPipe_[0], stopPipe_[1]}) {
        if (fd >= 0)
            close(fd);
    }
}

std::vector<ScriptedNatPmpGateway::Request> ScriptedNatPmpGateway::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedNatPmpGateway::serve()
{
    std::uint32_t epoch = 1000;
    for (;;) {
        pollfd descriptors[2] = {{socket_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(descriptors, 2, -1) < 0 || descriptors[1].revents != 0)
            return;
        std::uint8_t packet[64] = {};
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        ssize_t length = recvfrom(socket_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (length < 2 || packet[0] != 0)
            continue;
        Request request;
        request.opcode = packet[1];
        if (request.opcode != 0 && length >= 12) {
            request.internalPort = get16(packet + 4);
            request.externalPort = get16(packet + 6);
            request.lifetime = get32(packet + 8);
        }
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        if (script_.silent)
            continue;

        std::uint8_t answer[16] = {};
        std::size_t answerLength = 0;
        answer[1] = static_cast<std::uint8_t>(128 + request.opcode);
        put32(answer + 4, ++epoch);
        if (request.opcode == 0) {
            put16(answer + 2, script_.publicAddressResult);
            in_addr publicAddress{};
            inet_pton(AF_INET, script_.publicAddress.c_str(), &publicAddress);
            std::memcpy(answer + 8, &publicAddress, sizeof publicAddress);
            answerLength = 12;
        } else {
            if (script_.silentToMappings)
                continue;
            if (script_.lateAddressAnswerFirst) {
                std::uint8_t late[12] = {0, 128, 0, 3};
                put32(late + 4, epoch);
                sendto(socket_, late, sizeof late, 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
            }
            put16(answer + 2, script_.mappingResult);
            put16(answer + 8, request.internalPort);
            bool removal = request.lifetime == 0;
            std::uint16_t granted = script_.grantedPort < 0 ? request.externalPort
                                                            : static_cast<std::uint16_t>(script_.grantedPort);
            put16(answer + 10, removal ? 0 : granted);
            put32(answer + 12, request.lifetime);
            answerLength = 16;
        }
        sendto(socket_, answer, answerLength, 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
    }
}

}  // namespace kestrio::platform::testing
