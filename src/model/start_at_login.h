#pragma once

#include "model/change_notice.h"
#include "model/login_item.h"
#include "model/settings_store.h"

#include <memory>

namespace kestrio::model {

// Whether the host starts when the user logs in: the toggle's state, kept in step with the
// desktop's login item and stored.
class StartAtLogin {
public:
    StartAtLogin(std::shared_ptr<LoginItemService> service, std::shared_ptr<SettingsStore> settings, ChangeNotice notice);

    bool enabled() const { return enabled_; }
    // The stored choice, or the desktop's when none is stored.
    void load();
    // The desktop's, which the user may have changed outside the host.
    void refresh();
    // Turns starting at login on or off. The toggle shows the request at once and falls back
    // when the desktop refuses; false then.
    bool set(bool enabled);

private:
    bool registered() const;

    std::shared_ptr<LoginItemService> service_;
    std::shared_ptr<SettingsStore> settings_;
    ChangeNotice notice_;
    bool enabled_ = false;
};

}  // namespace kestrio::model
