#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using platform::Event;
using platform::WaitForAny;
using platform::WaitTimeout;

namespace {
constexpr int kLong = 10000; // generous: only reached when something is broken
}

TEST(Event, ManualResetStaysSetForEveryWaiterUntilReset) {
    Event e(Event::ResetMode::Manual);
    EXPECT_FALSE(e.IsSet());
    e.Set();
    EXPECT_TRUE(platform::WaitFor(e, 0));
    EXPECT_TRUE(platform::WaitFor(e, 0));
    EXPECT_TRUE(e.IsSet());
    e.Reset();
    EXPECT_FALSE(e.IsSet());
    EXPECT_FALSE(platform::WaitFor(e, 0));
}

TEST(Event, AutoResetIsTakenByTheWaiterAndSetsDoNotCount) {
    Event e(Event::ResetMode::Auto, true);
    EXPECT_TRUE(e.IsSet()); // looking does not take it
    EXPECT_TRUE(platform::WaitFor(e, 0));
    EXPECT_FALSE(e.IsSet());
    EXPECT_FALSE(platform::WaitFor(e, 0));
    // Two sets before a wait are one signal, as with a Windows event.
    e.Set();
    e.Set();
    EXPECT_TRUE(e.TryTake());
    EXPECT_FALSE(e.TryTake());
}

TEST(Event, WaitForAnyLowestIndexWinsAndOnlyThatOneIsTaken) {
    Event a, b(Event::ResetMode::Auto), c(Event::ResetMode::Manual);
    b.Set();
    c.Set();
    EXPECT_EQ(WaitForAny({&a, &b, &c}, 0), 1);
    EXPECT_FALSE(b.IsSet());
    EXPECT_TRUE(c.IsSet());
    EXPECT_EQ(WaitForAny({&a, &b, &c}, 0), 2);
    a.Set();
    EXPECT_EQ(WaitForAny({&a, &b, &c}, 0), 0);
    EXPECT_EQ(WaitForAny({&a, &b}, 0), WaitTimeout);
}

TEST(Event, WaitTimesOutAndEmptySetFails) {
    Event a;
    const long long start = platform::MonotonicMs();
    EXPECT_EQ(WaitForAny({&a}, 50), WaitTimeout);
    EXPECT_GE(platform::MonotonicMs() - start, 45);
    EXPECT_EQ(WaitForAny(std::span<Event* const>{}, 0), platform::WaitFailed);
}

TEST(Event, SetFromAnotherThreadWakesAnUnlimitedWait) {
    Event stop, data;
    std::thread setter([&] { data.Set(); });
    EXPECT_EQ(WaitForAny({&stop, &data}, platform::InfiniteWait), 1);
    setter.join();
}

TEST(Event, OneSetOfAnAutoResetEventWakesExactlyOneOfManyWaiters) {
    Event e(Event::ResetMode::Auto);
    Event quit(Event::ResetMode::Manual);
    std::atomic<int> woke{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (WaitForAny({&quit, &e}, kLong) == 1)
                ++woke;
        });
    }
    e.Set();
    // Wait until one has taken it, then let the others go.
    const long long start = platform::MonotonicMs();
    while (woke.load() == 0 && platform::MonotonicMs() - start < kLong)
        std::this_thread::yield();
    quit.Set();
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woke.load(), 1);
}

TEST(Event, RemainingMsCountsDownAndKeepsInfinite) {
    const long long start = platform::MonotonicMs();
    EXPECT_EQ(platform::RemainingMs(start, platform::InfiniteWait), platform::InfiniteWait);
    EXPECT_EQ(platform::RemainingMs(start - 1000, 500), 0);
    const int left = platform::RemainingMs(start, 60000);
    EXPECT_GT(left, 50000);
    EXPECT_LE(left, 60000);
}
