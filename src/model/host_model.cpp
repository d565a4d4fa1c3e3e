#include "model/host_model.h"

#include <algorithm>

namespace kestrio::model {


std::shared_ptr<HostModel> HostModel::create(Environment environment)
{
    std::shared_ptr<HostModel> model(new HostModel(std::move(environment)));
    model->construct();
    return model;
}

HostModel::HostModel(Environment environment)
    : environment_(std::move(environment)),
      displayList_(environment_.displays, environment_.clock,
                   [permissions = environment_.permissions] { return permissions && permissions->captureAllowed(); })
{
}

HostModel::~HostModel()
{
    lifetime_.cancel();
    if (mouseControlDriver_)
        mouseControlDriver_->stop();
    if (capturer_)
        capturer_->stop();
}

void HostModel::construct()
{
    geometry_ = std::make_shared<DisplayGeometry>(environment_.displays);
    MouseControlDriver::Environment driver;
    driver.queue = environment_.mouseQueue;
    driver.clock = environment_.clock;
    driver.input = environment_.input;
    driver.displayRects = [geometry = geometry_] { return geometry->rects(); };
    mouseControlDriver_ = MouseControlDriver::create(std::move(driver));

    auto& settings = *environment_.settings;
    autoStartOnConnect_ = settings.boolValue(settingsKey::autoStartOnConnect).value_or(true);
    selectedPhoneID_ = settings.stringValue(settingsKey::selectedPhoneID).value_or("");
    // A selection stored before its origin was recorded is not trusted from outside until the
    // phone names itself on the home network again.
    selectedPhoneVerified_ = !selectedPhoneID_.empty() && settings.boolValue(settingsKey::selectedPhoneIDVerified).value_or(false);
    loadHomeNetworkPhones();
    startAtLogin_ = std::make_unique<StartAtLogin>(environment_.loginItem, environment_.settings, notice_);
    startAtLogin_->load();


    auto& link = *environment_.link;
    link.setOnStateChange([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            // At once, on the link's queue: what a viewer that has gone still had waiting is
            // dropped before the main executor gets to it.
            self->controlEvents_->setCurrentGeneration(self->environment_.link->connectionGeneration());
            // The handler reads the state as it is when it runs: changes that come meanwhile
            // need no task of their own, however fast viewers come and go.
            if (self->stateChangePending_->exchange(true))
                return;
            self->launch([](HostModel& model) {
                model.stateChangePending_->store(false);
                return model.handleStreamerStateChange();
            });
        }
    });
    link.setOnControlEvent([weak = weak_from_this()](const link::ViewerControlEvent& event) {
        if (auto self = weak.lock())
            self->routeControlEvent(event);
    });
    link.setOnViewerIdentity([weak = weak_from_this()](const link::ViewerIdentity& identity) {
        if (auto self = weak.lock())
            self->post([identity](HostModel& model) { model.rememberConnectedPhone(identity); });
    });
    link.setOnOutsiderRefused([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->post([](HostModel& model) { model.handleOutsiderRefused(); });
    });

    try {
        link.start();
    } catch (...) {
        setError(ErrorReason::listenerFailed, listenerFailedText);
    }

    RemoteAddress::Environment remote;
    remote.mainExecutor = environment_.mainExecutor;
    remote.clock = environment_.clock;
    remote.settings = environment_.settings;
    remote.portMapping = environment_.portMapping;
    remote.streamingPort = environment_.streamingPort;
    remote.messagesNotifier = environment_.messagesNotifier;
    remote.notifierQueue = environment_.notifierQueue;
    remote.lifetime = lifetime_.token();
    remoteAddress_ = std::make_shared<RemoteAddress>(std::move(remote), notice_);
    remoteAddress_->start();
}

void HostModel::observe(std::function<void()> willChange)
{
    observers_.push_back(std::move(willChange));
}

void HostModel::willChange()
{
    for (const auto& observer : observers_)
        observer();
}

