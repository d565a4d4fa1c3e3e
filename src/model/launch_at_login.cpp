// Starting the host when the user logs in.
#include "model/mac_screen_model.h"

namespace kestrio::model {

bool MacScreenModel::loginItemEnabled() const
{
    return environment_.loginItem && environment_.loginItem->status() == LoginItemService::Status::enabled;
}

runtime::Task<void> MacScreenModel::setLaunchAtLogin(bool enabled)
{
    auto service = environment_.loginItem;
    const auto status = service ? service->status() : LoginItemService::Status::notFound;
    const auto wanted = enabled ? LoginItemService::Status::enabled : LoginItemService::Status::notRegistered;
    if (launchAtLogin_ == enabled && status == wanted)
        co_return;
    const bool previous = launchAtLogin_;
    assign(launchAtLogin_, enabled);

    std::optional<std::string> error;
    if (!service)
        error = "no login item service";
    else
        error = enabled ? service->registerItem() : service->unregisterItem();
    if (error) {
        assign(launchAtLogin_, previous);
        const auto& wording = environment_.wording;
        setErrorMessage(enabled ? wording.launchAtLoginEnableFailed : wording.launchAtLoginDisableFailed);
        co_return;
    }
    assign(launchAtLogin_, loginItemEnabled());
    environment_.settings->setBool(settingsKey::launchAtLogin, launchAtLogin_);
}

}  // namespace kestrio::model
