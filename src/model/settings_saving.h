#pragma once

#include "model/change_notice.h"
#include "model/shared_facilities.h"
#include "runtime/clock.h"

#include <chrono>
#include <memory>

namespace kestrio::model {

// Whether a change to the stored settings has yet to reach lasting storage (a read-only folder,
// a full disk), for the warning the window and the status lines show meanwhile. Whichever part
// or program component wrote the change, the store tells when its saved state turns; while it is
// unsaved the owed write is tried again every retryInterval, besides with every change. Runs on
// the main executor.
class SettingsSaving final : public std::enable_shared_from_this<SettingsSaving> {
public:
    static constexpr runtime::Duration retryInterval = std::chrono::seconds(30);

    SettingsSaving(SharedFacilities shared, ChangeNotice notice);

    // Follows the store from now on.
    void start();
    // Stops following it and trying again.
    void shutdown();

    // A change is stored in memory only.
    bool pending() const { return pending_; }
    // Tries the owed write at once.
    void retry();

private:
    void follow();
    void retryDue();

    SharedFacilities shared_;
    ChangeNotice notice_;
    bool shutDown_ = false;
    bool pending_ = false;
    bool retryScheduled_ = false;
    runtime::TimerHandle retryTimer_;
};

}  // namespace kestrio::model
