#pragma once

#include "remote/permanent_mapping_record.h"
#include "remote/router_port_mapping.h"
#include "runtime/clock.h"
#include "runtime/executor.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kestrio::remote {

// What the user reads when no mapping could be made.
inline constexpr std::string_view doubleNatText = "이중 NAT 또는 CGNAT 환경입니다";
inline constexpr std::string_view mappingDisabledText = "공유기의 자동 포트 개방이 꺼져 있습니다";
inline constexpr std::string_view mappingUnsupportedText = "공유기가 자동 포트 개방을 지원하지 않습니다";
inline constexpr std::string_view mappingOtherErrorText = "자동 원격 연결을 열 수 없습니다 · 오류 (error)";
inline constexpr std::string_view noExternalPortText = "공유기가 외부 포트를 열지 못했습니다";
inline constexpr std::string_view cannotStartMappingText = "NAT 포트 매핑을 시작할 수 없음";

// Whether a text is an IPv4 address in dotted-decimal form, as routers are expected to answer.
bool isDottedIPv4(std::string_view text);
// Whether a router's answer is an IPv4 address that can stand for the router on the internet:
// not "this network", loopback, link-local, multicast or reserved. Private and shared addresses
// pass here; they say the router sits behind another NAT.
bool isUsablePublicIPv4(std::string_view text);

// One outcome of the port mapping.
struct NATPortMappingUpdate {
    struct Ready {
        std::string address;  // the router's external IPv4 address, dotted
        std::uint16_t port = 0;
        bool operator==(const Ready&) const = default;
    };
    struct Unavailable {
        std::string message;
        bool operator==(const Unavailable&) const = default;
    };
    std::variant<Ready, Unavailable> value;
    bool operator==(const NATPortMappingUpdate&) const = default;
};

// Whether an IPv4 address (dotted text) is private or shared address space, which a router
// reports as its external address only when it sits behind another NAT.
bool isPrivateOrSharedIPv4(std::string_view address);

// Keeps one TCP port forwarded on the home router: learns the router's external address, maps the
// port when that address is public, renews the lease before it runs out, reports every change of
// the external address or port, and withdraws the mapping on stop. A router behind another NAT,
// or one without a usable address, gets no mapping at all: it is only asked for its address
// again later. A lease without expiry is written down until withdrawn, and one that an earlier
// run left open is withdrawn at the first start, if the router still holds it for this host.
// Router calls block, so everything runs on the mapper's own queue; updates are delivered there.
class NATPortMapper final : public std::enable_shared_from_this<NATPortMapper> {
public:
    struct Environment {
        std::shared_ptr<runtime::Executor> queue;  // "com.kestrio.nat-port-mapper"
        std::shared_ptr<runtime::Clock> clock;
        std::shared_ptr<RouterPortMapping> router;  // null: no router facility on this system
        PermanentMappingMemory permanentMappings{};
    };

    // The lease asked for, and the most a working mapping waits before it is asked again (so a
    // new external address is noticed within this time).
    static constexpr std::chrono::seconds requestedLifetime{3600};
    static constexpr std::chrono::seconds longestRenewalInterval{300};
    static constexpr std::chrono::seconds shortestRenewalInterval{30};
    // After a failure the router is asked again this much later: it may be switched on, or come
    // back, in the meantime.
    static constexpr std::chrono::seconds retryInterval{300};

    static std::shared_ptr<NATPortMapper> create(Environment environment);

    NATPortMapper(const NATPortMapper&) = delete;
    NATPortMapper& operator=(const NATPortMapper&) = delete;

    // Set before start(); called on the queue for every change of outcome.
    void setOnUpdate(std::function<void(const NATPortMappingUpdate&)> onUpdate);

    // Maps `port` (the same number inside and outside), replacing any earlier mapping. Returns at
    // once.
    void start(std::uint16_t port);

    // Withdraws the mapping on the queue; from the moment of the call, nothing more is
    // delivered. The owner calls it before letting go of the mapper.
    void shutdown();

    // The external port of the current mapping. Read on the queue.
    std::optional<std::uint16_t> mappedPort() const { return mappedPort_; }

private:
    explicit NATPortMapper(Environment environment);

    void stop();
    void attempt(std::uint64_t generation);
    void withdrawLeftMapping();
    void withdraw();
    void noteLease(const RouterMappingResult& result);
    void forgetRecord();
    void scheduleAttempt(std::chrono::seconds delay);
    void deliver(NATPortMappingUpdate update);

    Environment environment_;
    std::function<void(const NATPortMappingUpdate&)> onUpdate_;
    std::atomic<bool> closed_{false};

    // Queue only.
    std::optional<std::uint16_t> port_;
    bool routerHoldsMapping_ = false;
    std::optional<PermanentMappingRecord> leftRecord_;        // an earlier run's, until settled
    std::optional<PermanentMappingRecord> rememberedRecord_;  // this run's
    std::optional<std::uint16_t> mappedPort_;
    std::optional<NATPortMappingUpdate> lastDelivered_;
    std::uint64_t generation_ = 0;  // a stop or a new start makes earlier timers void
    runtime::TimerHandle timer_;
};

}  // namespace kestrio::remote
