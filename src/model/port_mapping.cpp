#include "model/port_mapping.h"

namespace kestrio::model {

namespace {

class RouterPortMapping final : public PortMapping {
public:
    explicit RouterPortMapping(std::shared_ptr<remote::NATPortMapper> mapper) : mapper_(std::move(mapper)) {}

    bool enabled() const override { return true; }
    void start(std::uint16_t port, std::function<void(const remote::NATPortMappingUpdate&)> onUpdate) override
    {
        mapper_->setOnUpdate(std::move(onUpdate));
        mapper_->start(port);
    }
    void shutdown() override { mapper_->shutdown(); }

private:
    std::shared_ptr<remote::NATPortMapper> mapper_;
};

class PortMappingOff final : public PortMapping {
public:
    bool enabled() const override { return false; }
    void start(std::uint16_t, std::function<void(const remote::NATPortMappingUpdate&)>) override {}
    void shutdown() override {}
};

}  // namespace

std::shared_ptr<PortMapping> routerPortMapping(std::shared_ptr<remote::NATPortMapper> mapper)
{
    return std::make_shared<RouterPortMapping>(std::move(mapper));
}

std::shared_ptr<PortMapping> portMappingOff()
{
    return std::make_shared<PortMappingOff>();
}

}  // namespace kestrio::model
