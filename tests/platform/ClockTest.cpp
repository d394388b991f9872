// The program's clock: the local time of the zone in effect, which it looks
// at again only when told to (not at every reading).
#include "platform/Clock.h"

#include <cstdlib>
#include <gtest/gtest.h>

TEST(Clock, LocalTimeOfTheZoneInEffectFollowingAChangeOnceRefreshed) {
    setenv("TZ", "Asia/Kolkata", 1); // +05:30 all year
    platform::RefreshTimeZone();
    const QDateTime now = platform::Now();
    EXPECT_EQ(now.offsetFromUtc(), 19800);
    EXPECT_LE(std::llabs(now.toMSecsSinceEpoch() - QDateTime::currentMSecsSinceEpoch()), 2000);
    setenv("TZ", "America/Sao_Paulo", 1); // -03:00 all year
    EXPECT_EQ(platform::Now().offsetFromUtc(), 19800);
    platform::RefreshTimeZone();
    EXPECT_EQ(platform::Now().offsetFromUtc(), -10800);
    unsetenv("TZ");
    platform::RefreshTimeZone();
}
