#include "display/virtual_display_manager.h"

#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <stdexcept>
#include <variant>
#include <vector>

namespace kestrio::display {
namespace {

// What one call of createVirtualMonitor does: hand out a monitor with this ID (0 included), give
// nothing, or throw.
struct Outcome {
    enum class Kind { monitor, nothing, error, foreignError } kind = Kind::monitor;
    std::uint32_t id = 0;
    VirtualDisplayError error = VirtualDisplayError::creationFailed;

    static Outcome monitor(std::uint32_t id) { return {Kind::monitor, id}; }
    static Outcome nothing() { return {Kind::nothing}; }
    static Outcome failure(VirtualDisplayError error) { return {Kind::error, 0, error}; }
    static Outcome foreign() { return {Kind::foreignError}; }
};

// A facility that plays a script and keeps track of the monitors that exist, the way the platform
// would.
class ScriptedFacility final : public DisplayFacility {
public:
    explicit ScriptedFacility(std::deque<Outcome> script) : script_(std::move(script)) {}

    std::vector<DisplayInfo> displays() override
    {
        std::vector<DisplayInfo> list;
        for (std::uint32_t id : live)
            list.push_back(DisplayInfo{id, 0, 0, 1, 1, std::string(virtualMonitorName), true});
        return list;
    }

    std::unique_ptr<VirtualMonitor> createVirtualMonitor(VirtualResolution resolution, int attempt) override
    {
        calls.push_back({resolution, attempt});
        if (script_.empty())
            throw std::logic_error("more attempts than scripted");
        Outcome outcome = script_.front();
        script_.pop_front();
        switch (outcome.kind) {
        case Outcome::Kind::monitor:
            return std::make_unique<Monitor>(*this, outcome.id);
        case Outcome::Kind::nothing:
            return nullptr;
        case Outcome::Kind::error:
            throw VirtualDisplayException(outcome.error);
        case Outcome::Kind::foreignError:
            throw std::runtime_error("connection lost");
        }
        return nullptr;
    }

    struct Call {
        VirtualResolution resolution;
        int attempt;
    };
    std::vector<Call> calls;
    std::multiset<std::uint32_t> live;
    std::vector<std::uint32_t> removed;

private:
    class Monitor final : public VirtualMonitor {
    public:
        Monitor(ScriptedFacility& facility, std::uint32_t id) : facility_(facility), id_(id) { facility_.live.insert(id); }
        ~Monitor() override
        {
            facility_.live.erase(facility_.live.find(id_));
            facility_.removed.push_back(id_);
        }
        std::uint32_t displayID() const override { return id_; }

    private:
        ScriptedFacility& facility_;
        std::uint32_t id_;
    };

    std::deque<Outcome> script_;
};

VirtualDisplayError thrownKind(ScriptedFacility& facility, VirtualResolution resolution)
{
    try {
        VirtualDisplayManager manager(facility, resolution);
    } catch (const VirtualDisplayException& exception) {
        return exception.error();
    }
    ADD_FAILURE() << "the manager was constructed";
    return VirtualDisplayError::notVisible;
}

TEST(VirtualDisplayManagerTest, FirstSuccessfulAttemptIsKeptUntilTheManagerGoes)
{
    ScriptedFacility facility({Outcome::monitor(7), Outcome::monitor(8)});
    {
        VirtualDisplayManager manager(facility, VirtualResolution::hd);
        EXPECT_EQ(manager.displayID(), 7u);
        ASSERT_EQ(facility.calls.size(), 1u);
        EXPECT_EQ(facility.calls[0].resolution, VirtualResolution::hd);
        EXPECT_EQ(facility.calls[0].attempt, 1);
        EXPECT_EQ(facility.live, std::multiset<std::uint32_t>{7});
    }
    EXPECT_TRUE(facility.live.empty());
    EXPECT_EQ(facility.removed, std::vector<std::uint32_t>{7});
}

TEST(VirtualDisplayManagerTest, ReleaseRemovesTheMonitorAndKeepsItsID)
{
    ScriptedFacility facility({Outcome::monitor(3)});
    VirtualDisplayManager manager(facility, VirtualResolution::fullHD);
    EXPECT_TRUE(manager.holdsMonitor());
    manager.release();
    EXPECT_FALSE(manager.holdsMonitor());
    EXPECT_TRUE(facility.live.empty());
    EXPECT_EQ(manager.displayID(), 3u);
}

TEST(VirtualDisplayManagerTest, RetriesWithCountedAttemptsAfterEachKindOfFailure)
{
    // A monitor with ID 0 is a failed creation and is removed before the next attempt.
    ScriptedFacility facility({Outcome::failure(VirtualDisplayError::settingsRejected), Outcome::monitor(0),
                               Outcome::nothing(), Outcome::monitor(42)});
    VirtualDisplayManager manager(facility, VirtualResolution::hdPlus);
    EXPECT_EQ(manager.displayID(), 42u);
    ASSERT_EQ(facility.calls.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(facility.calls[i].attempt, i + 1);
        EXPECT_EQ(facility.calls[i].resolution, VirtualResolution::hdPlus);
    }
    EXPECT_EQ(facility.removed, std::vector<std::uint32_t>{0});
    EXPECT_EQ(facility.live, std::multiset<std::uint32_t>{42});
}

TEST(VirtualDisplayManagerTest, FourFailuresThrowTheLastKindAndLeaveNothing)
{
    using E = VirtualDisplayError;
    struct Case {
        std::deque<Outcome> script;
        E expected;
    };
    const Case cases[] = {
        {{Outcome::failure(E::settingsRejected), Outcome::failure(E::settingsRejected), Outcome::failure(E::settingsRejected),
          Outcome::failure(E::settingsRejected)},
         E::settingsRejected},
        {{Outcome::failure(E::settingsRejected), Outcome::failure(E::settingsRejected), Outcome::failure(E::settingsRejected),
          Outcome::monitor(0)},
         E::creationFailed},
        {{Outcome::nothing(), Outcome::monitor(0), Outcome::foreign(), Outcome::failure(E::settingsRejected)},
         E::settingsRejected},
        {{Outcome::failure(E::settingsRejected), Outcome::failure(E::settingsRejected), Outcome::failure(E::settingsRejected),
          Outcome::foreign()},
         E::creationFailed},
    };
    for (const auto& c : cases) {
        ScriptedFacility facility(c.script);
        EXPECT_EQ(thrownKind(facility, VirtualResolution::fullHD), c.expected);
        EXPECT_EQ(facility.calls.size(), 4u);
        EXPECT_TRUE(facility.live.empty());
    }
}

}  // namespace
}  // namespace kestrio::display
