#include "model/remote_address.h"

#include "model/settings_keys.h"
#include "runtime/white_space.h"

namespace kestrio::model {

std::shared_ptr<remote::MessagesNotifier> messagesOff()
{
    class Off final : public remote::MessageDelivery {
    public:
        std::optional<remote::MessageDeliveryFailure> probe() override { return remote::MessageDeliveryFailure{}; }
        std::optional<remote::MessageDeliveryFailure> deliver(const std::string&, const std::string&) override
        {
            return remote::MessageDeliveryFailure{};
        }
    };
    return std::make_shared<remote::MessagesNotifier>(std::make_shared<Off>());
}

RemoteAddress::RemoteAddress(SharedFacilities shared, Environment environment, runtime::CancellationToken lifetime, ChangeNotice notice)
    : shared_(std::move(shared)), environment_(std::move(environment)), lifetime_(std::move(lifetime)), notice_(std::move(notice))
{
}

void RemoteAddress::start()
{
    auto& settings = *shared_.settings;
    address_ = settings.stringValue(settingsKey::notificationAddress).value_or("");
    committedAddress_ = address_;
    enabled_ = settings.boolValue(settingsKey::notificationsEnabled).value_or(false);
    status_ = NotificationStatus::off;
    if (enabled_)
        status_ = runtime::isBlank(address_) ? NotificationStatus::needsAddress : NotificationStatus::willSend;

    auto& mapping = *environment_.portMapping;
    if (!mapping.enabled()) {
        access_ = {RemoteAccess::State::off, {}, 0, {}};
        return;
    }
    mapping.start(environment_.streamingPort, [weak = weak_from_this()](const remote::NATPortMappingUpdate& update) {
        auto self = weak.lock();
        if (!self)
            return;
        self->shared_.mainExecutor->post([weak, update] {
            auto self = weak.lock();
            if (self && !self->shutDown_)
                self->handleUpdate(update);
        });
    });
}

void RemoteAddress::shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    // An address still being edited is kept, as if the field had been left.
    if (address_ != committedAddress_)
        adoptAddress();
    environment_.portMapping->shutdown();
}

void RemoteAddress::handleUpdate(const remote::NATPortMappingUpdate& update)
{
    if (const auto* ready = std::get_if<remote::NATPortMappingUpdate::Ready>(&update.value)) {
        notice_.assign(access_, RemoteAccess{RemoteAccess::State::ready, ready->address, ready->port, {}});
        sendIfEnabled(endpointText(access_));
    } else {
        const auto& unavailable = std::get<remote::NATPortMappingUpdate::Unavailable>(update.value);
        notice_.assign(access_, RemoteAccess{RemoteAccess::State::unavailable, {}, 0, unavailable.message});
    }
    // Whoever shows the address re-reads it once more.
    notice_();
}

void RemoteAddress::setAddress(std::string address)
{
    notice_.assign(address_, std::move(address));
    pauseTimer_.cancel();
    if (shutDown_ || address_ == committedAddress_)
        return;
    pauseTimer_ = shared_.clock->schedule(notificationAddressPause, shared_.mainExecutor, [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->commitAddress();
    });
}

void RemoteAddress::commitAddress()
{
    if (shutDown_)
        return;
    if (adoptAddress() && enabled_)
        checkReadiness();
}

bool RemoteAddress::adoptAddress()
{
    pauseTimer_.cancel();
    shared_.settings->setString(settingsKey::notificationAddress, address_);
    return std::exchange(committedAddress_, address_) != address_;
}

void RemoteAddress::setNotificationsEnabled(bool on)
{
    // An edit still pending takes effect first, as leaving the field would; switching off sends
    // nothing for it.
    if (address_ != committedAddress_) {
        if (on)
            commitAddress();
        else
            adoptAddress();
    }
    const bool changed = on != enabled_;
    notice_.assign(enabled_, on);
    shared_.settings->setBool(settingsKey::notificationsEnabled, enabled_);
    if (!changed)
        return;
    if (on)
        checkReadiness();
    else
        setStatus(NotificationStatus::off);
}

void RemoteAddress::retry()
{
    if (enabled_)
        checkReadiness();
}

void RemoteAddress::checkReadiness()
{
    if (!hasEndpoint(access_))
        setStatus(NotificationStatus::waiting);
    else
        sendIfEnabled(endpointText(access_));
}

void RemoteAddress::sendIfEnabled(const std::string& endpoint)
{
    if (!enabled_)
        return;
    const std::string address(runtime::trimmedWhiteSpace(committedAddress_));
    if (address.empty()) {
        setStatus(NotificationStatus::needsAddress);
        return;
    }
    runtime::spawn(shared_.mainExecutor, send(weak_from_this(), endpoint, address), lifetime_);
}

// Holds the part only between the steps that touch it: sending may take a while, and nothing
// should keep a closed model alive for it.
runtime::Task<void> RemoteAddress::send(std::weak_ptr<RemoteAddress> weak, std::string endpoint, std::string address)
{
    std::shared_ptr<remote::MessagesNotifier> notifier;
    std::shared_ptr<runtime::Executor> queue;
    {
        auto self = weak.lock();
        if (!self)
            co_return;
        notifier = self->environment_.messagesNotifier;
        queue = self->environment_.notifierQueue;
    }
    const auto setStatus = [&weak](NotificationStatus status) {
        if (auto self = weak.lock())
            self->setStatus(status);
    };

    auto probe = [notifier] { return !notifier->probeAccess(); };
    bool reachable = false;
    reachable = co_await runtime::runOn(queue, std::move(probe));
    if (!reachable) {
        setStatus(NotificationStatus::unavailable);
        co_return;
    }
    // Sent already when this endpoint went to this address; a corrected address gets it anew.
    bool alreadySent = false;
    if (auto self = weak.lock()) {
        const auto& settings = *self->shared_.settings;
        const auto sentTo = settings.stringValue(settingsKey::lastNotifiedAddress);
        alreadySent = settings.stringValue(settingsKey::lastNotifiedRemoteEndpoint) == endpoint && (!sentTo || *sentTo == address);
    } else {
        co_return;
    }
    if (alreadySent) {
        setStatus(NotificationStatus::alreadySent);
        co_return;
    }
    auto sendBoth = [notifier, endpoint, address] {
        // The explanation first, then the bare address, which is easy to copy on the phone.
        return !notifier->send(std::string(remote::MessagesNotifier::addressChangedMessage), address) &&
               !notifier->send(endpoint, address);
    };
    bool sent = false;
    sent = co_await runtime::runOn(queue, std::move(sendBoth));
    auto self = weak.lock();
    if (!self)
        co_return;
    if (sent) {
        self->shared_.settings->setString(settingsKey::lastNotifiedRemoteEndpoint, endpoint);
        self->shared_.settings->setString(settingsKey::lastNotifiedAddress, address);
        self->setStatus(NotificationStatus::sent);
    } else {
        self->setStatus(NotificationStatus::sendFailed);
    }
}

}  // namespace kestrio::model
