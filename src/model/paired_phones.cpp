// The user's phones: the device listing, the chosen phone and the phone that connected last.
#include "model/mac_screen_model.h"

#include "phones/name_ordering.h"

#include <algorithm>

namespace kestrio::model {

namespace {

constexpr std::string_view defaultPhoneName = "iPhone";
constexpr std::string_view whitespace = " \t\n\r\v\f";

std::string trimmed(std::string_view text)
{
    // Line and paragraph separators and the no-break space count as white space too.
    static constexpr std::string_view wideSpaces[] = {"\xC2\x85", "\xC2\xA0", "\xE2\x80\xA8", "\xE2\x80\xA9"};
    bool changed = true;
    while (changed && !text.empty()) {
        changed = false;
        const auto first = text.find_first_not_of(whitespace);
        text = first == std::string_view::npos ? std::string_view{} : text.substr(first);
        const auto last = text.find_last_not_of(whitespace);
        text = last == std::string_view::npos ? std::string_view{} : text.substr(0, last + 1);
        for (const auto space : wideSpaces) {
            if (text.starts_with(space)) {
                text.remove_prefix(space.size());
                changed = true;
            }
            if (text.ends_with(space)) {
                text.remove_suffix(space.size());
                changed = true;
            }
        }
    }
    return std::string(text);
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

runtime::Task<void> MacScreenModel::refreshPhones()
{
    if (isRefreshingPhones_)
        co_return;
    assign(isRefreshingPhones_, true);
    assign(phoneLaunchMessage_, std::optional<std::string>("페어링된 iPhone을 찾는 중…"));

    auto lister = environment_.deviceLister;
    auto list = [lister] {
        return lister ? lister->listPairedDevices()
                      : phones::DeviceListResult{{}, std::string("no device listing on this system")};
    };
    phones::DeviceListResult result;
    if (environment_.phoneQueue)
        result = co_await runtime::runOn(environment_.phoneQueue, std::move(list));
    else
        result = list();

    assign(isRefreshingPhones_, false);
    if (result.error) {
        keepSavedPhone();
        assign(phoneLaunchMessage_, std::optional<std::string>(pairedPhones_.empty() ? "기기 검색 실패 · iPhone 앱을 한 번 직접 열어 주세요"
                                                                                     : "저장된 iPhone 사용"));
        co_return;
    }
    assign(pairedPhones_, std::move(result.phones));
    keepSavedPhone();
    if (selectedPhoneID_.empty() && pairedPhones_.size() == 1)
        setSelectedPhoneID(pairedPhones_.front().id);

    if (pairedPhones_.empty()) {
        assign(phoneLaunchMessage_, std::optional<std::string>("검색된 iPhone 없음 · Xcode에서 먼저 페어링하세요"));
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

void MacScreenModel::keepSavedPhone()
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

void MacScreenModel::setSelectedPhoneID(std::string id)
{
    assign(selectedPhoneID_, std::move(id));
    environment_.settings->setString(settingsKey::selectedPhoneID, selectedPhoneID_);
    const auto phone = std::find_if(pairedPhones_.begin(), pairedPhones_.end(),
                                    [&](const PairedIPhone& candidate) { return candidate.id == selectedPhoneID_; });
    if (phone != pairedPhones_.end())
        environment_.settings->setString(settingsKey::selectedPhoneName, phone->name);
}

void MacScreenModel::rememberConnectedPhone(std::string reportedName, std::string reportedIdentifier)
{
    std::string name = trimmed(reportedName);
    if (name.empty())
        name = defaultPhoneName;
    std::string identifier = trimmed(reportedIdentifier);
    if (identifier.empty())
        identifier = name;
    willChange();
    connectedViewerIdentity_.emplace(name, identifier);

    const auto match = std::find_if(pairedPhones_.begin(), pairedPhones_.end(), [&](const PairedIPhone& phone) {
        return phone.id == identifier || phones::localizedCaseInsensitiveEqual(phone.name, name);
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

}  // namespace kestrio::model
