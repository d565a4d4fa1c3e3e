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
        setErrorMessage(std::string(enabled ? "Mac 부팅 자동 실행을 켜지 못했습니다" : "Mac 부팅 자동 실행을 끄지 못했습니다"));
        co_return;
    }
    assign(launchAtLogin_, loginItemEnabled());
    environment_.settings->setBool(settingsKey::launchAtLogin, launchAtLogin_);
}

}  // namespace kestrio::model
