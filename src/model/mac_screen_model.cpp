#include "model/mac_screen_model.h"
#include "runtime/white_space.h"

#include <algorithm>

namespace kestrio::model {

using runtime::isBlank;

std::shared_ptr<MacScreenModel> MacScreenModel::create(Environment environment)
{
    std::shared_ptr<MacScreenModel> model(new MacScreenModel(std::move(environment)));
    model->construct();
    return model;
}

MacScreenModel::MacScreenModel(Environment environment)
    : environment_(std::move(environment)),
      displayList_(environment_.displays, environment_.clock,
                   [permissions = environment_.permissions] { return permissions && permissions->captureAllowed(); })
{
}

MacScreenModel::~MacScreenModel()
{
    lifetime_.cancel();
    if (mouseControlDriver_)
        mouseControlDriver_->stop();
    if (capturer_)
        capturer_->stop();
}

void MacScreenModel::construct()
{
    geometry_ = std::make_shared<DisplayGeometry>(environment_.displays);
    MouseControlDriver::Environment driver;
    driver.queue = environment_.mouseQueue ? environment_.mouseQueue : environment_.mainExecutor;
    driver.clock = environment_.clock;
    driver.input = environment_.input;
    driver.displayRects = [geometry = geometry_] { return geometry->rects(); };
    mouseControlDriver_ = MouseControlDriver::create(std::move(driver));

    auto& settings = *environment_.settings;
    autoStartOnConnect_ = settings.boolValue(settingsKey::autoStartOnConnect).value_or(true);
    iMessageAddress_ = settings.stringValue(settingsKey::iMessageAddress).value_or("");
    committedIMessageAddress_ = iMessageAddress_;
    iMessageNotificationsEnabled_ = settings.boolValue(settingsKey::iMessageNotificationsEnabled).value_or(false);
    selectedPhoneID_ = settings.stringValue(settingsKey::selectedPhoneID).value_or("");
    // A selection stored before its origin was recorded is not trusted from outside until the
    // phone names itself on the home network again.
    selectedPhoneVerified_ = !selectedPhoneID_.empty() && settings.boolValue(settingsKey::selectedPhoneIDVerified).value_or(false);
    loadHomeNetworkPhones();
    launchAtLogin_ = settings.boolValue(settingsKey::launchAtLogin).value_or(loginItemEnabled());

    const auto& wording = environment_.wording;
    iMessageStatus_ = wording.notificationOff;
    if (iMessageNotificationsEnabled_)
        iMessageStatus_ = isBlank(iMessageAddress_) ? wording.notificationNeedsAddress : wording.notificationWillSend;

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
            self->launch([](MacScreenModel& model) {
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
            self->post([identity](MacScreenModel& model) { model.rememberConnectedPhone(identity); });
    });
    link.setOnOutsiderRefused([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->post([](MacScreenModel& model) { model.handleOutsiderRefused(); });
    });

    try {
        link.start();
    } catch (...) {
        setErrorMessage(std::string(listenerFailedText));
    }

    assign(remoteAccessStatus_, std::string("공유기 자동 포트 연결 중…"));
    assign(remoteEndpoint_, std::string(notYetKnown));
    if (auto mapper = environment_.natPortMapper) {
        mapper->setOnUpdate([weak = weak_from_this()](const remote::NATPortMappingUpdate& update) {
            if (auto self = weak.lock())
                self->post([update](MacScreenModel& model) { model.handlePortMappingUpdate(update); });
        });
        mapper->start(environment_.streamingPort);
    } else {
        assign(remoteAccessStatus_, std::string("자동 포트 연결 꺼짐"));
        assign(remoteEndpoint_, std::string(portMappingOffText));
    }
}

void MacScreenModel::observe(std::function<void()> willChange)
{
    observers_.push_back(std::move(willChange));
}

void MacScreenModel::willChange()
{
    for (const auto& observer : observers_)
        observer();
}

void MacScreenModel::post(std::function<void(MacScreenModel&)> operation)
{
    environment_.mainExecutor->post([weak = weak_from_this(), operation = std::move(operation)] {
        auto self = weak.lock();
        if (self && !self->shutDown_)
            operation(*self);
    });
}

void MacScreenModel::launch(std::function<runtime::Task<void>(MacScreenModel&)> operation)
{
    auto body = [](std::weak_ptr<MacScreenModel> weak, std::function<runtime::Task<void>(MacScreenModel&)> run) -> runtime::Task<void> {
        auto self = weak.lock();
        if (!self || self->shutDown_)
            co_return;
        co_await run(*self);
    };
    runtime::spawn(environment_.mainExecutor, body(weak_from_this(), std::move(operation)), lifetime_.token());
}

// Settings ------------------------------------------------------------------------------------

void MacScreenModel::setSelectedDisplayID(std::uint32_t id)
{
    if (displayList_.selectedDisplayID() == id)
        return;
    willChange();
    displayList_.select(id);
}

void MacScreenModel::setSourceMode(MacSourceMode mode)
{
    assign(sourceMode_, mode);
}

void MacScreenModel::setVirtualResolution(display::VirtualResolution resolution)
{
    assign(virtualResolution_, resolution);
}

void MacScreenModel::setQuality(StreamQuality quality)
{
    assign(quality_, quality);
}

void MacScreenModel::setFrameRate(StreamFrameRate rate)
{
    assign(frameRate_, rate);
}

void MacScreenModel::setAutoStartOnConnect(bool on)
{
    assign(autoStartOnConnect_, on);
    environment_.settings->setBool(settingsKey::autoStartOnConnect, autoStartOnConnect_);
}

void MacScreenModel::setIMessageAddress(std::string address)
{
    assign(iMessageAddress_, std::move(address));
    iMessageAddressPauseTimer_.cancel();
    if (shutDown_ || iMessageAddress_ == committedIMessageAddress_)
        return;
    iMessageAddressPauseTimer_ = environment_.clock->schedule(iMessageAddressPause, environment_.mainExecutor, [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->commitIMessageAddress();
    });
}

void MacScreenModel::commitIMessageAddress()
{
    if (shutDown_)
        return;
    if (adoptIMessageAddress() && iMessageNotificationsEnabled_)
        checkIMessageReadiness();
}

bool MacScreenModel::adoptIMessageAddress()
{
    iMessageAddressPauseTimer_.cancel();
    environment_.settings->setString(settingsKey::iMessageAddress, iMessageAddress_);
    return std::exchange(committedIMessageAddress_, iMessageAddress_) != iMessageAddress_;
}

void MacScreenModel::setIMessageNotificationsEnabled(bool on)
{
    // An edit still pending takes effect first, as leaving the field would; switching off sends
    // nothing for it.
    if (iMessageAddress_ != committedIMessageAddress_) {
        if (on)
            commitIMessageAddress();
        else
            adoptIMessageAddress();
    }
    const bool changed = on != iMessageNotificationsEnabled_;
    assign(iMessageNotificationsEnabled_, on);
    environment_.settings->setBool(settingsKey::iMessageNotificationsEnabled, iMessageNotificationsEnabled_);
    if (!changed)
        return;
    if (on)
        checkIMessageReadiness();
    else
        assign(iMessageStatus_, environment_.wording.notificationOff);
}

// Refreshing ----------------------------------------------------------------------------------

runtime::Task<void> MacScreenModel::refreshAll()
{
    refreshPermissions();
    assign(launchAtLogin_, loginItemEnabled());
    std::optional<std::string> address = environment_.localAddress ? environment_.localAddress() : std::nullopt;
    assign(localIPAddress_, address ? *address : std::string(noLocalAddress));
    co_await refreshDisplays();
    co_await refreshPhones();
}

runtime::Task<void> MacScreenModel::refreshDisplays()
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

std::optional<display::DisplayInfo> MacScreenModel::currentDisplay() const
{
    return displayList_.currentDisplay();
}

// Permissions ---------------------------------------------------------------------------------

void MacScreenModel::refreshPermissions()
{
    auto& permissions = *environment_.permissions;
    assign(touchPermissionNeeded_, !inputTrusted(true));
    assign(screenPermissionNeeded_, !permissions.captureAllowed());
    assign(launchAtLogin_, loginItemEnabled());
    if (environment_.link->isViewerConnected())
        environment_.link->sendControl(touchPermissionNeeded_ ? "INPUT NEEDS_PERMISSION" : "INPUT READY");
}

bool MacScreenModel::ensureTouchPermission()
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

bool MacScreenModel::inputTrusted(bool fresh)
{
    // Asking can mean a round trip to the display server: a stream of gated events asks once.
    const auto now = environment_.clock->now();
    if (fresh || !inputTrustAskedAt_ || now - *inputTrustAskedAt_ >= inputTrustLifetime) {
        inputTrust_ = environment_.permissions->inputTrusted();
        inputTrustAskedAt_ = now;
    }
    return inputTrust_;
}

void MacScreenModel::refreshInputTrust()
{
    if (environment_.link->isViewerConnected())
        assign(touchPermissionNeeded_, !inputTrusted(true));
}

void MacScreenModel::openPrivacySettings(std::string_view anchor)
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

void MacScreenModel::requestScreenRecordingPermission()
{
    auto& permissions = *environment_.permissions;
    permissions.requestCaptureAccess();
    assign(screenPermissionNeeded_, !permissions.captureAllowed());
    const auto& anchor = environment_.wording.screenRecording.settingsAnchor;
    if (!anchor.empty())
        openPrivacySettings(anchor);
}

void MacScreenModel::requestTouchControlPermission()
{
    environment_.permissions->promptForInputTrust();
    const auto& anchor = environment_.wording.touchControl.settingsAnchor;
    if (anchor.empty())
        refreshPermissions();  // tells a connected viewer too when input now works
    else
        openPrivacySettings(anchor);
}

void MacScreenModel::requestNotificationAccess()
{
    const auto& anchor = environment_.wording.notificationAccess.settingsAnchor;
    if (!anchor.empty())
        openPrivacySettings(anchor);
    else if (iMessageNotificationsEnabled_)
        checkIMessageReadiness();
}

// Status texts --------------------------------------------------------------------------------

BilingualText MacScreenModel::statusTitle() const
{
    if (environment_.link->isViewerConnected())
        return {"iPhone 연결됨", "iPhone Connected"};
    return {errorMessage_.value_or("iPhone을 기다리는 중"), "Waiting for iPhone"};
}

BilingualText MacScreenModel::statusDetail() const
{
    auto& link = *environment_.link;
    if (link.isViewerConnected())
        return {link.peerName() + " · " + (link.h264Capable() ? "H.264" : "JPEG 호환 모드"), "Ready to receive the screen"};
    const std::string lead = phoneLaunchMessage_.value_or("iPhone에서 Kestrio를 열어 주세요");
    return {lead + " · " + environment_.wording.addressLabel + " " + localIPAddress_, "Open Kestrio on your iPhone to connect"};
}

BilingualText MacScreenModel::hintText() const
{
    const auto& wording = environment_.wording;
    BilingualText hint;
    if (touchPermissionNeeded_) {
        hint.korean = wording.touchPermissionHint;
    } else if (!isStreaming_) {
        hint.korean = wording.extendedMonitorHint.korean;
    } else if (sourceMode_ == MacSourceMode::mirror) {
        hint.korean = wording.mirroringHint.korean;
    } else {
        hint.korean = wording.virtualMonitorStreamingHint;
    }
    if (touchPermissionNeeded_) {
        hint.english = wording.touchPermissionHintEnglish;
    } else if (sourceMode_ == MacSourceMode::mirror) {
        hint.english = wording.mirroringHint.english;
    } else if (screenPermissionNeeded_) {
        hint.english = wording.screenPermissionHintEnglish;
    } else {
        hint.english = wording.extendedMonitorHint.english;
    }
    return hint;
}

// Shutting down -------------------------------------------------------------------------------

void MacScreenModel::shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    lifetime_.cancel();
    // An address still being edited is kept, as if the field had been left.
    if (iMessageAddress_ != committedIMessageAddress_)
        adoptIMessageAddress();
    cancelViewerDiscovery();
    mouseControlDriver_->stop();
    if (capturer_) {
        capturer_->stop();
        capturer_.reset();
    }
    releaseVirtualMonitor();
    activeDisplayID_.reset();
    environment_.link->stop();
    if (environment_.natPortMapper)
        environment_.natPortMapper->shutdown();
}

}  // namespace kestrio::model
