#pragma once

#include <optional>

namespace kestrio::model {

// The desktop's output volume. Blocking calls: the model runs them off its main thread.
class VolumeControl {
public:
    virtual ~VolumeControl() = default;
    // The current output level in percent (0 to 100, or above when the system allows
    // amplification), or nothing when there is no sound server or it cannot be read.
    virtual std::optional<int> outputVolume() = 0;
    // Sets the level (already clamped to 0…100 by the caller) and the mute state; failures
    // are ignored.
    virtual void setOutputVolume(int percent, bool muted) = 0;
};

}  // namespace kestrio::model
