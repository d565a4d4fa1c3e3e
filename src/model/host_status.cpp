#include "model/host_status.h"

namespace kestrio::model {

std::string text(const LocalAddress& local)
{
    switch (local.state) {
    case LocalAddress::State::checking:
        return "확인 중";
    case LocalAddress::State::none:
        return "확인 불가";
    case LocalAddress::State::known:
        break;
    }
    return local.address;
}

std::string endpointText(const RemoteAccess& remote)
{
    switch (remote.state) {
    case RemoteAccess::State::mapping:
        return "확인 중";
    case RemoteAccess::State::unavailable:
        return "사용할 수 없음";
    case RemoteAccess::State::off:
        return "자동 포트 연결 꺼짐\nAutomatic port mapping is off";
    case RemoteAccess::State::ready:
        break;
    }
    return remote.address + ":" + std::to_string(remote.port);
}

std::string statusText(const RemoteAccess& remote)
{
    switch (remote.state) {
    case RemoteAccess::State::mapping:
        return "공유기 자동 포트 연결 중…";
    case RemoteAccess::State::ready:
        return "자동 포트 연결 준비됨";
    case RemoteAccess::State::off:
        return "자동 포트 연결 꺼짐";
    case RemoteAccess::State::unavailable:
        break;
    }
    return remote.failure;
}

std::string text(NotificationStatus status, const PlatformWording& wording)
{
    switch (status) {
    case NotificationStatus::off:
        return wording.notificationOff;
    case NotificationStatus::needsAddress:
        return wording.notificationNeedsAddress;
    case NotificationStatus::willSend:
        return wording.notificationWillSend;
    case NotificationStatus::waiting:
        return wording.notificationWaiting;
    case NotificationStatus::sent:
        return wording.notificationSent;
    case NotificationStatus::alreadySent:
        return wording.notificationAlreadySent;
    case NotificationStatus::unavailable:
        return wording.notificationUnavailable;
    case NotificationStatus::sendFailed:
        break;
    }
    return wording.notificationSendFailed;
}

bool isFailure(NotificationStatus status, const PlatformWording& wording)
{
    return needsSettings(status) && wording.notificationTroubleIsFailure;
}

bool needsSettings(NotificationStatus status)
{
    return status == NotificationStatus::unavailable || status == NotificationStatus::sendFailed;
}

std::string text(const HostError& error, const PlatformWording& wording)
{
    switch (error.kind) {
    case HostError::Kind::listenerFailed:
        return std::string(listenerFailedText);
    case HostError::Kind::outsiderRefused:
        return std::string(outsiderRefusedText);
    case HostError::Kind::inputFlood:
        return std::string(inputFloodText);
    case HostError::Kind::screenPermission:
        return wording.screenPermissionError;
    case HostError::Kind::virtualMonitorNotShown:
        return wording.virtualMonitorNotShown;
    case HostError::Kind::launchAtLoginEnableFailed:
        return wording.launchAtLoginEnableFailed;
    case HostError::Kind::launchAtLoginDisableFailed:
        return wording.launchAtLoginDisableFailed;
    case HostError::Kind::displayChanged:
        return "스트리밍하던 디스플레이가 사라져 ‘" + error.detail + "’ 화면을 보냄 · The streamed display went away: now streaming " +
               error.detail;
    case HostError::Kind::failure:
        break;
    }
    return error.detail;
}

std::optional<std::string> browserLink(const BrowserPage& page, const LocalAddress& local)
{
    if (local.state != LocalAddress::State::known || local.address.empty())
        return std::nullopt;
    const bool six = local.address.find(':') != std::string::npos;
    return "http://" + (six ? "[" + local.address + "]" : local.address) + ":" + std::to_string(page.port) + "/#" + page.code;
}

std::string text(const LaunchMessage& message, const PlatformWording& wording)
{
    switch (message.kind) {
    case LaunchMessage::Kind::searching:
        return "페어링된 iPhone을 찾는 중…";
    case LaunchMessage::Kind::listingFailed:
        return "기기 검색 실패 · iPhone 앱을 한 번 직접 열어 주세요";
    case LaunchMessage::Kind::usingSaved:
        return "저장된 iPhone 사용";
    case LaunchMessage::Kind::noPairedPhones:
        return wording.noPairedPhones;
    case LaunchMessage::Kind::choosePhone:
        return "iPhone " + std::to_string(message.phoneCount) + "대 발견 · 사용할 기기를 선택하세요";
    case LaunchMessage::Kind::selected:
        return "‘" + message.phoneName + "’ 선택됨";
    case LaunchMessage::Kind::remembered:
        return "‘" + message.phoneName + "’ 연결 내역 저장됨";
    case LaunchMessage::Kind::mirrorFallback:
        break;
    }
    return std::string(mirrorFallbackText);
}

}  // namespace kestrio::model
