// The silence watchdog and the blinking in real time: a thermometer that
// stops sending is disconnected once the silence limit (shortened here)
// has passed since its last reading, never earlier; the icon then blinks,
// and its tick ends with the steady picture once the port is open again.
#include "support/CoreFixture.h"

#include <QElapsedTimer>
#include <QTimer>

namespace {
class LinkWatchdog : public CoreFixture {};
} // namespace

TEST_F(LinkWatchdog, ASilentThermometerIsDisconnectedWhenTheLimitHasPassed) {
    constexpr int limitMs = 3000;
    LinkPty();
    Start();
    Link().SetIconShown(true); // as a window showing the icon does
    std::vector<int> frames;
    QObject::connect(&Link(), &TLink::IconFrame, &Core(),
                     [&](int frame) { frames.push_back(frame); });
    Link().SetSilenceLimit(limitMs);
    Connect();
    ASSERT_TRUE(Link().Open());
    QElapsedTimer silence; // from the last good reading
    QObject::connect(&Link(), &TLink::Reading, &Core(), [&] { silence.start(); });
    ASSERT_TRUE(Pty.Write("+23.4C\r"));
    ASSERT_TRUE(WaitForLog(kSilent, 60000));
    const qint64 took = silence.elapsed();
    EXPECT_GE(took, limitMs - 2); // a coarse timer fires up to 5 % early
    EXPECT_LE(took, limitMs + 20000);
    EXPECT_EQ(Log(), (QStringList{kOpened, kSilent, kClosed}));
    EXPECT_FALSE(Link().Open());

    const auto showing = [&](int frame) { return !frames.empty() && frames.back() == frame; };
    EXPECT_TRUE(QTest::qWaitFor([&] { return showing(1); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return showing(2); }, 10000));
    Connect(); // open again: the steady picture, and the tick ends
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Link().Tick()->isActive(); }, 10000));
    EXPECT_TRUE(showing(0));
    EXPECT_TRUE(Boxes.empty());
}
