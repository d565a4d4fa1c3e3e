#pragma once

// The model's state that the window and the status lines show as text. The model keeps these
// typed; the texts are rendered only where they are shown.

#include "model/platform_wording.h"

#include <cstdint>
#include <string>

namespace kestrio::model {

// The host's own address on the home network.
struct LocalAddress {
    enum class State { checking, none, known };
    State state = State::checking;
    std::string address;  // when known
    bool operator==(const LocalAddress&) const = default;
};

// "확인 중", "확인 불가" or the address.
std::string text(const LocalAddress& local);
// Only a known address may be copied.
inline bool canCopy(const LocalAddress& local) { return local.state == LocalAddress::State::known; }

// Remote access: whether the router forwards the streaming port, and to which address.
struct RemoteAccess {
    enum class State { mapping, ready, unavailable, off };
    State state = State::mapping;
    std::string address;  // the router's public address, when ready
    std::uint16_t port = 0;
    std::string failure;  // why there is no mapping, when unavailable
    bool operator==(const RemoteAccess&) const = default;
};

// "address:port", or what stands in the address field instead.
std::string endpointText(const RemoteAccess& remote);
// The line under the address field.
std::string statusText(const RemoteAccess& remote);
// Only an address may be copied or sent.
inline bool hasEndpoint(const RemoteAccess& remote) { return remote.state == RemoteAccess::State::ready; }

// Where the address notification stands.
enum class NotificationStatus { off, needsAddress, willSend, waiting, sent, alreadySent, unavailable, sendFailed };

std::string text(NotificationStatus status, const PlatformWording& wording);
// Whether the window colours the status as a failure, and offers the button that opens the
// sender's settings.
bool isFailure(NotificationStatus status, const PlatformWording& wording);
bool needsSettings(NotificationStatus status);

}  // namespace kestrio::model
