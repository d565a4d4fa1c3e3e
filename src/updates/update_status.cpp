#include "updates/update_status.h"

namespace kestrio::updates {

UpdateStatusText describe(const UpdateState& state)
{
    using Kind = UpdateState::Kind;
    switch (state.kind) {
    case Kind::idle:
        break;
    case Kind::checking:
        return {"업데이트 확인 중…", "Checking for updates…", {}, false};
    case Kind::upToDate:
        return {"최신 버전 사용 중", "Kestrio is up to date", {}, false};
    case Kind::updateAvailable:
        return {"새 버전 사용 가능 · " + state.newestVersion, "Version " + state.newestVersion + " is available",
                state.downloadURL, false};
    case Kind::failed:
        return {"업데이트 확인 실패 · " + state.failure, "Could not check for updates: " + state.failure, {}, true};
    }
    return {};
}

UpdateStatusText packageManagerUpdates()
{
    return {"업데이트는 패키지 관리자로 설치합니다", "Updates come from your package manager", {}, false};
}

}  // namespace kestrio::updates
