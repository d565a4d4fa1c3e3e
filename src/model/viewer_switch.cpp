#include "model/viewer_switch.h"


namespace kestrio::model {

namespace {

// The kind whose control event is being handed on, on this thread.
thread_local std::optional<std::size_t> eventChannel;

}  // namespace

std::shared_ptr<ViewerSwitch> ViewerSwitch::create(std::vector<ViewerChannel> channels)
{
    std::shared_ptr<ViewerSwitch> made(new ViewerSwitch(std::move(channels)));
    made->follow();
    return made;
}

ViewerSwitch::ViewerSwitch(std::vector<ViewerChannel> channels) : channels_(std::move(channels)) {}

void ViewerSwitch::follow()
{
    const std::weak_ptr<ViewerSwitch> weak = weak_from_this();
    for (std::size_t index = 0; index < channels_.size(); ++index) {
        channels_[index].link->setOnStateChange([weak, index] {
            if (auto self = weak.lock())
                self->channelChanged(index);
        });
        channels_[index].link->setOnControlEvent([weak, index](const link::ViewerControlEvent& event) {
            auto self = weak.lock();
            if (!self || !self->onControlEvent_)
                return;
            eventChannel = index;
            self->onControlEvent_(event);
            eventChannel.reset();
        });
    }
}

void ViewerSwitch::channelChanged(std::size_t index)
{
    const auto& channel = channels_[index];
    const bool connected = channel.link->isViewerConnected();
    std::optional<std::size_t> replaced;
    {
        std::lock_guard lock(mutex_);
        if (connected && current_ != index)
            replaced = std::exchange(current_, index);
    }
    if (replaced) {
        const auto& previous = *channels_[*replaced].link;
        if (previous.isViewerConnected())
            channels_[*replaced].link->dropConnection(previous.connectionGeneration(), channel.replacedText, runtime::Duration::zero());
    }
    if (onStateChange_)
        onStateChange_();
}

std::uint64_t ViewerSwitch::numberFor(std::size_t index, std::uint64_t generation) const
{
    if (generation == 0)
        return 0;
    const auto key = std::pair(index, generation);
    if (const auto found = numbers_.find(key); found != numbers_.end())
        return found->second;
    // A kind's earlier connections are over: only its latest keeps a number.
    std::erase_if(numbers_, [index](const auto& entry) { return entry.first.first == index; });
    return numbers_[key] = ++lastNumber_;
}

std::uint64_t ViewerSwitch::connectionGeneration() const
{
    std::size_t index;
    {
        std::lock_guard lock(mutex_);
        index = eventChannel.value_or(current_);
    }
    const std::uint64_t generation = channels_[index].link->connectionGeneration();
    std::lock_guard lock(mutex_);
    return numberFor(index, generation);
}

void ViewerSwitch::dropConnection(std::uint64_t number, std::string reason, runtime::Duration holdOff)
{
    std::optional<std::pair<std::size_t, std::uint64_t>> connection;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, known] : numbers_)
            if (known == number)
                connection = key;
    }
    if (connection)
        channels_[connection->first].link->dropConnection(connection->second, std::move(reason), holdOff);
}

void ViewerSwitch::start()
{
    // The streamer's listener last: when it cannot listen now, the others still serve.
    for (std::size_t index = channels_.size(); index-- > 0;)
        channels_[index].link->start();
}

void ViewerSwitch::stop()
{
    for (const auto& channel : channels_)
        channel.link->stop();
}

void ViewerSwitch::retryNow()
{
    for (const auto& channel : channels_)
        channel.link->retryNow();
}

void ViewerSwitch::refreshAdvertisement()
{
    for (const auto& channel : channels_)
        channel.link->refreshAdvertisement();
}

void ViewerSwitch::setOnViewerIdentity(std::function<void(const link::ViewerIdentity&)> callback)
{
    for (const auto& channel : channels_)
        channel.link->setOnViewerIdentity(callback);
}

void ViewerSwitch::setOnOutsiderRefused(std::function<void()> callback)
{
    for (const auto& channel : channels_)
        channel.link->setOnOutsiderRefused(callback);
}

void ViewerSwitch::setOnNetworkChange(std::function<void()> callback)
{
    // Every kind watches the same network: the first kind's news is enough.
    channels_.front().link->setOnNetworkChange(std::move(callback));
}

void ViewerSwitch::setFrameRequestHandler(std::function<void()> handler)
{
    const std::weak_ptr<ViewerSwitch> weak = weak_from_this();
    for (std::size_t index = 0; index < channels_.size(); ++index) {
        if (!handler) {
            channels_[index].sink->setFrameRequestHandler({});
            continue;
        }
        // Only the current kind's viewer asks for pictures.
        channels_[index].sink->setFrameRequestHandler([weak, index, handler] {
            auto self = weak.lock();
            if (!self)
                return;
            {
                std::lock_guard lock(self->mutex_);
                if (self->current_ != index)
                    return;
            }
            handler();
        });
    }
}

}  // namespace kestrio::model
