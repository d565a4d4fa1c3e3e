#include "platform/avahi/avahi_service_advertiser.h"

#include "runtime/executor.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/watch.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kestrio::platform::avahi {
namespace {

using State = link::ServiceRegistration::State;

// A service name can collide again and again on a busy network; give up after this many
// alternatives in one go rather than loop with the daemon.
constexpr int maxNameAttempts = 32;

// Runs tasks on the avahi event thread. The thread watches an eventfd, so posting never waits for
// the avahi lock (which the thread holds while it talks to the daemon).
class PollExecutor final : public runtime::Executor {
public:
    PollExecutor() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    ~PollExecutor() override
    {
        if (fd_ >= 0)
            close(fd_);
    }

    PollExecutor(const PollExecutor&) = delete;
    PollExecutor& operator=(const PollExecutor&) = delete;

    int fd() const { return fd_; }

    void post(std::function<void()> task) override
    {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = write(fd_, &one, sizeof one);
    }

    bool isCurrent() const override { return runner_.load() == std::this_thread::get_id(); }

    // On the event thread, when the eventfd is readable.
    void runPending()
    {
        std::uint64_t count = 0;
        [[maybe_unused]] auto read = ::read(fd_, &count, sizeof count);
        std::deque<std::function<void()>> tasks;
        {
            std::lock_guard lock(mutex_);
            tasks.swap(tasks_);
        }
        runner_.store(std::this_thread::get_id());
        for (auto& task : tasks)
            task();
        runner_.store(std::thread::id());
    }

private:
    int fd_;
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    std::atomic<std::thread::id> runner_{};
};

class PollLock {
public:
    explicit PollLock(AvahiThreadedPoll* poll) : poll_(poll) { avahi_threaded_poll_lock(poll_); }
    ~PollLock() { avahi_threaded_poll_unlock(poll_); }

    PollLock(const PollLock&) = delete;
    PollLock& operator=(const PollLock&) = delete;

private:
    AvahiThreadedPoll* poll_;
};

std::string alternativeName(const std::string& name)
{
    char* alternative = avahi_alternative_service_name(name.c_str());
    if (!alternative)
        return name;
    std::string result(alternative);
    avahi_free(alternative);
    return result;
}

}  // namespace

// Everything that talks to avahi. Shared by the advertiser and its registrations, so that either
// may go first. Its avahi objects are used only on the event thread or under the avahi lock.
class AvahiServiceAdvertiser::Core {
public:
    // One registration's view of the daemon.
    class Entry {
    public:
        Entry(Core& core, const link::ServiceAdvertisement& advertisement)
            : core(core),
              serviceType(advertisement.serviceType),
              port(advertisement.port),
              name_(advertisement.instanceName)
        {
        }

        Core& core;
        const std::string serviceType;
        const std::uint16_t port;

        // Under the avahi lock.
        AvahiEntryGroup* group = nullptr;
        bool populated = false;  // the service is added to `group` and committed
        bool refused = false;    // the daemon refused it; only a new daemon gets asked again

        State state() const
        {
            std::lock_guard lock(mutex_);
            return state_;
        }

        std::string name() const
        {
            std::lock_guard lock(mutex_);
            return name_;
        }

        void setState(State state)
        {
            std::lock_guard lock(mutex_);
            state_ = state;
        }

        void setName(std::string name)
        {
            std::lock_guard lock(mutex_);
            name_ = std::move(name);
        }

    private:
        mutable std::mutex mutex_;
        State state_ = State::waiting;
        std::string name_;
    };

