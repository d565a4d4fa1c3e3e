#include "support/host_fakes.h"

#include "desktop/display_capture.h"
#include "display/virtual_display_error.h"
#include "platform/macos/macos_wording.h"
#include "remote/nat_port_mapper.h"

#include <algorithm>

namespace kestrio::test {
namespace {

class FakeVirtualMonitor final : public display::VirtualMonitor {
public:
    FakeVirtualMonitor(std::uint32_t id, std::set<std::uint32_t>& live, bool pointerCanEnter)
        : id_(id), live_(live), pointerCanEnter_(pointerCanEnter)
    {
        live_.insert(id);
    }
    ~FakeVirtualMonitor() override { live_.erase(id_); }
    std::uint32_t displayID() const override { return id_; }
    bool pointerCanEnter() const override { return pointerCanEnter_; }

private:
    std::uint32_t id_;
    std::set<std::uint32_t>& live_;
    bool pointerCanEnter_;
};

class RecordingSession final : public model::CaptureSession {
public:
    RecordingSession(CaptureLog& log, model::StreamQuality quality, model::StreamFrameRate frameRate)
        : log_(log), quality_(quality), frameRate_(frameRate)
    {
    }
    ~RecordingSession() override { stop(); }

    void start(const display::DisplayInfo& display, std::function<void(const capture::CaptureEnd&)> ended) override
    {
        if (log_.failingDisplays.contains(display.id))
            throw capture::CaptureError("화면을 캡처할 수 없음");
        log_.runs.push_back({display.id, quality_, frameRate_, false, std::move(ended)});
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
            listed.push_back(physicalDisplay(id, right));
            listed.back().name = std::string(display::virtualMonitorName);
            listed.back().ownVirtualMonitor = true;
            right += 1920;
        }
    }
    return listed;
}

std::unique_ptr<display::VirtualMonitor> FakeDisplayFacility::createVirtualMonitor(display::VirtualResolution, int)
{
    ++creations;
    if (monitorsFail)
        throw display::VirtualDisplayException(display::VirtualDisplayError::creationFailed);
    return std::make_unique<FakeVirtualMonitor>(99 + creations, liveMonitors, !monitorsKeepPointerOut);
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

model::CaptureSessionFactory CaptureLog::factory()
{
    return [this](model::StreamQuality quality, model::StreamFrameRate frameRate) {
        return std::make_unique<RecordingSession>(*this, quality, frameRate);
    };
}

int CaptureLog::running() const
{
    return static_cast<int>(std::count_if(runs.begin(), runs.end(), [](const Run& run) { return !run.stopped; }));
}

FakeFacilities::FakeFacilities() : wording(platform::macos::macosWording())
{
    displays->physical = {physicalDisplay(1, 0), physicalDisplay(2, 1920, 1280, 1024)};
}

model::HostModel::Environment FakeFacilities::environment(std::shared_ptr<runtime::Executor> executor)
{
    model::HostModel::Environment environment;
    environment.shared = {.mainExecutor = executor, .clock = clock, .link = link, .settings = settings, .displays = displays,
                          .permissions = permissions};
    environment.streaming.captureSessions = captures.factory();
    environment.input = {.input = input, .mouseQueue = executor, .inputQueue = executor, .volume = model::volumeControlOff(),
                         .background = executor};
    environment.phones = {.deviceLister = deviceLister, .phoneQueue = executor, .trustedPhones = trustedPhones};
    environment.remote.portMapping =
        router ? model::routerPortMapping(remote::NATPortMapper::create({executor, clock, router})) : model::portMappingOff();
    environment.remote.messagesNotifier = messagesNotifier;
    environment.remote.notifierQueue = executor;
    environment.permissionSettings = permissionSettings;
    environment.loginItem = loginItem;
    environment.localAddress = [this] { return localAddress; };
    environment.wording = wording;
    environment.browserPage = browserPage;
    return environment;
}

}  // namespace kestrio::test
