#include <gtest/gtest.h>

#include <cstdint>

#include "launcher/manifest_deadline.h"
#include "net/proxy_choice.h"
#include "net/transfer_deadline.h"

using namespace velda;

namespace {

TEST(NextCallBudget, IsTheStallLimitUntilTheDeadlineIsNearer) {
    struct Case {
        uint64_t now;
        uint64_t deadline;
        uint32_t timeout;
        bool by_deadline;
    };
    const Case cases[] = {
        {1000, 0, kStallLimitMs, false},                     // no deadline
        {1000, 1000 + kStallLimitMs, kStallLimitMs, false},  // exactly the stall limit left
        {1000, 1000 + kStallLimitMs + 5, kStallLimitMs, false},
        {1000, 1000 + kStallLimitMs - 1, kStallLimitMs - 1, true},
        {1000, 1001, 1, true},
        {1000, 1000, 0, true},  // passed: no call may start
        {5000, 1000, 0, true},  // long passed: no wrap-around to a huge timeout
    };
    for (const Case& c : cases) {
        CallBudget budget = next_call_budget(c.now, c.deadline);
        EXPECT_EQ(budget.timeout_ms, c.timeout) << c.now << " " << c.deadline;
        EXPECT_EQ(budget.limited_by_deadline, c.by_deadline) << c.now << " " << c.deadline;
    }
}

TEST(CallRanOut, TellsATimeoutFromAnEarlyFailure) {
    constexpr uint32_t kChannelError = 12157;
    EXPECT_TRUE(call_ran_out(20000, 20000, kChannelError));
    EXPECT_TRUE(call_ran_out(19950, 20000, kChannelError));  // the timer fired a tick early
    EXPECT_TRUE(call_ran_out(25000, 20000, kChannelError));
    EXPECT_FALSE(call_ran_out(3, 20000, kChannelError));  // refused or reset at once
    EXPECT_FALSE(call_ran_out(19000, 20000, 12030));
    // The send waited and the response reports it at once.
    EXPECT_TRUE(call_ran_out(0, 20000, 12002));
    EXPECT_TRUE(call_ran_out(0, 20000, 10060));
}

TEST(TrickleWatch, CountsEachWindowOfTheStallLimit) {
    TrickleWatch slow(1000);
    EXPECT_FALSE(slow.arrived(1000 + kStallLimitMs - 1, 10));  // the window is not over yet
    EXPECT_TRUE(slow.arrived(1000 + kStallLimitMs, 10));       // 20 bytes in a whole window

    TrickleWatch fast_then_slow(0);
    EXPECT_FALSE(fast_then_slow.arrived(kStallLimitMs, kStallMinimumBytes));  // a new window
    EXPECT_FALSE(fast_then_slow.arrived(kStallLimitMs + 100, 1));
    EXPECT_TRUE(fast_then_slow.arrived(2 * kStallLimitMs, kStallMinimumBytes - 2));

    TrickleWatch one_late_piece(0);  // a read that waited past the window brings enough
    EXPECT_FALSE(one_late_piece.arrived(3 * kStallLimitMs, 64 * 1024));
}

TEST(ManifestTimeLimit, EndsAtTheSameTimeAfterLaunchWithAFloor) {
    EXPECT_EQ(manifest_time_limit_ms(0), kManifestDeadlineFromLaunchMs);
    EXPECT_EQ(manifest_time_limit_ms(500), kManifestDeadlineFromLaunchMs - 500);
    EXPECT_EQ(manifest_time_limit_ms(kManifestDeadlineFromLaunchMs - kManifestMinimumMs),
              kManifestMinimumMs);
    EXPECT_EQ(manifest_time_limit_ms(60000), kManifestMinimumMs);
    EXPECT_EQ(manifest_time_limit_ms(UINT64_MAX - 1), kManifestMinimumMs);
}

TEST(ProxyDiscovery, SystemResolvesItFromWindows81) {
    EXPECT_EQ(proxy_discovery_for(6, 1), ProxyDiscovery::UserSettings);  // 7
    EXPECT_EQ(proxy_discovery_for(6, 2), ProxyDiscovery::UserSettings);  // 8
    EXPECT_EQ(proxy_discovery_for(6, 3), ProxyDiscovery::Automatic);     // 8.1
    EXPECT_EQ(proxy_discovery_for(10, 0), ProxyDiscovery::Automatic);
    EXPECT_EQ(proxy_discovery_for(5, 9), ProxyDiscovery::UserSettings);
}

TEST(UserProxyPlan, FollowsInternetOptions) {
    struct Case {
        UserProxySettings settings;
        bool fixed;
        bool per_url;
    };
    const Case cases[] = {
        {{false, false, false}, false, false},  // nothing set: direct
        {{false, false, true}, true, false},   {{true, false, false}, false, true},  // WPAD
        {{false, true, false}, false, true},                                         // PAC
        {{true, true, true}, true, true},  // the fixed proxy stays behind the script
    };
    for (const Case& c : cases) {
        UserProxyPlan plan = plan_user_proxy(c.settings);
        EXPECT_EQ(plan.session_uses_fixed_proxy, c.fixed);
        EXPECT_EQ(plan.ask_per_url, c.per_url);
    }
}

}  // namespace