    explicit Core(std::shared_ptr<runtime::Clock> clock)
        : clock_(std::move(clock)), executor_(std::make_shared<PollExecutor>())
    {
        // Without an event thread (out of descriptors or threads) registrations simply wait.
        poll_ = avahi_threaded_poll_new();
        if (!poll_)
            return;
        const AvahiPoll* api = avahi_threaded_poll_get(poll_);
        bool watching = executor_->fd() >= 0 &&
                        api->watch_new(api, executor_->fd(), AVAHI_WATCH_IN, &Core::onWakeUp, this) != nullptr;
        if (!watching || avahi_threaded_poll_start(poll_) < 0) {
            avahi_threaded_poll_free(poll_);
            poll_ = nullptr;
            return;
        }
        // Connecting takes D-Bus round trips; they belong on the event thread, not the caller's.
        executor_->post([this] { connect(); });
    }

    ~Core()
    {
        if (!poll_)
            return;
        avahi_threaded_poll_stop(poll_);
        // The event thread is gone: nothing else touches the client or the timer now. A timer
        // that fires meanwhile posts to an executor whose tasks never run again.
        reconnectTimer_.cancel();
        if (client_)
            avahi_client_free(client_);
        avahi_threaded_poll_free(poll_);
    }

    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    std::shared_ptr<Entry> add(const link::ServiceAdvertisement& advertisement)
    {
        auto entry = std::make_shared<Entry>(*this, advertisement);
        if (!poll_)
            return entry;
        PollLock lock(poll_);
        entries_.push_back(entry);
        if (client_ && avahi_client_get_state(client_) == AVAHI_CLIENT_S_RUNNING)
            publish(*entry);
        return entry;
    }

    void remove(const std::shared_ptr<Entry>& entry)
    {
        if (!poll_)
            return;
        PollLock lock(poll_);
        // Freeing the group withdraws the service at once (the daemon sends its goodbyes).
        if (entry->group)
            avahi_entry_group_free(entry->group);
        entry->group = nullptr;
        entries_.erase(std::remove(entries_.begin(), entries_.end(), entry), entries_.end());
    }

