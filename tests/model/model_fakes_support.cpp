#include "model/model_fakes_support.h"

#include "capture/display_capture.h"
#include "display/virtual_display_error.h"

#include <cmath>
#include <stdexcept>

namespace kestrio::test {

// Settings -----------------------------------------------------------------------------------

std::optional<bool> MemorySettingsStore::boolValue(std::string_view key) const
{
    const auto found = values.find(key);
    if (found == values.end())
        return std::nullopt;
    const Value& value = found->second;
    if (value.kind == Value::Kind::boolean)
        return value.boolean;
    if (value.kind == Value::Kind::number && (value.number == 0 || value.number == 1))
        return value.number == 1;
    return std::nullopt;
}

std::optional<std::string> MemorySettingsStore::stringValue(std::string_view key) const
{
    const auto found = values.find(key);
    if (found == values.end())
        return std::nullopt;
    const Value& value = found->second;
    switch (value.kind) {
    case Value::Kind::text:
        return value.text;
    case Value::Kind::boolean:
        return value.boolean ? "1" : "0";
    case Value::Kind::number:
        return std::to_string(static_cast<long long>(std::llround(value.number)));
    }
    return std::nullopt;
}

void MemorySettingsStore::setBool(std::string_view key, bool value)
{
    ++writes;
    values.insert_or_assign(std::string(key), Value{Value::Kind::boolean, value, 0, {}});
}

void MemorySettingsStore::setString(std::string_view key, std::string_view value)
{
    ++writes;
    values.insert_or_assign(std::string(key), Value{Value::Kind::text, false, 0, std::string(value)});
}

void MemorySettingsStore::putNumber(std::string_view key, double value)
{
    values.insert_or_assign(std::string(key), Value{Value::Kind::number, false, value, {}});
}

// Viewer link --------------------------------------------------------------------------------

void FakeViewerLink::start()
{
    ++starts;
    if (startThrows)
        throw std::runtime_error("address in use");
    ready = true;
}

void FakeViewerLink::refreshAdvertisement()
{
    ++refreshes;
    submittedRefreshes.push_back(clock_->now().time_since_epoch());
}

void FakeViewerLink::connect(bool canDecodeH264, std::string peer)
{
    connected = true;
    generation = ++connections_;
    h264 = canDecodeH264;
    name = std::move(peer);
    fireStateChange();
}

void FakeViewerLink::disconnect()
{
    connected = false;
    generation = 0;
    h264 = false;
    name = "연결 대기 중";
    fireStateChange();
}

// Displays -----------------------------------------------------------------------------------

std::vector<display::DisplayInfo> FakeDisplayFacility::displays()
{
    ++queries;
    if (queryFails)
        throw std::runtime_error("no X server");
    auto listed = physical;
    if (monitorsAppear) {
        int right = 0;
        for (const auto& display : physical)
            right = std::max(right, display.x + display.width);
        for (const auto id : liveMonitors) {
            display::DisplayInfo monitor;
            monitor.id = id;
            monitor.x = right;
            monitor.width = 1920;
            monitor.height = 1080;
            monitor.name = std::string(display::virtualMonitorName);
            monitor.ownVirtualMonitor = true;
            listed.push_back(monitor);
            right += 1920;
        }
    }
    return listed;
}

std::unique_ptr<display::VirtualMonitor> FakeDisplayFacility::createVirtualMonitor(display::VirtualResolution, int)
{
    ++creations;
    if (clock)
        creationTimes.push_back(clock->now().time_since_epoch());
    if (monitorsFail)
        throw display::VirtualDisplayException(display::VirtualDisplayError::creationFailed);
    return std::make_unique<FakeVirtualMonitor>(nextMonitorID++, liveMonitors);
}

display::DisplayInfo physicalDisplay(std::uint32_t id, int x, int width, int height)
{
    display::DisplayInfo display;
    display.id = id;
    display.x = x;
    display.width = width;
    display.height = height;
    display.name = "DP-" + std::to_string(id);
    return display;
}

// Capture ------------------------------------------------------------------------------------

namespace {

class RecordingSession final : public model::CaptureSession {
public:
    RecordingSession(CaptureLog& log, model::StreamQuality quality, model::StreamFrameRate frameRate)
        : log_(log), quality_(quality), frameRate_(frameRate)
    {
    }
    ~RecordingSession() override { stop(); }

