// The user's phones: the device listing, the chosen phone and the phone that connected last.
#include "model/paired_phones.h"

#include "model/settings_keys.h"

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

PairedPhones::PairedPhones(SharedFacilities shared, Environment environment, Hooks hooks, ChangeNotice notice)
    : shared_(std::move(shared)), environment_(std::move(environment)), hooks_(std::move(hooks)), notice_(std::move(notice))
{
}

void PairedPhones::load()
{
    auto& settings = *shared_.settings;
    selectedID_ = settings.stringValue(settingsKey::selectedPhoneID).value_or("");
    // A selection stored before its origin was recorded is not trusted from outside until the
    // phone names itself on the home network again.
    selectedVerified_ = !selectedID_.empty() && settings.boolValue(settingsKey::selectedPhoneIDVerified).value_or(false);
    const std::string stored = settings.stringValue(settingsKey::homeNetworkPhoneIDs).value_or("");
    std::size_t start = 0;
    while (start < stored.size()) {
        const std::size_t end = std::min(stored.find('\n', start), stored.size());
        if (end > start)
            homeNetworkPhoneIDs_.push_back(stored.substr(start, end - start));
        start = end + 1;
    }
    publishTrustedPhones();
}

runtime::Task<void> PairedPhones::refresh()
{
    if (isRefreshing_)
        co_return;
    notice_.assign(isRefreshing_, true);
    hooks_.showMessage({LaunchMessage::Kind::searching, {}, 0});

    auto lister = environment_.deviceLister;
    auto list = [lister] { return lister->listPairedDevices(); };
    phones::DeviceListResult result;
    result = co_await runtime::runOn(environment_.phoneQueue, std::move(list));

    notice_.assign(isRefreshing_, false);
    if (result.error) {
        keepSavedPhone();
        hooks_.showMessage({phones_.empty() ? LaunchMessage::Kind::listingFailed : LaunchMessage::Kind::usingSaved, {}, 0});
        co_return;
    }
    notice_.assign(phones_, std::move(result.phones));
    listedPhoneIDs_.clear();
    for (const auto& phone : phones_)
        listedPhoneIDs_.insert(phone.id);
    // The device tools vouch for a listed phone's identifier.
    if (!selectedID_.empty() && listedPhoneIDs_.count(selectedID_) != 0)
        selectVerified(selectedID_, true);
    keepSavedPhone();
    if (selectedID_.empty() && phones_.size() == 1)
        select(phones_.front().id);

    if (phones_.empty()) {
        hooks_.showMessage({LaunchMessage::Kind::noPairedPhones, {}, 0});
    } else if (selectedID_.empty()) {
        hooks_.showMessage({LaunchMessage::Kind::choosePhone, {}, phones_.size()});
    } else {
        const auto selected = std::find_if(phones_.begin(), phones_.end(),
                                           [&](const PairedIPhone& phone) { return phone.id == selectedID_; });
        if (selected != phones_.end())
            hooks_.showMessage({LaunchMessage::Kind::selected, selected->name, 0});
    }
}

void PairedPhones::keepSavedPhone()
{
    if (selectedID_.empty())
        return;
    if (std::any_of(phones_.begin(), phones_.end(), [&](const PairedIPhone& phone) { return phone.id == selectedID_; }))
        return;
    PairedIPhone saved;
    saved.id = selectedID_;
    saved.name = shared_.settings->stringValue(settingsKey::selectedPhoneName).value_or(std::string(defaultPhoneName));
    saved.model = "저장된 기기";
    if (looksLikeDeviceIdentifier(selectedID_))
        saved.deviceID = selectedID_;
    notice_();
    phones_.push_back(std::move(saved));
}

void PairedPhones::select(std::string id)
{
    const bool verified = listedPhoneIDs_.count(id) != 0 ||
                          std::find(homeNetworkPhoneIDs_.begin(), homeNetworkPhoneIDs_.end(), id) != homeNetworkPhoneIDs_.end() ||
                          (id == selectedID_ && selectedVerified_);
    selectVerified(std::move(id), verified);
}

void PairedPhones::selectVerified(std::string id, bool verified)
{
    notice_.assign(selectedID_, std::move(id));
    selectedVerified_ = verified && !selectedID_.empty();
    shared_.settings->setString(settingsKey::selectedPhoneID, selectedID_);
    shared_.settings->setBool(settingsKey::selectedPhoneIDVerified, selectedVerified_);
    publishTrustedPhones();
    const auto phone = std::find_if(phones_.begin(), phones_.end(),
                                    [&](const PairedIPhone& candidate) { return candidate.id == selectedID_; });
    if (phone != phones_.end())
        shared_.settings->setString(settingsKey::selectedPhoneName, phone->name);
}

bool PairedPhones::trustedFromOutside(const std::string& identifier) const
{
    return (identifier == selectedID_ && selectedVerified_) ||
           std::find(homeNetworkPhoneIDs_.begin(), homeNetworkPhoneIDs_.end(), identifier) != homeNetworkPhoneIDs_.end();
}

void PairedPhones::rememberConnected(const link::ViewerIdentity& identity)
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
        notice_();
        connectedViewer_.emplace(name, identifier);
        return;
    }
    if (identity.fromHomeNetwork && identity.identifierGiven)
        rememberHomeNetworkPhone(identity.identifier);
    notice_();
    connectedViewer_.emplace(name, identifier);

    const auto match = std::find_if(phones_.begin(), phones_.end(), [&](const PairedIPhone& phone) {
        return phone.id == identifier || (identity.fromHomeNetwork && phones::localizedCaseInsensitiveEqual(phone.name, name));
    });
    if (match != phones_.end()) {
        select(match->id);
    } else {
        phones_.push_back({identifier, name, "현재 연결된 기기", "네트워크", std::nullopt});
        phones::sortByName(phones_);
        select(identifier);
    }
    // The name the viewer gave wins over the listed one.
    shared_.settings->setString(settingsKey::selectedPhoneName, name);
    hooks_.showMessage({LaunchMessage::Kind::remembered, name, 0});
}

void PairedPhones::rememberHomeNetworkPhone(const std::string& identifier)
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
                                             return id != selectedID_ && id != identifier && listedPhoneIDs_.count(id) == 0;
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
    shared_.settings->setString(settingsKey::homeNetworkPhoneIDs, stored);
    publishTrustedPhones();
}

void PairedPhones::publishTrustedPhones()
{
    std::set<std::string> trusted(homeNetworkPhoneIDs_.begin(), homeNetworkPhoneIDs_.end());
    if (selectedVerified_)
        trusted.insert(selectedID_);
    environment_.trustedPhones->replace(std::move(trusted));
}

}  // namespace kestrio::model