void HostModel::post(std::function<void(HostModel&)> operation)
{
    environment_.mainExecutor->post([weak = weak_from_this(), operation = std::move(operation)] {
        auto self = weak.lock();
        if (self && !self->shutDown_)
            operation(*self);
    });
}

void HostModel::launch(std::function<runtime::Task<void>(HostModel&)> operation)
{
    auto body = [](std::weak_ptr<HostModel> weak, std::function<runtime::Task<void>(HostModel&)> run) -> runtime::Task<void> {
        auto self = weak.lock();
        if (!self || self->shutDown_)
            co_return;
        co_await run(*self);
    };
    runtime::spawn(environment_.mainExecutor, body(weak_from_this(), std::move(operation)), lifetime_.token());
}

// Settings ------------------------------------------------------------------------------------

void HostModel::setSelectedDisplayID(std::uint32_t id)
{
    if (displayList_.selectedDisplayID() == id)
        return;
    willChange();
    displayList_.select(id);
}

void HostModel::setSourceMode(SourceMode mode)
{
    assign(sourceMode_, mode);
}

void HostModel::setVirtualResolution(display::VirtualResolution resolution)
{
    assign(virtualResolution_, resolution);
}

void HostModel::setQuality(StreamQuality quality)
{
    assign(quality_, quality);
}

void HostModel::setFrameRate(StreamFrameRate rate)
{
    assign(frameRate_, rate);
}

void HostModel::setAutoStartOnConnect(bool on)
{
    assign(autoStartOnConnect_, on);
    environment_.settings->setBool(settingsKey::autoStartOnConnect, autoStartOnConnect_);
}

runtime::Task<void> HostModel::setLaunchAtLogin(bool enabled)
{
    if (!startAtLogin_->set(enabled)) {
        const auto& wording = environment_.wording;
        setErrorMessage(enabled ? wording.launchAtLoginEnableFailed : wording.launchAtLoginDisableFailed);
    }
    co_return;
}

// Refreshing ----------------------------------------------------------------------------------

runtime::Task<void> HostModel::refreshAll()
{
    refreshPermissions();
    std::optional<std::string> address = environment_.localAddress ? environment_.localAddress() : std::nullopt;
    assign(localAddress_, address ? LocalAddress{LocalAddress::State::known, *address} : LocalAddress{LocalAddress::State::none, {}});
    co_await refreshDisplays();
    co_await refreshPhones();
}

runtime::Task<void> HostModel::refreshDisplays()
{
    // The list changes inside the refresh, so observers hear of it first.
    willChange();
    const bool loaded = displayList_.refreshDisplays();
    if (!loaded) {
        assign(screenPermissionNeeded_, displayList_.screenPermissionNeeded());
        setErrorMessage(displayList_.screenPermissionNeeded() ? std::optional(environment_.wording.screenPermissionError)
                                                              : displayList_.errorMessage());
    }
    co_return;
}

std::optional<display::DisplayInfo> HostModel::currentDisplay() const
{
    return displayList_.currentDisplay();
}

// Permissions ---------------------------------------------------------------------------------

void HostModel::refreshPermissions()
{
    auto& permissions = *environment_.permissions;
    assign(touchPermissionNeeded_, !inputTrusted(true));
    assign(screenPermissionNeeded_, !permissions.captureAllowed());
    startAtLogin_->refresh();
    if (environment_.link->isViewerConnected())
        environment_.link->sendControl(touchPermissionNeeded_ ? "INPUT NEEDS_PERMISSION" : "INPUT READY");
}

bool HostModel::ensureTouchPermission()
{
    auto& permissions = *environment_.permissions;
    const bool trusted = inputTrusted(false);
    if (trusted) {
        assign(touchPermissionNeeded_, false);
    } else {
        assign(touchPermissionNeeded_, true);
        if (!didRequestTouchPermission_) {
            didRequestTouchPermission_ = true;
            permissions.promptForInputTrust();
        }
    }
    return trusted;
}

