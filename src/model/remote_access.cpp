// Remote access: the router's port mapping as the window shows it.
#include "model/mac_screen_model.h"
#include "runtime/white_space.h"

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

void MacScreenModel::checkIMessageReadiness()
{
    if (!isRemoteAddress(remoteEndpoint_))
        assign(iMessageStatus_, environment_.wording.notificationWaiting);
    else
        sendRemoteEndpointIfEnabled(remoteEndpoint_);
}

void MacScreenModel::sendRemoteEndpointIfEnabled(const std::string& endpoint)
{
    if (!iMessageNotificationsEnabled_)
        return;
    const std::string address(runtime::trimmedWhiteSpace(committedIMessageAddress_));
    if (address.empty()) {
        assign(iMessageStatus_, environment_.wording.notificationNeedsAddress);
        return;
    }
    runtime::spawn(environment_.mainExecutor, notifyRemoteEndpoint(weak_from_this(), endpoint, address), lifetime_.token());
}

// Holds the model only between the steps that touch it: sending may take a while, and nothing
// should keep a closed model alive for it.
runtime::Task<void> MacScreenModel::notifyRemoteEndpoint(std::weak_ptr<MacScreenModel> weak, std::string endpoint, std::string address)
{
    std::shared_ptr<remote::MessagesNotifier> notifier;
    std::shared_ptr<runtime::Executor> queue;
    PlatformWording wording;
    {
        auto self = weak.lock();
        if (!self)
            co_return;
        notifier = self->environment_.messagesNotifier;
        queue = self->environment_.notifierQueue ? self->environment_.notifierQueue : self->environment_.background;
        wording = self->environment_.wording;
    }
    const auto setStatus = [&weak](const std::string& text) {
        if (auto self = weak.lock())
            self->assign(self->iMessageStatus_, text);
    };

    // Without a sender nothing can be sent, which the user sees as the same missing access.
    if (!notifier) {
        setStatus(wording.notificationUnavailable);
        co_return;
    }
    auto probe = [notifier] { return !notifier->runAppleScript(std::string(remote::MessagesNotifier::accessProbeScript)); };
    bool reachable;
    if (queue)
        reachable = co_await runtime::runOn(queue, std::move(probe));
    else
        reachable = probe();
    if (!reachable) {
        setStatus(wording.notificationUnavailable);
        co_return;
    }
    // Sent already when this endpoint went to this address; a corrected address gets it anew.
    bool alreadySent = false;
    if (auto self = weak.lock()) {
        const auto& settings = *self->environment_.settings;
        const auto sentTo = settings.stringValue(settingsKey::lastNotifiedIMessageAddress);
        alreadySent = settings.stringValue(settingsKey::lastNotifiedRemoteEndpoint) == endpoint && (!sentTo || *sentTo == address);
    } else {
        co_return;
    }
    if (alreadySent) {
        setStatus(wording.notificationAlreadySent);
        co_return;
    }
    auto sendBoth = [notifier, endpoint, address] {
        // The explanation first, then the bare address, which is easy to copy on the phone.
        return !notifier->send(std::string(remote::MessagesNotifier::addressChangedMessage), address) &&
               !notifier->send(endpoint, address);
    };
    bool sent;
    if (queue)
        sent = co_await runtime::runOn(queue, std::move(sendBoth));
    else
        sent = sendBoth();
    auto self = weak.lock();
    if (!self)
        co_return;
    if (sent) {
        self->environment_.settings->setString(settingsKey::lastNotifiedRemoteEndpoint, endpoint);
        self->environment_.settings->setString(settingsKey::lastNotifiedIMessageAddress, address);
        self->assign(self->iMessageStatus_, wording.notificationSent);
    } else {
        self->assign(self->iMessageStatus_, wording.notificationSendFailed);
    }
}

}  // namespace kestrio::model
