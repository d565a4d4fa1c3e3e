#pragma once

#include "link/network_path.h"

#include <cstdint>
#include <optional>
#include <string>

namespace kestrio::link {

// What the streamer can say about its viewer: the peer it serves, or why it has none.
struct PeerState {
    enum class Kind { waiting, connected, dropped, listenerFailed, retryFailed, readvertiseFailed };
    Kind kind = Kind::waiting;
    std::string detail;  // the peer's description, why it went, or why listening failed
    bool operator==(const PeerState&) const = default;
};

// The one-line description of a viewer connection shown to the user: where it comes from, then
// how it reaches us, e.g. "192.168.0.7 · Wi‑Fi". `host` is the peer's address as text, absent
// when the peer's endpoint is unknown. `thisComputer` names the path of a viewer on this same
// computer (over loopback).
std::string describePeer(const std::optional<std::string>& host, const NetworkPath& path,
                         const std::string& thisComputer = "이 Mac");

inline constexpr std::size_t maxInstanceNameBytes = 63;

// The advertised instance name of the listener created as the `generation`-th of this run.
std::string advertisementInstanceName(const std::string& hostName, std::uint64_t generation);

}  // namespace kestrio::link
