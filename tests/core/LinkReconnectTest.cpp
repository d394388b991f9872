// Reconnecting by itself ("Reconnect automatically"): a lost port is reopened
// every 5 s until the device is back; the user's own Disconnect is never
// undone. The tries run in real time at a shortened interval, counted by the
// retry timer's ticks so that a slow machine cannot pass or fail them.
#include "support/CoreFixture.h"

#include <QSignalSpy>
#include <QTimer>

namespace {

constexpr int kRetryMs = 300;

class LinkReconnect : public CoreFixture {
protected:
    bool Open() { return Link().Open(); }
    // Shortens the retries; a running retry timer restarts at once.
    void FastRetries() {
        EXPECT_EQ(Link().ReconnectTimer()->interval(), 5000);
        Link().ReconnectTimer()->setInterval(kRetryMs);
    }
};

} // namespace

TEST_F(LinkReconnect, AHungUpPortIsReopenedWhenTheDeviceIsBackButADisconnectStays) {
    LinkPty();
    Start("[Data]\r\nAutoReconnect=-1\r\n");
    FastRetries();
    QSignalSpy tries(Link().ReconnectTimer(), &QTimer::timeout);
    Connect();
    ASSERT_TRUE(Pty.Write("+19.5C\r"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Link().Temperature() == 19.5L; }, 10000));
    Pty.CloseSlave();
    Pty.CloseMaster(); // unplugged: its node is gone
    Ports.Unlink(1);
    ASSERT_TRUE(WaitForLog(kClosed));

    // Gone for two tries: the first failure is logged, the second is not.
    ASSERT_TRUE(WaitForLog(kCantOpen, 10000));
    tries.clear();
    ASSERT_TRUE(QTest::qWaitFor([&] { return tries.count() >= 2; }, 10000));
    EXPECT_EQ(Events(), (QStringList{kOpened, kLineError, kClosed, kCantOpen}));
    EXPECT_NE(Link().BlinkPhase(), 0);

    TestPty back; // the device is back behind the same link
    Ports.Link(1, back.SlavePath());
    tries.clear();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Open(); }, 10000));
    EXPECT_EQ(tries.count(), 1); // reopened by the next try
    EXPECT_EQ(Events(), (QStringList{kOpened, kLineError, kClosed, kCantOpen, kOpened}));
    EXPECT_EQ(Link().BlinkPhase(), 0);

    // Kept open while readings flow.
    for (const char* reading : {"+20.1C\r", "+20.2C\r", "+20.3C\r"}) {
        ASSERT_TRUE(back.Write(reading));
        const long double value = std::stold(std::string(reading + 1));
        ASSERT_TRUE(QTest::qWaitFor([&] { return Link().Temperature() == value; }, 10000));
    }
    EXPECT_TRUE(Open());

    Connect(); // the user's Disconnect
    EXPECT_FALSE(Link().ReconnectTimer()->isActive());
    QTest::qWait(3 * kRetryMs);
    EXPECT_FALSE(Open());
    EXPECT_EQ(Log().last(), kClosed);
    EXPECT_EQ(Log().count(kOpened), 2);
    EXPECT_TRUE(Boxes.empty());
}

// A USB thermometer plugged in after the program started: with the stored
// port absent the start is a failed open like any other, retried until the
// device appears; nobody is asked to choose a port.
TEST_F(LinkReconnect, AStartBeforeTheDeviceIsThereWaitsForIt) {
    Start("[Data]\r\nAutoConnect=-1\r\nAutoReconnect=-1\r\n");
    EXPECT_EQ(Events(), QStringList{kCantOpen});
    EXPECT_TRUE(Boxes.empty());
    EXPECT_FALSE(Link().PortChosen());
    FastRetries();
    QSignalSpy looked(&Link(), &TLink::RetryStarting);

    LinkPty();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Open(); }, 10000));
    EXPECT_EQ(Events(), (QStringList{kCantOpen, kOpened}));
    EXPECT_GE(looked.count(), 1); // the port list may be stale: the views look afresh
    EXPECT_TRUE(Link().PortChosen());
    ASSERT_TRUE(Pty.Write("+18.0C\r"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Link().Temperature() == 18.0L; }, 10000));
}
