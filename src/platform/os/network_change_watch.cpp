#include "platform/os/network_change_watch.h"

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kestrio::platform::os {
namespace {

// Reads in one turn at most; what the kernel holds beyond them waits for the next turn, and what
// it cannot hold it drops and says so.
constexpr int maxReadsPerTurn = 64;

// Whether the link message (`length` bytes) carries a wireless-extensions event: Wi-Fi drivers
// send those as link news while they scan, though nothing of the link changed.
bool carriesWirelessEvent(const std::uint8_t* message, std::size_t length)
{
    for (std::size_t offset = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifinfomsg)); offset + sizeof(rtattr) <= length;) {
        rtattr attribute;
        std::memcpy(&attribute, message + offset, sizeof attribute);
        if (attribute.rta_len < sizeof attribute || attribute.rta_len > length - offset)
            return false;
        if (attribute.rta_type == IFLA_WIRELESS)
            return true;
        offset += RTA_ALIGN(attribute.rta_len);
    }
    return false;
}

// Whether one datagram of the kernel's holds news of a link or an address.
bool holdsNews(const std::uint8_t* data, std::size_t size)
{
    for (std::size_t offset = 0; offset + sizeof(nlmsghdr) <= size;) {
        nlmsghdr header;
        std::memcpy(&header, data + offset, sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > size - offset)
            return false;
        switch (header.nlmsg_type) {
        case RTM_NEWLINK:
            if (!carriesWirelessEvent(data + offset, header.nlmsg_len))
                return true;
            break;
        case RTM_DELLINK:
        case RTM_NEWADDR:
        case RTM_DELADDR:
            return true;
        default:
            break;
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return false;
}

class NetlinkWatch final : public std::enable_shared_from_this<NetlinkWatch> {
public:
    NetlinkWatch(asio::io_context& context, std::function<void()> changed) : socket_(context), changed_(std::move(changed)) {}

    // Takes `descriptor` over; false (and the descriptor still the caller's) when the context
    // cannot watch it.
    bool adopt(int descriptor)
    {
        std::error_code error;
        socket_.assign(descriptor, error);
        return !error;
    }

    void wait()
    {
        socket_.async_wait(asio::posix::stream_descriptor::wait_read, [weak = weak_from_this()](const std::error_code& error) {
            auto self = weak.lock();
            // Ended, or a socket that cannot be waited on any more: no further news.
            if (!self || error)
                return;
            if (self->readWhatCame())
                self->changed_();
            self->wait();
        });
    }

private:
    bool readWhatCame()
    {
        bool news = false;
        for (int read = 0; read < maxReadsPerTurn; ++read) {
            sockaddr_nl sender{};
            socklen_t senderLength = sizeof sender;
            const ssize_t size = recvfrom(socket_.native_handle(), buffer_.data(), buffer_.size(), MSG_DONTWAIT | MSG_TRUNC,
                                          reinterpret_cast<sockaddr*>(&sender), &senderLength);
            if (size < 0) {
                if (errno == EINTR)
                    continue;
                if (errno != ENOBUFS)  // nothing more for now
                    break;
                news = true;  // the kernel dropped messages it could not queue
                continue;
            }
            // Only the kernel speaks for the links; a longer message than the buffer was cut, but
            // only a link's can be that long.
            if (sender.nl_pid == 0)
                news = news || static_cast<std::size_t>(size) > buffer_.size() || holdsNews(buffer_.data(), static_cast<std::size_t>(size));
        }
        return news;
    }

    asio::posix::stream_descriptor socket_;
    std::function<void()> changed_;
    alignas(nlmsghdr) std::array<std::uint8_t, 8192> buffer_{};
};

}  // namespace

std::shared_ptr<void> watchNetworkChanges(asio::io_context& context, std::function<void()> changed)
{
    const int descriptor = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (descriptor < 0)
        return nullptr;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    auto watch = std::make_shared<NetlinkWatch>(context, std::move(changed));
    if (bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 || !watch->adopt(descriptor)) {
        close(descriptor);
        return nullptr;
    }
    watch->wait();
    return watch;
}

}  // namespace kestrio::platform::os
