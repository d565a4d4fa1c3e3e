#pragma once

// The host model's facilities as fakes, for the model and window tests.
#include "model/host_model.h"
#include "remote/router_port_mapping.h"
#include "runtime/virtual_clock.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kestrio::test {

// Settings kept in memory; a value of another type reads as absent. While `failing`, changes are
// not saved: `stored` keeps what the last write that went through saved.
class MemorySettingsStore final : public model::SettingsStore {
public:
    std::optional<bool> boolValue(std::string_view key) const override { return value<bool>(key); }
    std::optional<std::string> stringValue(std::string_view key) const override { return value<std::string>(key); }
    void setBool(std::string_view key, bool value) override { values.insert_or_assign(std::string(key), value), ++writes, save(); }
    void setString(std::string_view key, std::string_view value) override { values.insert_or_assign(std::string(key), std::string(value)), ++writes, save(); }
    bool saved() const override { return !unsaved; }
    bool retrySave() override { return unsaved ? (++writes, save(), !unsaved) : true; }
    void setOnSavedChange(std::function<void()> changed) override { onSavedChange = std::move(changed); }
    void save()
    {
        if (!failing)
            stored = values;
        if (std::exchange(unsaved, failing) != failing && onSavedChange)
            onSavedChange();
    }
    template <class T>
    std::optional<T> value(std::string_view key) const
    {
        const auto found = values.find(key);
        return found != values.end() && std::holds_alternative<T>(found->second) ? std::optional(std::get<T>(found->second)) : std::nullopt;
    }

    int writes = 0;
    bool failing = false, unsaved = false;
    std::map<std::string, std::variant<bool, std::string>, std::less<>> values, stored;
    std::function<void()> onSavedChange;
};

// The viewer link as the model sees it; the test plays the viewer.
class FakeViewerLink final : public model::ViewerLink {
public:
    explicit FakeViewerLink(std::shared_ptr<runtime::VirtualClock> clock) : clock_(std::move(clock)) {}

    bool isViewerConnected() const override { return connected; }
    bool h264Capable() const override { return h264; }
    bool listenerReady() const override { return ready; }
    std::string peerDescription() const override { return name; }
    void start() override { ready = startThrows ? throw std::runtime_error("address in use") : true; }
    void stop() override { ++stops; }
    void retryNow() override {}
    void refreshAdvertisement() override { refreshes.push_back(clock_->now().time_since_epoch()); }
    void sendControl(std::string_view text) override { controls.emplace_back(text); }
    std::uint64_t connectionGeneration() const override { return generation; }
    void dropConnection(std::uint64_t dropped, std::string reason, runtime::Duration) override { drops.emplace_back(dropped, std::move(reason)); }
    void setOnStateChange(std::function<void()> callback) override { onStateChange = std::move(callback); }
    void setOnControlEvent(std::function<void(const link::ViewerControlEvent&)> callback) override { onControlEvent = std::move(callback); }
    void setOnViewerIdentity(std::function<void(const link::ViewerIdentity&)> callback) override { onViewerIdentity = std::move(callback); }
    void setOnOutsiderRefused(std::function<void()> callback) override { onOutsiderRefused = std::move(callback); }
    void setOnNetworkChange(std::function<void()> callback) override { onNetworkChange = std::move(callback); }
    // Each connect() is a new connection.
    void connect(bool canDecodeH264 = true, std::string peer = "Phone")
    {
        connected = true, generation = ++connections_, h264 = canDecodeH264, name = std::move(peer);
        onStateChange();
    }
    void disconnect()
    {
        connected = h264 = false, generation = 0, name = "연결 대기 중";
        onStateChange();
    }

    bool connected = false, h264 = false, ready = false, startThrows = false;
    std::string name = "연결 대기 중";
    int stops = 0;
    std::vector<runtime::Duration> refreshes;  // virtual times (since the clock's epoch)
    std::vector<std::string> controls;
    std::uint64_t generation = 0;
    std::vector<std::pair<std::uint64_t, std::string>> drops;
    std::function<void()> onStateChange, onOutsiderRefused, onNetworkChange;
    std::function<void(const link::ViewerControlEvent&)> onControlEvent;
    std::function<void(const link::ViewerIdentity&)> onViewerIdentity;

private:
    std::shared_ptr<runtime::VirtualClock> clock_;
    std::uint64_t connections_ = 0;
};

// Physical displays, and the virtual monitors alive, listed right of them (unless told not to).
class FakeDisplayFacility final : public display::DisplayFacility {
public:
    std::vector<display::DisplayInfo> displays() override;
    std::unique_ptr<display::VirtualMonitor> createVirtualMonitor(display::VirtualResolution, int) override;

    std::vector<display::DisplayInfo> physical;
    bool monitorsFail = false, monitorsAppear = true, queryFails = false;
    bool monitorsKeepPointerOut = false;  // as an X server that gives the monitors no CRTC
    int creations = 0, queries = 0;
    std::set<std::uint32_t> liveMonitors;
};

class FakePermissions final : public model::PermissionFacility {
public:
    bool inputTrusted() override { return trusted; }
    void promptForInputTrust() override { ++prompts; }
    bool captureAllowed() override { return captureOK; }
    void requestCaptureAccess() override { ++captureRequests; }

    bool trusted = true, captureOK = true;
    int prompts = 0, captureRequests = 0;
};

// Settings where every permission is granted, as a Mac has them; records what it was asked to show.
class RecordingPermissionSettings final : public model::PermissionSettings {
public:
    bool open(model::Permission permission) override { return opened.push_back(permission), true; }
    std::vector<model::Permission> opened;
};

