#include "display/virtual_display_manager.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>
#include <vector>

namespace kestrio::display {
namespace {

// Plays one outcome per attempt: a monitor ID (0 included), -1 for nothing, -2 for a foreign
// exception, -3 for settingsRejected. Keeps track of the monitors that exist.
class ScriptedFacility final : public DisplayFacility {
public:
    explicit ScriptedFacility(std::deque<long> script) : script_(std::move(script)) {}

    std::vector<DisplayInfo> displays() override { return {}; }

    std::unique_ptr<VirtualMonitor> createVirtualMonitor(VirtualResolution resolution, int attempt) override
    {
        EXPECT_EQ(resolution, VirtualResolution::hdPlus);
        EXPECT_EQ(attempt, ++attempts);
        long outcome = script_.front();
        script_.pop_front();
        if (outcome == -1)
            return nullptr;
        if (outcome == -2)
            throw std::runtime_error("connection lost");
        if (outcome == -3)
            throw VirtualDisplayException(VirtualDisplayError::settingsRejected);
        return std::make_unique<Monitor>(*this, static_cast<std::uint32_t>(outcome));
    }

    int attempts = 0;
    int live = 0;

private:
    class Monitor final : public VirtualMonitor {
    public:
        Monitor(ScriptedFacility& facility, std::uint32_t id) : facility_(facility), id_(id) { ++facility_.live; }
        ~Monitor() override { --facility_.live; }
        std::uint32_t displayID() const override { return id_; }

    private:
        ScriptedFacility& facility_;
        std::uint32_t id_;
    };

    std::deque<long> script_;
};

TEST(VirtualDisplayManagerTest, RetriesUntilAMonitorWithAnIDAndKeepsItUntilReleased)
{
    // A monitor with ID 0 is a failed creation and is removed before the next attempt.
    ScriptedFacility facility({-3, 0, -1, 42});
    VirtualDisplayManager manager(facility, VirtualResolution::hdPlus);
    EXPECT_EQ(manager.displayID(), 42u);
    EXPECT_EQ(facility.attempts, 4);
    EXPECT_EQ(facility.live, 1);
    manager.release();
    EXPECT_EQ(facility.live, 0);
    EXPECT_EQ(manager.displayID(), 42u);
}

TEST(VirtualDisplayManagerTest, FourFailuresThrowTheLastKindAndLeaveNothing)
{
    struct Case {
        std::deque<long> script;
        VirtualDisplayError expected;
    };
    const Case cases[] = {
        {{-1, 0, -2, -3}, VirtualDisplayError::settingsRejected},
        {{-3, -3, -3, 0}, VirtualDisplayError::creationFailed},
        {{-3, -3, -3, -2}, VirtualDisplayError::creationFailed},
    };
    for (const auto& c : cases) {
        ScriptedFacility facility(c.script);
        try {
            VirtualDisplayManager manager(facility, VirtualResolution::hdPlus);
            ADD_FAILURE() << "the manager was constructed";
        } catch (const VirtualDisplayException& exception) {
            EXPECT_EQ(exception.error(), c.expected);
        }
        EXPECT_EQ(facility.attempts, 4);
        EXPECT_EQ(facility.live, 0);
    }
}

}  // namespace
}  // namespace kestrio::display
