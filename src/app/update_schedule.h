#pragma once

#include "model/settings_store.h"
#include "runtime/clock.h"
#include "runtime/executor.h"
#include "updates/update_checker.h"

#include <chrono>
#include <functional>
#include <memory>

namespace kestrio::app {

// Checks the feed by itself: when the host starts and then once a day while it runs, but never
// within a day of the last check, across restarts too. Every check counts, the button's
// included: the time each one starts is kept in the settings (lastCheckTimeSettingKey), and the
// next one by itself is due a day after it. A stored time ahead of the clock (the clock was set
// back) counts as long ago. Without a feed nothing is checked. Used on the main executor only,
// where the checker lives.
class UpdateSchedule final : public std::enable_shared_from_this<UpdateSchedule> {
public:
    static constexpr std::chrono::hours interval{24};

    struct Environment {
        std::shared_ptr<updates::UpdateChecker> checker;
        std::shared_ptr<model::SettingsStore> settings;
        std::shared_ptr<runtime::Executor> mainExecutor;
        // Times the wait for the next check.
        std::shared_ptr<runtime::Clock> clock;
        // The date and time the stored times are in; empty: the system's.
        std::function<std::chrono::system_clock::time_point()> wallTime;
    };

    // Makes the schedule and checks at once when a check is due. Call on the main executor.
    static std::shared_ptr<UpdateSchedule> start(Environment environment);
    ~UpdateSchedule();

    UpdateSchedule(const UpdateSchedule&) = delete;
    UpdateSchedule& operator=(const UpdateSchedule&) = delete;

private:
    explicit UpdateSchedule(Environment environment);
    void begin();
    void checkerChanged();
    void due();
    void waitFor(runtime::Duration delay);
    std::chrono::system_clock::time_point now() const;

    Environment environment_;
    bool wasChecking_ = false;
    runtime::TimerHandle next_;
};

}  // namespace kestrio::app