class RecordingInput final : public model::InputEventPoster {
public:
    struct Mouse {
        model::MouseEventType type;
        model::ScreenPoint at;
    };
    std::optional<model::ScreenPoint> pointerLocation() override { return pointer; }
    void warpPointer(model::ScreenPoint to) override { warps.push_back(to), pointer = to, order.push_back("warp"); }
    void postMouseEvent(model::MouseEventType type, model::ScreenPoint at) override { mouse.push_back({type, at}), order.push_back("mouse"); }
    void postScroll(std::int32_t vertical, std::int32_t horizontal) override { scrolls.emplace_back(vertical, horizontal); }
    void postKey(model::Key key, model::Modifiers modifiers) override { keys.emplace_back(key, modifiers), order.push_back("key"); }
    void postText(std::string_view text, model::Modifiers modifiers) override { texts.emplace_back(text, modifiers), order.push_back("text"); }
    void prepare() override { ++prepared; }

    std::optional<model::ScreenPoint> pointer;
    std::vector<model::ScreenPoint> warps;
    std::vector<Mouse> mouse;
    std::vector<std::pair<std::int32_t, std::int32_t>> scrolls;
    std::vector<std::pair<model::Key, model::Modifiers>> keys;
    std::vector<std::pair<std::string, model::Modifiers>> texts;
    std::vector<std::string> order;  // warps, mouse events, keys and texts, by kind
    int prepared = 0;
};

class FakeLoginItem final : public model::LoginItemService {
public:
    Status status() override { return state; }
    std::optional<std::string> registerItem() override { return ++registrations, registerError ? registerError : (state = Status::enabled, std::nullopt); }
    std::optional<std::string> unregisterItem() override { return unregisterError ? unregisterError : (state = Status::notRegistered, std::nullopt); }

    Status state = Status::notRegistered;
    std::optional<std::string> registerError, unregisterError;
    int registrations = 0;
};

class FakeDeviceLister final : public phones::DeviceLister {
public:
    phones::DeviceListResult listPairedDevices() override { return ++listings, result; }
    phones::DeviceListResult result;
    int listings = 0;
};

class FakeVolume final : public model::VolumeControl {
public:
    std::optional<int> outputVolume() override { return level; }
    void setOutputVolume(int percent, bool isMuted) override { level = percent, muted = isMuted, ++sets; }

    std::optional<int> level = 50;
    bool muted = false;
    int sets = 0;
};

// Capture sessions that record what they were asked to capture, and fail on the displays listed.
struct CaptureLog {
    struct Run {
        std::uint32_t displayID;
        model::StreamQuality quality;
        model::StreamFrameRate frameRate;
        bool stopped = false;
        std::function<void(const capture::CaptureEnd&)> ended;  // ends the run as its source would
    };
    std::vector<Run> runs;
    std::set<std::uint32_t> failingDisplays;

    model::CaptureSessionFactory factory();
    int running() const;
};

// A router that answers every request the same way, and records what it was asked.
class AnsweringRouter final : public remote::RouterPortMapping {
public:
    explicit AnsweringRouter(std::uint16_t grantedPort = 61000) { answer.externalPort = grantedPort; }
    remote::RouterMappingResult map(std::uint16_t port, std::chrono::seconds) override { return calls.push_back("map " + std::to_string(port)), answer; }
    bool unmap(std::uint16_t port) override { return calls.push_back("unmap " + std::to_string(port)), true; }
    remote::RouterAddressResult externalAddress() override { return {answer.outcome, address, {}}; }

    remote::RouterMappingResult answer{remote::RouterMappingResult::Outcome::mapped, 61000, std::chrono::seconds(3600), {}, {}, {}};
    std::string address = "203.0.113.7";
    std::vector<std::string> calls;
};

// The model's facilities as fakes, over two physical displays (1920 and 1280 wide, side by side).
struct FakeFacilities {
    FakeFacilities();
    // The model's environment over the fakes, every queue on `executor`; the port is mapped
    // through `router` when there is one, and the volume cannot be set.
    model::HostModel::Environment environment(std::shared_ptr<runtime::Executor> executor);

    std::shared_ptr<runtime::VirtualClock> clock = std::make_shared<runtime::VirtualClock>();
    std::shared_ptr<FakeViewerLink> link = std::make_shared<FakeViewerLink>(clock);
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    std::shared_ptr<FakeDisplayFacility> displays = std::make_shared<FakeDisplayFacility>();
    std::shared_ptr<FakePermissions> permissions = std::make_shared<FakePermissions>();
    std::shared_ptr<RecordingPermissionSettings> permissionSettings = std::make_shared<RecordingPermissionSettings>();
    CaptureLog captures;
    std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
    std::shared_ptr<FakeDeviceLister> deviceLister = std::make_shared<FakeDeviceLister>();
    std::optional<std::string> localAddress = std::string("192.168.0.10");  // read at each refresh
    std::shared_ptr<remote::MessagesNotifier> messagesNotifier = model::messagesOff();
    std::shared_ptr<RecordingInput> input = std::make_shared<RecordingInput>();
    std::shared_ptr<link::TrustedPhones> trustedPhones = std::make_shared<link::TrustedPhones>();
    std::shared_ptr<AnsweringRouter> router;  // set before the model is made: it maps its port
    model::PlatformWording wording;  // as a Mac words it unless a harness says otherwise
    std::optional<model::BrowserPage> browserPage;  // none: no browser page is served
};

display::DisplayInfo physicalDisplay(std::uint32_t id, int x, int width = 1920, int height = 1080);

}  // namespace kestrio::test
