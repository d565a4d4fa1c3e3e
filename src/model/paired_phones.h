#pragma once

#include "link/peer_trust.h"
#include "link/viewer_identity.h"
#include "model/change_notice.h"
#include "model/host_status.h"
#include "model/settings_store.h"
#include "model/shared_facilities.h"
#include "phones/device_lister.h"
#include "phones/paired_iphone.h"
#include "runtime/executor.h"
#include "runtime/task.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kestrio::model {

using phones::PairedIPhone;

// How many phones are remembered as having connected from the home network.
inline constexpr std::size_t maxHomeNetworkPhones = 32;

// The user's phones: the device listing, the chosen phone, the phones that have connected from
// the home network (which alone may connect from outside), and the viewer that named itself
// last. Runs on the main executor.
class PairedPhones final {
public:
    // The phones' own facilities, beside the shared ones.
    struct Environment {
        std::shared_ptr<phones::DeviceLister> deviceLister;
        std::shared_ptr<runtime::Executor> phoneQueue;  // runs the device listing
        // Kept up to date with the phones that may connect from outside.
        std::shared_ptr<link::TrustedPhones> trustedPhones;
    };
    // What the phones report to the rest of the model.
    struct Hooks {
        // What the search found, for the waiting status.
        std::function<void(LaunchMessage)> showMessage;
    };

    PairedPhones(SharedFacilities shared, Environment environment, Hooks hooks, ChangeNotice notice);

    // Reads the stored choice and the phones of the home network.
    void load();

    const std::vector<PairedIPhone>& phones() const { return phones_; }
    const std::string& selectedPhoneID() const { return selectedID_; }
    bool isRefreshing() const { return isRefreshing_; }
    // The viewer that last identified itself (name, identifier).
    const std::optional<std::pair<std::string, std::string>>& connectedViewer() const { return connectedViewer_; }

    runtime::Task<void> refresh();
    // Selects a phone and stores the choice (its name too, when the phone is listed).
    void select(std::string id);
    // A viewer named itself in its handshake.
    void rememberConnected(const link::ViewerIdentity& identity);

private:
    // Selects a phone; `verified`: its identifier is the phone's own.
    void selectVerified(std::string id, bool verified);
    // Whether a phone with this identifier may connect from outside.
    bool trustedFromOutside(const std::string& identifier) const;
    void rememberHomeNetworkPhone(const std::string& identifier);
    void publishTrustedPhones();
    void keepSavedPhone();

    SharedFacilities shared_;
    Environment environment_;
    Hooks hooks_;
    ChangeNotice notice_;
    std::vector<PairedIPhone> phones_;
    std::string selectedID_;
    bool selectedVerified_ = false;
    bool isRefreshing_ = false;
    std::vector<std::string> homeNetworkPhoneIDs_;  // oldest first
    std::set<std::string> listedPhoneIDs_;           // by the last device listing that succeeded
    std::optional<std::pair<std::string, std::string>> connectedViewer_;
};

}  // namespace kestrio::model
