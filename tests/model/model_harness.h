#pragma once

#include "model/status_lines.h"
#include "support/host_fakes.h"

namespace kestrio::test {

// A model on manual executors and a virtual clock.
struct ModelHarness : FakeFacilities {
    ~ModelHarness()
    {
        if (model)
            model->shutdown();
        settle();
        model.reset();
        settle();
    }
    // Builds the model (reads the settings and starts the link).
    model::HostModel& create()
    {
        auto environment = FakeFacilities::environment(main);
        environment.input.mouseQueue = environment.input.background = environment.phones.phoneQueue = work;
        environment.input.inputQueue = inputQueue;
        environment.input.volume = volume;
        environment.remote.notifierQueue = notifierQueue;
        model = model::HostModel::create(std::move(environment));
        settle();
        return *model;
    }
    // Runs everything due but the held queues.
    void settle()
    {
        while (main->runUntilIdle() + work->runUntilIdle() + (holdInputQueue ? 0 : inputQueue->runUntilIdle()) +
                   (holdNotifierQueue ? 0 : notifierQueue->runUntilIdle()) > 0) {
        }
    }
    void advance(runtime::Duration step) { clock->advance(step), settle(); }
    void run(std::function<runtime::Task<void>(model::HostModel&)> operation) { model->launch(std::move(operation)), settle(); }
    void send(const std::vector<link::ViewerControlEvent>& events)
    {
        for (const auto& event : events)
            link->onControlEvent(event);
        settle();
    }
    void identify(const link::ViewerIdentity& identity) { link->onViewerIdentity(identity), settle(); }
    void connectViewer() { link->connect(), settle(); }
    void disconnectViewer() { link->disconnect(), settle(); }
    // The first line of the waiting status, when the model has one of its own.
    std::optional<std::string> launchText() const
    {
        return model->launchMessage() ? std::optional(model::text(*model->launchMessage(), model->wording())) : std::nullopt;
    }

    std::shared_ptr<runtime::ManualExecutor> main = std::make_shared<runtime::ManualExecutor>();
    std::shared_ptr<runtime::ManualExecutor> work = std::make_shared<runtime::ManualExecutor>();  // pointer, volume, phones
    std::shared_ptr<runtime::ManualExecutor> inputQueue = std::make_shared<runtime::ManualExecutor>();
    std::shared_ptr<runtime::ManualExecutor> notifierQueue = std::make_shared<runtime::ManualExecutor>();
    bool holdInputQueue = false, holdNotifierQueue = false;
    std::shared_ptr<FakeVolume> volume = std::make_shared<FakeVolume>();
    std::shared_ptr<model::HostModel> model;
};

inline const auto startStreaming = [](model::HostModel& m) { return m.streaming().start(); };
inline const auto stopStreaming = [](model::HostModel& m) { return m.streaming().stop(); };
inline const auto refreshPhones = [](model::HostModel& m) { return m.pairedPhones().refresh(); };
inline const auto refreshAll = [](model::HostModel& m) { return m.refreshAll(); };

}  // namespace kestrio::test
