// The upload's rhythm across a reload: a period switched on again counts
// from the last send, not from the reload.
#include "support/CoreFixture.h"

TEST_F(CoreFixture, APeriodSwitchedOnAgainCountsFromTheLastSend) {
    Deps.MinuteMs = 1000;
    Start("[Data]\r\nPeriod=0\r\n");
    QTimer* timer = Core().Upload().Timer();
    EXPECT_FALSE(timer->isActive());
    QTest::qWait(1200);
    QFile f(Paths().IniPath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Data]\r\nPeriod=2\r\n");
    f.close();
    ASSERT_EQ(Core().Reload(), QString());
    ASSERT_TRUE(timer->isActive());
    // Due 2 s after the start (the last send's place), not 2 s from now.
    EXPECT_LE(timer->remainingTime(), 850);
}
