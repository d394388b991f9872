// The silence watchdog and the blinking in real time: a thermometer that
// stops sending is disconnected once the silence limit (shortened here)
// has passed since its last reading, never earlier; the icon then blinks,
// and its tick ends with the steady picture once the port is open again.
#include "LinkFixture.h"

#include <QElapsedTimer>
#include <QLabel>

namespace {
class LinkWatchdog : public LinkFixture {};
} // namespace

TEST_F(LinkWatchdog, ASilentThermometerIsDisconnectedWhenTheLimitHasPassed) {
    constexpr int limitMs = 3000;
    LinkPty();
    Start({}, /*realTicks=*/true);
    Link().SetSilenceLimit(limitMs);
    Connect();
    ASSERT_TRUE(fMain->AfComPort1->Active());
    QElapsedTimer silence; // from the last good reading
    QObject::connect(&Link(), &TLink::Reading, fMain, [&] { silence.start(); });
    ASSERT_TRUE(Pty.Write("+23.4C\r"));
    ASSERT_TRUE(WaitForLog(kSilent, 60000));
    const qint64 took = silence.elapsed();
    EXPECT_GE(took, limitMs - 2); // a coarse timer fires up to 5 % early
    EXPECT_LE(took, limitMs + 20000);
    EXPECT_EQ(Log(), (QStringList{kOpened, kSilent, kClosed}));
    EXPECT_FALSE(fMain->AfComPort1->Active());
    EXPECT_EQ(fSettings->bConn->text(), "Connect");

    const quint32 id = fMain->TrayIkona1->Identifier();
    const auto showing = [&](int index) {
        const FakeTrayShell::Shown* icon = Tray.Find(id);
        return icon && icon->icon.pixmap(16).toImage() ==
                           fMain->TrayIcons[static_cast<std::size_t>(index)].pixmap(16).toImage();
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return showing(1); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return showing(2); }, 10000));
    Connect(); // open again: the steady picture, and the tick ends
    EXPECT_TRUE(QTest::qWaitFor([&] { return !fMain->Timer2->isActive(); }, 10000));
    EXPECT_TRUE(showing(0));
    EXPECT_TRUE(Boxes.empty());
}
