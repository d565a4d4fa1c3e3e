#pragma once

// The viewer link's per-connection record, shared by the files that make up FrameStreamer.
#include "link/frame_streamer.h"

#include <asio/ip/tcp.hpp>

#include <array>

namespace kestrio::link {

struct FrameStreamer::Connection {
    explicit Connection(asio::ip::tcp::socket s) : socket(std::move(s)) {}

    asio::ip::tcp::socket socket;
    std::array<char, receiveSize> receiveBuffer{};
};

}  // namespace kestrio::link
