#pragma once

#include <memory>
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

// A desktop whose volume the host cannot change: the level is never known, so nothing is set.
inline std::shared_ptr<VolumeControl> volumeControlOff()
{
    class Off final : public VolumeControl {
    public:
        std::optional<int> outputVolume() override { return std::nullopt; }
        void setOutputVolume(int, bool) override {}
    };
    return std::make_shared<Off>();
}

}  // namespace kestrio::model
