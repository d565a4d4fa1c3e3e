#include "app/update_schedule.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace kestrio::app {
namespace {

using Seconds = std::chrono::seconds;

std::optional<std::chrono::system_clock::time_point> storedTime(const model::SettingsStore& settings)
{
    const auto text = settings.stringValue(updates::lastCheckTimeSettingKey);
    if (!text)
        return std::nullopt;
    std::int64_t seconds = 0;
    const auto* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, seconds);
    if (error != std::errc{} || stop != end)
        return std::nullopt;
    return std::chrono::system_clock::time_point(Seconds(seconds));
}

}  // namespace

std::shared_ptr<UpdateSchedule> UpdateSchedule::start(Environment environment)
{
    std::shared_ptr<UpdateSchedule> schedule(new UpdateSchedule(std::move(environment)));
    schedule->begin();
    return schedule;
}

UpdateSchedule::UpdateSchedule(Environment environment) : environment_(std::move(environment)) {}

UpdateSchedule::~UpdateSchedule()
{
    next_.cancel();
}

std::chrono::system_clock::time_point UpdateSchedule::now() const
{
    return environment_.wallTime ? environment_.wallTime() : std::chrono::system_clock::now();
}

void UpdateSchedule::begin()
{
    auto& checker = *environment_.checker;
    wasChecking_ = checker.state().kind == updates::UpdateState::Kind::checking;
    // The checker cannot forget an observer: this one holds the schedule weakly.
    checker.observe([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->checkerChanged();
    });
    if (checker.feedURL().empty())
        return;
    const auto last = storedTime(*environment_.settings);
    const auto current = now();
    if (!last || *last > current || current - *last >= interval)
        due();
    else
        waitFor(std::chrono::duration_cast<runtime::Duration>(interval - (current - *last)));
}

void UpdateSchedule::checkerChanged()
{
    const bool checking = environment_.checker->state().kind == updates::UpdateState::Kind::checking;
    if (std::exchange(wasChecking_, checking) || !checking)
        return;
    // A check started, by the schedule or by hand: it counts from now.
    const auto seconds = std::chrono::duration_cast<Seconds>(now().time_since_epoch()).count();
    environment_.settings->setString(updates::lastCheckTimeSettingKey, std::to_string(seconds));
    waitFor(interval);
}

void UpdateSchedule::due()
{
    auto& checker = *environment_.checker;
    if (checker.canCheckForUpdates())
        checker.checkForUpdates();  // reschedules through checkerChanged()
    else if (!checker.feedURL().empty() && checker.state().kind != updates::UpdateState::Kind::checking)
        waitFor(interval);
}

void UpdateSchedule::waitFor(runtime::Duration delay)
{
    next_.cancel();
    next_ = environment_.clock->schedule(delay, environment_.mainExecutor, [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->due();
    });
}

}  // namespace kestrio::app
