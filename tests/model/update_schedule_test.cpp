// The update check by itself (on start, then daily, never twice within a day across restarts)
// and its outcomes as status lines of a host without a window.
#include "app/status_printer.h"
#include "app/update_schedule.h"
#include "support/host_fakes.h"
#include "updates/feed_fakes.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;
using updates::UpdateState;

constexpr const char* feed = "https://updates.example.com/appcast.xml";
constexpr std::chrono::seconds startDate{1796688000};  // 2026-12-08 00:00:00 UTC

// Runs of the host: a checker and its schedule over the settings, which outlive them.
class UpdateScheduleTest : public ::testing::Test {
protected:
    int startHost(std::string feedURL = feed)
    {
        schedule.reset();
        checker = std::make_shared<updates::UpdateChecker>(main, main, fetcher, updates::UpdateChecker::Options{"1", feedURL});
        schedule = app::UpdateSchedule::start(
            {checker, settings, main, clock, [this] { return std::chrono::system_clock::time_point(startDate) + (clock->now() - runtime::TimePoint{}); }});
        return fetchesAfter(0s);
    }
    int fetchesAfter(runtime::Duration step)
    {
        clock->advance(step);
        main->runUntilIdle();
        return static_cast<int>(fetcher->calls.size());
    }
    static std::string dateText(std::chrono::seconds sinceStart) { return std::to_string((startDate + sinceStart).count()); }
    std::optional<std::string> storedTime() const { return settings->stringValue(updates::lastCheckTimeSettingKey); }

    std::shared_ptr<runtime::VirtualClock> clock = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<runtime::ManualExecutor> main = std::make_shared<runtime::ManualExecutor>();
    std::shared_ptr<RecordingFeedFetcher> fetcher = std::make_shared<RecordingFeedFetcher>();
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    std::shared_ptr<updates::UpdateChecker> checker;
    std::shared_ptr<app::UpdateSchedule> schedule;
};

TEST_F(UpdateScheduleTest, ChecksOnStartAtMostOnceADayAcrossRestarts)
{
    fetcher->result = feedWithVersion("1");
    clock->advance(10h);
    EXPECT_EQ(startHost(), 1);
    EXPECT_EQ(storedTime(), dateText(10h));
    clock->advance(23h);
    EXPECT_EQ(startHost(), 1) << "a restart within the day does not check";
    EXPECT_EQ(fetchesAfter(59min), 1);
    EXPECT_EQ(fetchesAfter(1min), 2) << "a day after the last check, while running";
    EXPECT_EQ(storedTime(), dateText(34h));
    EXPECT_EQ(fetchesAfter(24h), 3);
    clock->advance(5h);
    checker->checkForUpdates();
    EXPECT_EQ(fetchesAfter(23h), 4) << "a check by hand moves the next one a day after it";
    EXPECT_EQ(fetchesAfter(1h), 5);
}

TEST_F(UpdateScheduleTest, WhatTheStoredTimeMeansOnStart)
{
    struct Case {
        const char* name;
        std::optional<std::string> stored;
        bool checks;
        std::string feedURL = feed;
    };
    const Case cases[] = {
        {"never checked", std::nullopt, true},
        {"a minute short of a day ago", dateText(-24h + 1min), false},
        {"a day ago", dateText(-24h), true},
        {"ahead of the clock, which was set back", dateText(2h), true},
        {"not a time", "yesterday", true},
        {"not a whole number", dateText(0s) + ".5", true},
        {"no feed", std::nullopt, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings = std::make_shared<MemorySettingsStore>();
        if (c.stored)
            settings->setString(updates::lastCheckTimeSettingKey, *c.stored);
        fetcher->calls.clear();
        EXPECT_EQ(startHost(c.feedURL), c.checks ? 1 : 0);
        EXPECT_EQ(storedTime(), c.checks ? std::optional(dateText(0s)) : c.stored);
    }
    schedule.reset();
    EXPECT_EQ(clock->pendingTimers(), 0u) << "a schedule that is gone waits for nothing";
}

TEST(UpdateStatusLines, EachOutcomeIsPrintedOnceWithoutTheChecking)
{
    std::ostringstream out;
    app::StatusPrinter printer(out);
    const UpdateState checking{UpdateState::Kind::checking, {}, {}, {}, {}};
    const UpdateState upToDate{UpdateState::Kind::upToDate, "1.2", "https://example.com/kestrio-1.2.deb", {}, {}};
    const UpdateState newer{UpdateState::Kind::updateAvailable, "1.3", "https://example.com/kestrio-1.3.deb", {}, {}};
    const UpdateState failed{UpdateState::Kind::failed, {}, {}, {}, "HTTP 404"};
    for (const auto& state : {UpdateState{}, checking, upToDate, upToDate, checking, upToDate, checking, newer, checking, failed})
        printer.showUpdate(state);
    EXPECT_EQ(out.str(), "update: 최신 버전 사용 중\nKestrio is up to date\n"
                         "update: 최신 버전 사용 중\nKestrio is up to date\n"
                         "update: 새 버전 사용 가능 · 1.3\nVersion 1.3 is available\ndownload: https://example.com/kestrio-1.3.deb\n"
                         "update: 업데이트 확인 실패 · HTTP 404\nCould not check for updates: HTTP 404\n");
}

}  // namespace
}  // namespace kestrio::test
