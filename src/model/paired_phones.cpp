// The user's phones: the device listing, the chosen phone and the phone that connected last.
#include "model/host_model.h"

#include "phones/name_ordering.h"
#include "runtime/white_space.h"

#include <algorithm>

namespace kestrio::model {

namespace {

constexpr std::string_view defaultPhoneName = "iPhone";
std::string trimmed(std::string_view text)
{
    return std::string(runtime::trimmedWhiteSpace(text));
}

// Whether a saved identifier looks like one the device tools address a phone by: long, no
// spaces, and not a host name on the local network.
bool looksLikeDeviceIdentifier(const std::string& id)
{
    if (id.size() < 20 || id.find(' ') != std::string::npos)
        return false;
    std::string lower = id;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return !lower.ends_with(".local");
}

}  // namespace

runtime::Task<void> HostModel::refreshPhones()
{
    if (isRefreshingPhones_)
        co_return;
    assign(isRefreshingPhones_, true);
    assign(phoneLaunchMessage_, std::optional<std::string>("페어링된 iPhone을 찾는 중…"));

    auto lister = environment_.deviceLister;
    auto list = [lister] { return lister->listPairedDevices(); };
    phones::DeviceListResult result;
    result = co_await runtime::runOn(environment_.phoneQueue, std::move(list));

    assign(isRefreshingPhones_, false);
    if (result.error) {
        keepSavedPhone();
        assign(phoneLaunchMessage_, std::optional<std::string>(pairedPhones_.empty() ? "기기 검색 실패 · iPhone 앱을 한 번 직접 열어 주세요"
                                                                                     : "저장된 iPhone 사용"));
        co_return;
    }
    assign(pairedPhones_, std::move(result.phones));
    listedPhoneIDs_.clear();
    for (const auto& phone : pairedPhones_)
        listedPhoneIDs_.insert(phone.id);
    // The device tools vouch for a listed phone's identifier.
    if (!selectedPhoneID_.empty() && listedPhoneIDs_.count(selectedPhoneID_) != 0)
        selectPhone(selectedPhoneID_, true);
    keepSavedPhone();
    if (selectedPhoneID_.empty() && pairedPhones_.size() == 1)
        setSelectedPhoneID(pairedPhones_.front().id);

    if (pairedPhones_.empty()) {
        assign(phoneLaunchMessage_, std::optional<std::string>(environment_.wording.noPairedPhones));
    } else if (selectedPhoneID_.empty()) {
        assign(phoneLaunchMessage_,
               std::optional<std::string>("iPhone " + std::to_string(pairedPhones_.size()) + "대 발견 · 사용할 기기를 선택하세요"));
    } else {
        const auto selected = std::find_if(pairedPhones_.begin(), pairedPhones_.end(),
                                           [&](const PairedIPhone& phone) { return phone.id == selectedPhoneID_; });
        if (selected != pairedPhones_.end())
            assign(phoneLaunchMessage_, std::optional<std::string>("‘" + selected->name + "’ 선택됨"));
    }
}

void HostModel::keepSavedPhone()
{
    if (selectedPhoneID_.empty())
        return;
    if (std::any_of(pairedPhones_.begin(), pairedPhones_.end(), [&](const PairedIPhone& phone) { return phone.id == selectedPhoneID_; }))
        return;
    PairedIPhone saved;
    saved.id = selectedPhoneID_;
    saved.name = environment_.settings->stringValue(settingsKey::selectedPhoneName).value_or(std::string(defaultPhoneName));
    saved.model = "저장된 기기";
    if (looksLikeDeviceIdentifier(selectedPhoneID_))
        saved.deviceID = selectedPhoneID_;
    willChange();
    pairedPhones_.push_back(std::move(saved));
}

void HostModel::setSelectedPhoneID(std::string id)
{
    const bool verified = listedPhoneIDs_.count(id) != 0 ||
                          std::find(homeNetworkPhoneIDs_.begin(), homeNetworkPhoneIDs_.end(), id) != homeNetworkPhoneIDs_.end() ||
                          (id == selectedPhoneID_ && selectedPhoneVerified_);
    selectPhone(std::move(id), verified);
}

void HostModel::selectPhone(std::string id, bool verified)
{
    assign(selectedPhoneID_, std::move(id));
    selectedPhoneVerified_ = verified && !selectedPhoneID_.empty();
    environment_.settings->setString(settingsKey::selectedPhoneID, selectedPhoneID_);
    environment_.settings->setBool(settingsKey::selectedPhoneIDVerified, selectedPhoneVerified_);
    publishTrustedPhones();
    const auto phone = std::find_if(pairedPhones_.begin(), pairedPhones_.end(),
                                    [&](const PairedIPhone& candidate) { return candidate.id == selectedPhoneID_; });
    if (phone != pairedPhones_.end())
        environment_.settings->setString(settingsKey::selectedPhoneName, phone->name);
}

bool HostModel::trustedFromOutside(const std::string& identifier) const
{
    return (identifier == selectedPhoneID_ && selectedPhoneVerified_) ||
           std::find(homeNetworkPhoneIDs_.begin(), homeNetworkPhoneIDs_.end(), identifier) != homeNetworkPhoneIDs_.end();
}

void HostModel::rememberConnectedPhone(const link::ViewerIdentity& identity)
{
    std::string name = trimmed(identity.name);
    if (name.empty())
        name = defaultPhoneName;
    std::string identifier = trimmed(identity.identifier);
    if (identifier.empty())
        identifier = name;
    // Only an identifier the phone sent itself can open the door from outside: a name is easily
    // guessed, and a viewer that came in from outside may choose only among the trusted.
    if (!identity.fromHomeNetwork && !(identity.identifierGiven && trustedFromOutside(identity.identifier))) {
        willChange();
        connectedViewerIdentity_.emplace(name, identifier);
        return;
    }
    if (identity.fromHomeNetwork && identity.identifierGiven)
        rememberHomeNetworkPhone(identity.identifier);
    willChange();
    connectedViewerIdentity_.emplace(name, identifier);

    const auto match = std::find_if(pairedPhones_.begin(), pairedPhones_.end(), [&](const PairedIPhone& phone) {
        return phone.id == identifier || (identity.fromHomeNetwork && phones::localizedCaseInsensitiveEqual(phone.name, name));
    });
    if (match != pairedPhones_.end()) {
        setSelectedPhoneID(match->id);
    } else {
        pairedPhones_.push_back({identifier, name, "현재 연결된 기기", "네트워크", std::nullopt});
        phones::sortByName(pairedPhones_);
        setSelectedPhoneID(identifier);
    }
    // The name the viewer gave wins over the listed one.
    environment_.settings->setString(settingsKey::selectedPhoneName, name);
    assign(phoneLaunchMessage_, std::optional<std::string>("‘" + name + "’ 연결 내역 저장됨"));
}

void HostModel::loadHomeNetworkPhones()
{
    const std::string stored = environment_.settings->stringValue(settingsKey::homeNetworkPhoneIDs).value_or("");
    std::size_t start = 0;
    while (start < stored.size()) {
        const std::size_t end = std::min(stored.find('\n', start), stored.size());
        if (end > start)
            homeNetworkPhoneIDs_.push_back(stored.substr(start, end - start));
        start = end + 1;
    }
    publishTrustedPhones();
}

void HostModel::rememberHomeNetworkPhone(const std::string& identifier)
{
    // A line break would split the identifier when stored; no phone sends one.
    if (identifier.empty() || identifier.find_first_of("\r\n") != std::string::npos)
        return;
    if (!homeNetworkPhoneIDs_.empty() && homeNetworkPhoneIDs_.back() == identifier)
        return;
    std::erase(homeNetworkPhoneIDs_, identifier);
    homeNetworkPhoneIDs_.push_back(identifier);
    if (homeNetworkPhoneIDs_.size() > maxHomeNetworkPhones) {
        // The oldest goes, but never the selected phone nor one the device tools list: a burst
        // of new identifiers on the home network cannot lock them out.
        const auto oldest = std::find_if(homeNetworkPhoneIDs_.begin(), homeNetworkPhoneIDs_.end(),
                                         [&](const std::string& id) {
                                             return id != selectedPhoneID_ && id != identifier && listedPhoneIDs_.count(id) == 0;
                                         });
        if (oldest == homeNetworkPhoneIDs_.end()) {
            homeNetworkPhoneIDs_.pop_back();
            return;
        }
        homeNetworkPhoneIDs_.erase(oldest);
    }
    std::string stored;
    for (const auto& id : homeNetworkPhoneIDs_)
        stored += id + "\n";
    environment_.settings->setString(settingsKey::homeNetworkPhoneIDs, stored);
    publishTrustedPhones();
}

void HostModel::publishTrustedPhones()
{
    if (!environment_.trustedPhones)
        return;
    std::set<std::string> trusted(homeNetworkPhoneIDs_.begin(), homeNetworkPhoneIDs_.end());
    if (selectedPhoneVerified_)
        trusted.insert(selectedPhoneID_);
    environment_.trustedPhones->replace(std::move(trusted));
}

void HostModel::handleOutsiderRefused()
{
    // A refusal says less than any other error, so it never hides one.
    if (!errorMessage_ || errorReason_ == ErrorReason::outsiderRefused)
        setError(ErrorReason::outsiderRefused, outsiderRefusedText);
}

}  // namespace kestrio::model
