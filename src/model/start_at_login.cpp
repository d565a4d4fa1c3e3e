#include "model/start_at_login.h"

#include "model/settings_keys.h"

namespace kestrio::model {

StartAtLogin::StartAtLogin(std::shared_ptr<LoginItemService> service, std::shared_ptr<SettingsStore> settings, ChangeNotice notice)
    : service_(std::move(service)), settings_(std::move(settings)), notice_(std::move(notice))
{
}

bool StartAtLogin::registered() const
{
    return service_->status() == LoginItemService::Status::enabled;
}

void StartAtLogin::load()
{
    enabled_ = settings_->boolValue(settingsKey::launchAtLogin).value_or(registered());
}

void StartAtLogin::refresh()
{
    notice_.assign(enabled_, registered());
}

bool StartAtLogin::set(bool enabled)
{
    const auto wanted = enabled ? LoginItemService::Status::enabled : LoginItemService::Status::notRegistered;
    if (enabled_ == enabled && service_->status() == wanted)
        return true;
    const bool previous = enabled_;
    notice_.assign(enabled_, enabled);
    if (enabled ? service_->registerItem() : service_->unregisterItem()) {
        notice_.assign(enabled_, previous);
        return false;
    }
    refresh();
    settings_->setBool(settingsKey::launchAtLogin, enabled_);
    return true;
}

}  // namespace kestrio::model
