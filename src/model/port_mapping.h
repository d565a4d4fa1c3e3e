#pragma once

#include "remote/nat_port_mapper.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace kestrio::model {

// Remote access through the router: the mapping of the streaming port, or a host that does not
// ask the router at all (--no-port-mapping).
class PortMapping {
public:
    virtual ~PortMapping() = default;

    // Whether the host asks the router for a mapping.
    virtual bool enabled() const = 0;
    // Starts mapping `port`; `onUpdate` hears each outcome, on the mapper's queue.
    virtual void start(std::uint16_t port, std::function<void(const remote::NATPortMappingUpdate&)> onUpdate) = 0;
    // Withdraws the mapping.
    virtual void shutdown() = 0;
};

// The mapping that `mapper` keeps.
std::shared_ptr<PortMapping> routerPortMapping(std::shared_ptr<remote::NATPortMapper> mapper);
// No mapping, ever.
std::shared_ptr<PortMapping> portMappingOff();

}  // namespace kestrio::model
