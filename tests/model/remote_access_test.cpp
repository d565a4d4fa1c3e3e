// The router's port mapping as the model shows it.
#include "app/status_printer.h"
#include "model/model_fakes_support.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kestrio::test {
namespace {

using namespace std::chrono_literals;

class AnsweringRouter final : public remote::RouterPortMapping {
public:
    remote::RouterMappingResult map(std::uint16_t port, std::chrono::seconds) override
    {
        calls.push_back("map " + std::to_string(port));
        return answer;
    }
    bool unmap(std::uint16_t port) override
    {
        calls.push_back("unmap " + std::to_string(port));
        return true;
    }
    remote::RouterAddressResult externalAddress() override { return {answer.outcome, address, {}}; }

    remote::RouterMappingResult answer{remote::RouterMappingResult::Outcome::mapped, 61000, 3600s, {}, {}, {}};
    std::string address = "203.0.113.7";
    std::vector<std::string> calls;
};

TEST(RemoteAccess, TheMappingBecomesTheEndpointAndItsStatus)
{
    ModelHarness harness;
    auto router = std::make_shared<AnsweringRouter>();
    harness.router = router;
    auto& model = harness.create();
    EXPECT_EQ(router->calls, std::vector<std::string>{"map 59590"}) << "the streaming port, inside and outside";
    using State = model::RemoteAccess::State;
    EXPECT_EQ(model.remoteAccess(), (model::RemoteAccess{State::ready, "203.0.113.7", 61000, {}})) << "the port the router granted";

    const int before = harness.changes;
    router->answer = {remote::RouterMappingResult::Outcome::disabled, 0, {}, {}, {}, {}};
    harness.advance(300s);
    EXPECT_EQ(model.remoteAccess(), (model::RemoteAccess{State::unavailable, {}, 0, "공유기의 자동 포트 개방이 꺼져 있습니다"}));
    EXPECT_GE(harness.changes - before, 2) << "the change and the notification after it";

    router->answer = {remote::RouterMappingResult::Outcome::mapped, 59590, 3600s, {}, {}, {}};
    router->address = "203.0.113.9";
    harness.advance(300s);
    EXPECT_EQ(model::endpointText(model.remoteAccess()), "203.0.113.9:59590");

    model.shutdown();
    harness.settle();
    EXPECT_EQ(router->calls.back(), "unmap 59590") << "the mapping is withdrawn when the host ends";
}

TEST(RemoteAccess, AHostWithoutAWindowPrintsTheChanges)
{
    ModelHarness harness;
    auto router = std::make_shared<AnsweringRouter>();
    router->answer = {remote::RouterMappingResult::Outcome::unsupported, 0, {}, {}, {}, {}};
    harness.router = router;
    harness.settings->setBool(model::settingsKey::iMessageNotificationsEnabled, true);
    harness.settings->setString(model::settingsKey::iMessageAddress, "me@example.com");
    std::ostringstream out;
    app::StatusPrinter printer(out);
    harness.create();
    printer.show(*harness.model);
    out.str("");
    router->answer = {remote::RouterMappingResult::Outcome::mapped, 61000, 3600s, {}, {}, {}};
    harness.advance(300s);
    printer.show(*harness.model);
    EXPECT_EQ(out.str(), "remote address: 203.0.113.7:61000 (자동 포트 연결 준비됨)\n"
                         "message: 메시지 권한이 필요합니다. 설정에서 Kestrio Mac을 허용하세요.\n"
                         "Messages permission is required. Allow Kestrio Mac in Settings.\n")
        << "nothing to send with";
    out.str("");
    printer.show(*harness.model);
    EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace kestrio::test