bool HostModel::inputTrusted(bool fresh)
{
    // Asking can mean a round trip to the display server: a stream of gated events asks once.
    const auto now = environment_.clock->now();
    if (fresh || !inputTrustAskedAt_ || now - *inputTrustAskedAt_ >= inputTrustLifetime) {
        inputTrust_ = environment_.permissions->inputTrusted();
        inputTrustAskedAt_ = now;
    }
    return inputTrust_;
}

void HostModel::refreshInputTrust()
{
    if (environment_.link->isViewerConnected())
        assign(touchPermissionNeeded_, !inputTrusted(true));
}

void HostModel::openPrivacySettings(std::string_view anchor)
{
    const std::string url = "x-apple.systempreferences:com.apple.preference.security?" + std::string(anchor);
    // A URL may not carry blanks or control characters; such an anchor opens nothing.
    const bool valid = std::none_of(url.begin(), url.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F;
    });
    if (valid && environment_.urlOpener)
        environment_.urlOpener->open(url);
}

void HostModel::requestScreenRecordingPermission()
{
    auto& permissions = *environment_.permissions;
    permissions.requestCaptureAccess();
    assign(screenPermissionNeeded_, !permissions.captureAllowed());
    const auto& anchor = environment_.wording.screenRecording.settingsAnchor;
    if (!anchor.empty())
        openPrivacySettings(anchor);
}

void HostModel::requestTouchControlPermission()
{
    environment_.permissions->promptForInputTrust();
    const auto& anchor = environment_.wording.touchControl.settingsAnchor;
    if (anchor.empty())
        refreshPermissions();  // tells a connected viewer too when input now works
    else
        openPrivacySettings(anchor);
}

void HostModel::requestNotificationAccess()
{
    const auto& anchor = environment_.wording.notificationAccess.settingsAnchor;
    if (!anchor.empty())
        openPrivacySettings(anchor);
    else
        remoteAddress_->retry();
}

// Status texts --------------------------------------------------------------------------------

BilingualText HostModel::statusTitle() const
{
    if (environment_.link->isViewerConnected())
        return {"iPhone 연결됨", "iPhone Connected"};
    return {errorMessage_.value_or("iPhone을 기다리는 중"), "Waiting for iPhone"};
}

BilingualText HostModel::statusDetail() const
{
    auto& link = *environment_.link;
    if (link.isViewerConnected())
        return {link.peerDescription() + " · " + (link.h264Capable() ? "H.264" : "JPEG 호환 모드"), "Ready to receive the screen"};
    const std::string lead = phoneLaunchMessage_.value_or("iPhone에서 Kestrio를 열어 주세요");
    return {lead + " · " + environment_.wording.addressLabel + " " + text(localAddress_), "Open Kestrio on your iPhone to connect"};
}

BilingualText HostModel::hintText() const
{
    const auto& wording = environment_.wording;
    BilingualText hint;
    if (touchPermissionNeeded_) {
        hint.korean = wording.touchPermissionHint;
    } else if (!isStreaming_) {
        hint.korean = wording.extendedMonitorHint.korean;
    } else if (sourceMode_ == SourceMode::mirror) {
        hint.korean = wording.mirroringHint.korean;
    } else {
        hint.korean = wording.virtualMonitorStreamingHint;
    }
    if (touchPermissionNeeded_) {
        hint.english = wording.touchPermissionHintEnglish;
    } else if (sourceMode_ == SourceMode::mirror) {
        hint.english = wording.mirroringHint.english;
    } else if (screenPermissionNeeded_) {
        hint.english = wording.screenPermissionHintEnglish;
    } else {
        hint.english = wording.extendedMonitorHint.english;
    }
    return hint;
}

// Shutting down -------------------------------------------------------------------------------

void HostModel::shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    lifetime_.cancel();
    cancelViewerDiscovery();
    mouseControlDriver_->stop();
    if (capturer_) {
        capturer_->stop();
        capturer_.reset();
    }
    releaseVirtualMonitor();
    activeDisplayID_.reset();
    environment_.link->stop();
    remoteAddress_->shutdown();
}

}  // namespace kestrio::model
