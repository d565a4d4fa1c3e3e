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

}  // namespace kestrio::model