    void start(const display::DisplayInfo& display) override
    {
        if (log_.failingDisplays.contains(display.id))
            throw capture::CaptureError("화면을 캡처할 수 없음");
        log_.runs.push_back({display.id, quality_, frameRate_});
        run_ = log_.runs.size() - 1;
    }
    void stop() override
    {
        if (run_)
            log_.runs[*run_].stopped = true;
    }

private:
    CaptureLog& log_;
    model::StreamQuality quality_;
    model::StreamFrameRate frameRate_;
    std::optional<std::size_t> run_;
};

}  // namespace

model::CaptureSessionFactory CaptureLog::factory()
{
    return [this](model::StreamQuality quality, model::StreamFrameRate frameRate) {
        return std::make_unique<RecordingSession>(*this, quality, frameRate);
    };
}

int CaptureLog::running() const
{
    int count = 0;
    for (const auto& run : runs)
        count += run.stopped ? 0 : 1;
    return count;
}

// Harness ------------------------------------------------------------------------------------

ModelHarness::ModelHarness() : start_(clock->now())
{
    displays->clock = clock;
    displays->physical = {physicalDisplay(1, 0), physicalDisplay(2, 1920, 1280, 1024)};
}

ModelHarness::~ModelHarness()
{
    if (model) {
        model->shutdown();
        settle();
        model.reset();
    }
    settle();
}

void FakeFacilities::fill(model::HostModel::Environment& environment)
{
    environment.clock = clock;
    environment.link = link;
    environment.settings = settings;
    environment.displays = displays;
    environment.permissions = permissions;
    environment.captureSessions = captures.factory();
    environment.urlOpener = opener;
    environment.loginItem = loginItem;
    environment.deviceLister = deviceLister;
    environment.messagesNotifier = messagesNotifier;
    environment.input = input;
    environment.trustedPhones = trustedPhones;
    environment.volume = model::volumeControlOff();
    environment.wording = wording;
}

model::HostModel& ModelHarness::create()
{
    model::HostModel::Environment environment;
    fill(environment);
    environment.mainExecutor = main;
    environment.mouseQueue = mouseQueue;
    environment.volume = volume;
    environment.background = background;
    environment.inputQueue = inputQueue;
    environment.phoneQueue = phoneQueue;
    environment.portMapping =
        router ? model::routerPortMapping(remote::NATPortMapper::create({natQueue, clock, router})) : model::portMappingOff();
    environment.localAddress = [this] { return localAddress; };
    environment.notifierQueue = notifierQueue;
    model = model::HostModel::create(std::move(environment));
    model->observe([this] { ++changes; });
    settle();
    return *model;
}

void ModelHarness::settle()
{
    while (main->runUntilIdle() + mouseQueue->runUntilIdle() + background->runUntilIdle() + phoneQueue->runUntilIdle() +
                  natQueue->runUntilIdle() + (holdInputQueue ? 0 : inputQueue->runUntilIdle()) + (holdNotifierQueue ? 0 : notifierQueue->runUntilIdle()) >
           0) {
    }
}

void ModelHarness::advance(runtime::Duration step)
{
    clock->advance(step);
    settle();
}

runtime::Duration ModelHarness::elapsed() const
{
    return clock->now() - start_;
}

void ModelHarness::run(std::function<runtime::Task<void>(model::HostModel&)> operation)
{
    model->launch(std::move(operation));
    settle();
}

std::optional<std::string> launchText(const model::HostModel& model)
{
    if (const auto& message = model.launchMessage())
        return model::text(*message, model.wording());
    return std::nullopt;
}

void ModelHarness::connectViewer(bool h264, std::string peer)
{
    link->connect(h264, std::move(peer));
    settle();
}

void ModelHarness::disconnectViewer()
{
    link->disconnect();
    settle();
}

}  // namespace kestrio::test
