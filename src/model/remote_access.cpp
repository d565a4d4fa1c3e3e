// Remote access: the router's port mapping as the window shows it.
#include "model/mac_screen_model.h"

namespace kestrio::model {

void MacScreenModel::handlePortMappingUpdate(const remote::NATPortMappingUpdate& update)
{
    if (const auto* ready = std::get_if<remote::NATPortMappingUpdate::Ready>(&update.value)) {
        assign(remoteEndpoint_, ready->address + ":" + std::to_string(ready->port));
        assign(remoteAccessStatus_, std::string("자동 포트 연결 준비됨"));
        sendRemoteEndpointIfEnabled(remoteEndpoint_);
    } else {
        const auto& unavailable = std::get<remote::NATPortMappingUpdate::Unavailable>(update.value);
        assign(remoteEndpoint_, std::string(unavailableText));
        assign(remoteAccessStatus_, unavailable.message);
    }
    // Whoever shows the pair re-reads it once more.
    willChange();
}

void MacScreenModel::sendRemoteEndpointIfEnabled(const std::string&)
{
    // The address notification comes with its sender.
}

}  // namespace kestrio::model
