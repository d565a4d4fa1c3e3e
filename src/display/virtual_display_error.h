#pragma once

#include <stdexcept>
#include <string_view>

namespace kestrio::display {

enum class VirtualDisplayError { creationFailed, settingsRejected, notVisible };

// The text the user is shown.
constexpr std::string_view description(VirtualDisplayError error)
{
    switch (error) {
    case VirtualDisplayError::creationFailed:
        return "가상 모니터를 만들 수 없습니다.";
    case VirtualDisplayError::settingsRejected:
        return "가상 모니터 해상도를 적용할 수 없습니다.";
    case VirtualDisplayError::notVisible:
        return "가상 모니터가 macOS에 표시되지 않았습니다.";
    }
    return {};
}

// Carries a VirtualDisplayError; what() is its description.
class VirtualDisplayException : public std::runtime_error {
public:
    explicit VirtualDisplayException(VirtualDisplayError error)
        : std::runtime_error(std::string(description(error))), error_(error)
    {
    }

    VirtualDisplayError error() const { return error_; }

private:
    VirtualDisplayError error_;
};

}  // namespace kestrio::display
