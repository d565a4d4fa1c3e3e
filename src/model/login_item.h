#pragma once

#include <optional>
#include <string>

namespace kestrio::model {

// Whether the desktop starts the host when the user logs in.
class LoginItemService {
public:
    enum class Status { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

    virtual ~LoginItemService() = default;

    virtual Status status() = 0;
    // Each returns an error text on failure, nothing on success.
    virtual std::optional<std::string> registerItem() = 0;
    virtual std::optional<std::string> unregisterItem() = 0;
};

}  // namespace kestrio::model
