#pragma once

#include <string_view>

namespace kestrio::model {

// Keys of the settings store.
namespace settingsKey {
inline constexpr std::string_view autoStartOnConnect = "autoStartOnConnect";
inline constexpr std::string_view launchAtLogin = "launchAtLogin";
// The address notification's recipient and switch. The stored names are older than the other
// platforms and stay as they are, so that existing settings files still read.
inline constexpr std::string_view notificationAddress = "iMessageAddress";
inline constexpr std::string_view notificationsEnabled = "iMessageNotificationsEnabled";
inline constexpr std::string_view selectedPhoneID = "selectedPhoneID";
inline constexpr std::string_view selectedPhoneName = "selectedPhoneName";
inline constexpr std::string_view lastNotifiedRemoteEndpoint = "lastNotifiedRemoteEndpoint";
// The address (trimmed) that lastNotifiedRemoteEndpoint was sent to. Settings written before it
// existed lack it: their endpoint counts as sent to whatever address is stored.
inline constexpr std::string_view lastNotifiedAddress = "lastNotifiedIMessageAddress";
// The identifiers of phones that have connected from the home network, one per line, oldest
// first: these may also connect from outside.
inline constexpr std::string_view homeNetworkPhoneIDs = "homeNetworkPhoneIDs";
// True when the selected phone's identifier is known to be the phone's own: sent by the phone
// itself or listed by the device tools, not made up from a name. Only then may the selected
// phone connect from outside.
inline constexpr std::string_view selectedPhoneIDVerified = "selectedPhoneIDVerified";
}  // namespace settingsKey

}  // namespace kestrio::model
