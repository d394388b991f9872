// The silence watchdog in real time: a thermometer that stops sending is
// disconnected after about 30.5 s (61 ticks of the 500 ms timer). Its own
// program, so that it runs beside the other tests.
#include "LinkFixture.h"

#include <QElapsedTimer>
#include <QLabel>

namespace {
class LinkWatchdog : public LinkFixture {};
} // namespace

TEST_F(LinkWatchdog, ASilentThermometerIsDisconnectedAfterAbout30Seconds) {
    LinkPty();
    Start({}, /*realTicks=*/true);
    Connect();
    ASSERT_TRUE(fMain->AfComPort1->Active());
    ASSERT_TRUE(Pty.Write("+23.4C\r"));
    ASSERT_TRUE(QTest::qWaitFor(
        [] { return fMain->Label1->text() == QStringLiteral("23.4\u00B0C"); }, 10000));
    QElapsedTimer silence; // from the last good reading
    silence.start();

    ASSERT_TRUE(WaitForLog(kSilent, 90000));
    const qint64 took = silence.elapsed();
    // 61 ticks; the timer may run up to 5 % early, and a loaded machine late.
    EXPECT_GE(took, 28500);
    EXPECT_LE(took, 75000);
    EXPECT_EQ(Log(), (QStringList{kOpened, kSilent, kClosed}));
    EXPECT_FALSE(fMain->AfComPort1->Active());
    EXPECT_EQ(fSettings->bConn->text(), "Connect");

    // The icon blinks from now on.
    const win::DWORD id = fMain->TrayIkona1->Identifier();
    const auto showing = [&](int index) {
        const FakeTrayShell::Shown* icon = Tray.Find(id);
        return icon && platform::IconForHandle(icon->hIcon).pixmap(16).toImage() ==
                           fMain->TrayIcons[static_cast<std::size_t>(index)].pixmap(16).toImage();
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return showing(1); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return showing(2); }, 10000));
    EXPECT_TRUE(Boxes.empty());
}
