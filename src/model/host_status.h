#pragma once

// The model's state that the window and the status lines show as text. The model keeps these
// typed; the texts are rendered only where they are shown.

#include "desktop/platform_wording.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kestrio::model {

// The error shown while the viewer link cannot listen.
inline constexpr std::string_view listenerFailedText = "수신 대기 실패";
inline constexpr std::string_view mirrorFallbackText = "확장 모니터 생성 실패 · 화면 미러링으로 전송 시작";
// A viewer from outside the home network named no phone that may connect from there.
inline constexpr std::string_view outsiderRefusedText = "외부 연결 거부됨 · 같은 네트워크에서 연결한 적 있는 iPhone만 외부에서 연결할 수 있습니다";
inline constexpr std::string_view outsiderRefusedEnglishText =
    "Refused a connection from outside: only an iPhone that has connected on this network can connect remotely.";
// The viewer sent input faster than it could be posted, for longer than the backlog allows: its
// connection was ended (the link's description of it, and the error shown while none is connected).
inline constexpr std::string_view inputFloodText = "입력이 너무 많아 연결을 끊음";
// A settings change has not reached the settings file yet; the row's button tries again, and the
// headless status says when the file has it.
inline constexpr std::string_view settingsUnsavedText = "설정을 저장하지 못했습니다";
inline constexpr std::string_view settingsUnsavedEnglishText = "Settings could not be saved";
inline constexpr std::string_view settingsRetryText = "다시 시도";
inline constexpr std::string_view settingsRetryEnglishText = "Try Again";
inline constexpr std::string_view settingsSavedText = "설정 저장됨";
inline constexpr std::string_view settingsSavedEnglishText = "Settings saved";

// The host's own address on the home network.
struct LocalAddress {
    enum class State { checking, none, known };
    State state = State::checking;
    std::string address;  // when known
    bool operator==(const LocalAddress&) const = default;
};

// "확인 중", "확인 불가" or the address.
std::string text(const LocalAddress& local);

// The browser viewer's page, when the host serves it: its port and this run's pairing code.
struct BrowserPage {
    std::uint16_t port = 0;
    std::string code;
};

// The page's address with the code in it (which pairs without typing), on the host's local
// address; none while that is not known.
std::optional<std::string> browserLink(const BrowserPage& page, const LocalAddress& local);
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

// The error the window shows in place of the waiting title.
struct HostError {
    enum class Kind {
        failure,                    // `detail` says what failed
        listenerFailed,             // the viewer link cannot listen; cleared once it can
        outsiderRefused,            // says less than any other error, so it never hides one
        inputFlood,                 // likewise
        screenPermission,           // the display list cannot be read without the permission
        virtualMonitorNotShown,     // made, but never listed among the displays
        displayChanged,             // the streamed display went away; `detail` names the one streamed now
        launchAtLoginEnableFailed,  // the desktop refused the login item
        launchAtLoginDisableFailed,
    };
    Kind kind = Kind::failure;
    std::string detail;
    bool operator==(const HostError&) const = default;

    // A failure that `detail` describes.
    static HostError failed(std::string detail) { return {Kind::failure, std::move(detail)}; }
};

std::string text(const HostError& error, const PlatformWording& wording);

// The line before the address in the waiting status: what the host found of the user's phones,
// or that it streams a mirror instead of the monitor it could not make.
struct LaunchMessage {
    enum class Kind { searching, listingFailed, usingSaved, noPairedPhones, choosePhone, selected, remembered, mirrorFallback };
    Kind kind = Kind::searching;
    std::string phoneName;    // selected, remembered
    std::size_t phoneCount = 0;  // choosePhone
    bool operator==(const LaunchMessage&) const = default;
};

std::string text(const LaunchMessage& message, const PlatformWording& wording);

}  // namespace kestrio::model