    bool daemonAvailable() const { return available_.load(); }

private:
    // On the event thread.
    void connect()
    {
        if (client_)
            return;
        int error = 0;
        AvahiClient* client = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                                               &Core::onClientState, this, &error);
        client_ = client;
        if (!client) {
            // No system bus, or a daemon that did not answer: the client cannot wait for
            // either by itself, so look again later.
            forgetGroups();
            scheduleReconnect();
        }
    }

    void scheduleReconnect()
    {
        reconnectTimer_.cancel();
        reconnectTimer_ = clock_->schedule(reconnectDelay, executor_, [this] { connect(); });
    }

    // The client and its groups are gone; every registration starts over with the next daemon.
    void forgetGroups()
    {
        for (auto& entry : entries_) {
            entry->group = nullptr;
            entry->populated = false;
            entry->refused = false;
            entry->setState(State::waiting);
        }
    }

    void publish(Entry& entry)
    {
        if (entry.refused)
            return;
        if (!entry.group) {
            // The new group reports its first state from inside this call.
            entry.group = avahi_entry_group_new(client_, &Core::onGroupState, &entry);
            if (!entry.group) {
                refuse(entry);
                return;
            }
        }
        if (!entry.populated)
            addServiceAndCommit(entry);
    }

    void addServiceAndCommit(Entry& entry)
    {
        std::string name = entry.name();
        for (int attempt = 0; attempt < maxNameAttempts; ++attempt) {
            int result = avahi_entry_group_add_service_strlst(
                entry.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name.c_str(),
                entry.serviceType.c_str(), nullptr, nullptr, entry.port, nullptr);
            if (result == AVAHI_ERR_COLLISION) {
                // Another service of this daemon already holds the name.
                name = alternativeName(name);
                entry.setName(name);
                avahi_entry_group_reset(entry.group);
                continue;
            }
            if (result < 0 || avahi_entry_group_commit(entry.group) < 0) {
                refuse(entry);
                return;
            }
            entry.populated = true;
            entry.setState(State::waiting);
            return;
        }
        refuse(entry);
    }

    void refuse(Entry& entry)
    {
        entry.refused = true;
        entry.setState(State::failed);
    }

    void handleClientState(AvahiClient* client, AvahiClientState state)
    {
        // Called from inside avahi_client_new too, before it has returned the client.
        client_ = client;
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            available_.store(true);
            for (auto& entry : entries_)
                publish(*entry);
            break;
        case AVAHI_CLIENT_S_REGISTERING:
        case AVAHI_CLIENT_S_COLLISION:
            // The daemon is (re)establishing its host name: groups must be empty until it runs.
            available_.store(false);
            for (auto& entry : entries_) {
                if (entry->group)
                    avahi_entry_group_reset(entry->group);
                entry->populated = false;
                if (!entry->refused)
                    entry->setState(State::waiting);
            }
            break;
        case AVAHI_CLIENT_CONNECTING:
            available_.store(false);
            break;
        case AVAHI_CLIENT_FAILURE: {
            available_.store(false);
            const bool disconnected = avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED;
            forgetGroups();
            avahi_client_free(client);
            client_ = nullptr;
            // A daemon that went away (or a bus that restarted): wait for the next one at once.
            // Anything else might fail again straight away, so it waits a little first.
            if (disconnected)
                connect();
            else
                scheduleReconnect();
            break;
        }
        }
    }

    void handleGroupState(Entry& entry, AvahiEntryGroup* group, AvahiEntryGroupState state)
    {
        entry.group = group;
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            entry.setState(State::established);
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:
            // Someone else on the network has the name: pick the next one and try again.
            entry.setName(alternativeName(entry.name()));
            entry.setState(State::waiting);
            avahi_entry_group_reset(group);
            entry.populated = false;
            addServiceAndCommit(entry);
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            refuse(entry);
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    static void onClientState(AvahiClient* client, AvahiClientState state, void* core)
    {
        static_cast<Core*>(core)->handleClientState(client, state);
    }

    static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* entry)
    {
        auto& target = *static_cast<Entry*>(entry);
        target.core.handleGroupState(target, group, state);
    }

    static void onWakeUp(AvahiWatch*, int, AvahiWatchEvent, void* core)
    {
        static_cast<Core*>(core)->executor_->runPending();
    }

    std::shared_ptr<runtime::Clock> clock_;
    std::shared_ptr<PollExecutor> executor_;
    AvahiThreadedPoll* poll_ = nullptr;
    std::atomic<bool> available_{false};

    // On the event thread or under the avahi lock.
    AvahiClient* client_ = nullptr;
    std::vector<std::shared_ptr<Entry>> entries_;
    runtime::TimerHandle reconnectTimer_;
};

class AvahiServiceAdvertiser::Registration final : public link::ServiceRegistration {
public:
    Registration(std::shared_ptr<Core> core, std::shared_ptr<Core::Entry> entry)
        : core_(std::move(core)), entry_(std::move(entry))
    {
    }

    ~Registration() override { core_->remove(entry_); }

    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

    State state() const override { return entry_->state(); }
    std::string publishedName() const override { return entry_->name(); }

private:
    std::shared_ptr<Core> core_;
    std::shared_ptr<Core::Entry> entry_;
};

AvahiServiceAdvertiser::AvahiServiceAdvertiser() : AvahiServiceAdvertiser(runtime::makeSteadyClock()) {}

AvahiServiceAdvertiser::AvahiServiceAdvertiser(std::shared_ptr<runtime::Clock> clock)
    : core_(std::make_shared<Core>(std::move(clock)))
{
}

AvahiServiceAdvertiser::~AvahiServiceAdvertiser() = default;

std::unique_ptr<link::ServiceRegistration> AvahiServiceAdvertiser::advertise(
    const link::ServiceAdvertisement& advertisement)
{
    auto entry = core_->add(advertisement);
    return std::make_unique<Registration>(core_, std::move(entry));
}

bool AvahiServiceAdvertiser::daemonAvailable() const
{
    return core_->daemonAvailable();
}

}  // namespace kestrio::platform::avahi
