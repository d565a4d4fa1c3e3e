#include "model/host_model.h"

namespace kestrio::model {

std::shared_ptr<HostModel> HostModel::create(Environment environment)
{
    std::shared_ptr<HostModel> model(new HostModel(std::move(environment)));
    model->construct();
    return model;
}

HostModel::HostModel(Environment environment) : environment_(std::move(environment)) {}

HostModel::~HostModel()
{
    lifetime_.cancel();
}

void HostModel::construct()
{
    // The parts live as long as the model, and call back on the main executor.
    const auto& shared = environment_.shared;
    // First, so that the parts' first writes are followed.
    settingsSaving_ = std::make_shared<SettingsSaving>(shared, notice_);
    settingsSaving_->start();

    Streaming::Hooks stream;
    stream.willStart = [this] { ensureTouchPermission(); };
    stream.didStart = [this] { input_->prepare(); };
    stream.showError = [this](std::optional<HostError> error) { showError(std::move(error)); };
    stream.showScreenPermissionNeeded = [this](bool needed) { notice_.assign(screenPermissionNeeded_, needed); };
    stream.showMirrorFallback = [this] { showLaunchMessage({LaunchMessage::Kind::mirrorFallback, {}, 0}); };
    stream.launch = [this](std::function<runtime::Task<void>(Streaming&)> operation) {
        launch([operation = std::move(operation)](HostModel& model) { return operation(*model.streaming_); });
    };
    stream.desktopGone = [this](std::string text) { notice_.assign(desktopGone_, std::optional<std::string>(std::move(text))); };
    streaming_ = std::make_shared<Streaming>(shared, std::move(environment_.streaming), std::move(stream), notice_);
    streaming_->load();

    ViewerInput::Hooks input;
    input.ensureTrusted = [this] { return ensureTouchPermission(); };
    input.activeDisplay = [this] { return streaming_->activeDisplayID(); };
    input_ = std::make_unique<ViewerInput>(shared, std::move(environment_.input), std::move(input));

    PairedPhones::Hooks phones;
    phones.showMessage = [this](LaunchMessage message) { showLaunchMessage(std::move(message)); };
    phones_ = std::make_unique<PairedPhones>(shared, std::move(environment_.phones), std::move(phones), notice_);
    phones_->load();

    startAtLogin_ = std::make_unique<StartAtLogin>(environment_.loginItem, shared.settings, notice_);
    startAtLogin_->load();

    const auto weak = weak_from_this();
    auto& link = *shared.link;
    link.setOnStateChange([weak] {
        if (auto self = weak.lock()) {
            // At once, on the link's queue: what a viewer that has gone still had waiting is
            // dropped before the main executor gets to it.
            self->input_->setCurrentConnection(self->environment_.shared.link->connectionGeneration());
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
    link.setOnControlEvent([weak](const link::ViewerControlEvent& event) {
        auto self = weak.lock();
        if (!self)
            return;
        switch (self->input_->route(event)) {
        case ViewerInput::Routed::nothing:
            break;
        case ViewerInput::Routed::applyQueued:
            self->post([](HostModel& model) {
                model.input_->applyQueued([&model](const link::ViewerControlEvent& queued) { model.handleControlEvent(queued); });
            });
            break;
        case ViewerInput::Routed::flooded:
            self->post([](HostModel& model) { model.showQuietError(HostError::Kind::inputFlood); });
            break;
        }
    });
    link.setOnViewerIdentity([weak](const link::ViewerIdentity& identity) {
        if (auto self = weak.lock())
            self->post([identity](HostModel& model) { model.phones_->rememberConnected(identity); });
    });
    link.setOnNetworkChange([weak] {
        if (auto self = weak.lock())
            self->post([](HostModel& model) { model.refreshLocalAddress(); });
    });
    link.setOnOutsiderRefused([weak] {
        if (auto self = weak.lock())
            self->post([](HostModel& model) { model.showQuietError(HostError::Kind::outsiderRefused); });
    });

    try {
        link.start();
    } catch (...) {
        showError(HostError{HostError::Kind::listenerFailed, {}});
    }

    remoteAddress_ = std::make_shared<RemoteAddress>(shared, std::move(environment_.remote), lifetime_.token(), notice_);
    remoteAddress_->start();
}

void HostModel::showQuietError(HostError::Kind kind)
{
    // A refusal says less than a flood, and both less than any other error: neither hides an
    // error that says more.
    const bool quieter = error_ && (error_->kind == HostError::Kind::outsiderRefused ||
                                    (kind == HostError::Kind::inputFlood && error_->kind == HostError::Kind::inputFlood));
    if (!error_ || quieter)
        showError(HostError{kind, {}});
}

void HostModel::handleControlEvent(const link::ViewerControlEvent& event)
{
    if (std::holds_alternative<link::control::StopStreaming>(event)) {
        launch([](HostModel& model) { return model.streaming_->stop(); });
    } else if (const auto* request = std::get_if<link::control::SourceMode>(&event)) {
        launch([mode = request->mode](HostModel& model) { return model.streaming_->switchMode(mode); });
    } else {
        input_->apply(event);
    }
}

runtime::Task<void> HostModel::handleStreamerStateChange()
{
    const auto change = streaming_->noteViewer();
    if (change.newOrGone)
        input_->forgetViewer();
    // The status texts read the link's state, which has changed.
    willChange();
    if (environment_.shared.link->listenerReady() && listenerFailed())
        showError(std::nullopt);
    co_await streaming_->followViewer(change);
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
    environment_.shared.mainExecutor->post([weak = weak_from_this(), operation = std::move(operation)] {
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
    runtime::spawn(environment_.shared.mainExecutor, body(weak_from_this(), std::move(operation)), lifetime_.token());
}

// Settings ------------------------------------------------------------------------------------

runtime::Task<void> HostModel::setLaunchAtLogin(bool enabled)
{
    if (!startAtLogin_->set(enabled)) {
        showError(HostError{enabled ? HostError::Kind::launchAtLoginEnableFailed : HostError::Kind::launchAtLoginDisableFailed, {}});
    }
    co_return;
}

// Refreshing ----------------------------------------------------------------------------------

runtime::Task<void> HostModel::refreshAll()
{
    refreshPermissions();
    refreshLocalAddress();
    co_await streaming_->refreshDisplays();
    co_await phones_->refresh();
}

void HostModel::refreshLocalAddress()
{
    std::optional<std::string> address = environment_.localAddress ? environment_.localAddress() : std::nullopt;
    notice_.assign(localAddress_, address ? LocalAddress{LocalAddress::State::known, *address} : LocalAddress{LocalAddress::State::none, {}});
}

// Permissions ---------------------------------------------------------------------------------

void HostModel::refreshPermissions()
{
    auto& permissions = *environment_.shared.permissions;
    notice_.assign(touchPermissionNeeded_, !inputTrusted(true));
    notice_.assign(screenPermissionNeeded_, !permissions.captureAllowed());
    startAtLogin_->refresh();
    if (environment_.shared.link->isViewerConnected())
        environment_.shared.link->sendControl(touchPermissionNeeded_ ? "INPUT NEEDS_PERMISSION" : "INPUT READY");
}

bool HostModel::ensureTouchPermission()
{
    auto& permissions = *environment_.shared.permissions;
    const bool trusted = inputTrusted(false);
    if (trusted) {
        notice_.assign(touchPermissionNeeded_, false);
    } else {
        notice_.assign(touchPermissionNeeded_, true);
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
    const auto now = environment_.shared.clock->now();
    if (fresh || !inputTrustAskedAt_ || now - *inputTrustAskedAt_ >= inputTrustLifetime) {
        inputTrust_ = environment_.shared.permissions->inputTrusted();
        inputTrustAskedAt_ = now;
    }
    return inputTrust_;
}

void HostModel::refreshInputTrust()
{
    if (environment_.shared.link->isViewerConnected())
        notice_.assign(touchPermissionNeeded_, !inputTrusted(true));
}

bool HostModel::openPermissionSettings(Permission permission)
{
    return environment_.permissionSettings && environment_.permissionSettings->open(permission);
}

void HostModel::requestScreenRecordingPermission()
{
    auto& permissions = *environment_.shared.permissions;
    permissions.requestCaptureAccess();
    notice_.assign(screenPermissionNeeded_, !permissions.captureAllowed());
    openPermissionSettings(Permission::screenRecording);
}

void HostModel::requestTouchControlPermission()
{
    environment_.shared.permissions->promptForInputTrust();
    if (!openPermissionSettings(Permission::touchControl))
        refreshPermissions();  // tells a connected viewer too when input now works
}

void HostModel::requestNotificationAccess()
{
    if (!openPermissionSettings(Permission::notificationAccess))
        remoteAddress_->retry();
}

// Shutting down -------------------------------------------------------------------------------

void HostModel::shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    lifetime_.cancel();
    streaming_->shutdown();
    input_->stop();
    environment_.shared.link->stop();
    remoteAddress_->shutdown();
    settingsSaving_->shutdown();
}

}  // namespace kestrio::model
