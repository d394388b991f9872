// The serial link of the core: the connect toggle, readings on their way to
// the temperature, failed opens, the silence watchdog driven deadline by
// deadline, line errors and hang-ups, and warnings that must not pile up.
#include "platform/PortMap.h"
#include "support/CoreFixture.h"

#include <QTimer>

namespace {

class LinkTest : public CoreFixture {
protected:
    bool Reads(long double value) {
        return QTest::qWaitFor([&] { return Link().Temperature() == value; }, 10000);
    }
    bool Holds(const std::string& text) {
        return QTest::qWaitFor([&] { return Link().ReceivedText() == text; }, 10000);
    }
    // The link's silence watchdog, by its name.
    QTimer* SilenceDeadline() {
        return Link().findChild<QTimer*>(QStringLiteral("SilenceDeadline"),
                                         Qt::FindDirectChildrenOnly);
    }
};

} // namespace

TEST_F(LinkTest, ConnectReadingsAndDisconnect) {
    LinkPty();
    Start();
    Ports.Unlink(1); // a failed open first: the icon blinks
    Connect();
    ASSERT_EQ(Link().BlinkPhase(), 1);
    Ports.Link(1, Pty.SlavePath());
    Connect();
    EXPECT_TRUE(Link().Open());
    EXPECT_EQ(Events(), (QStringList{kCantOpen, kOpened}));
    EXPECT_EQ(Link().BlinkPhase(), 0);

    SilenceDeadline()->stop();
    ASSERT_TRUE(Pty.Write("+021.5C\r+02"));
    ASSERT_TRUE(Reads(21.5L));
    EXPECT_TRUE(Holds("+02"));
    EXPECT_TRUE(SilenceDeadline()->isActive()); // moved by the reading
    ASSERT_TRUE(Pty.Write("2.5C\r"));           // the rest of the split reading
    ASSERT_TRUE(Reads(22.5L));
    EXPECT_TRUE(Link().ReceivedText().empty());
    EXPECT_EQ(Link().Display(), QStringLiteral("22.5\u00B0C"));

    Connect(); // the toggle closes an open port
    EXPECT_FALSE(Link().Open());
    EXPECT_EQ(Log().last(), kClosed);
    EXPECT_EQ(Link().BlinkPhase(), 0); // closing by hand is no error
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(LinkTest, AutoConnectOpensThePortNumberOfTheSettingsNotOfTheChooser) {
    TestPty second;
    LinkPty();
    Ports.Link(2, second.SlavePath());
    Start("[Data]\r\nCOM=2\r\nAutoConnect=-1\r\n");
    EXPECT_TRUE(Link().Open());
    EXPECT_EQ(Log(), QStringList{"OK  Serial port COM2 opened."});
    ASSERT_TRUE(second.Write("-003.5C\r"));
    EXPECT_TRUE(Reads(-3.5L));
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(LinkTest, AFailedOpenIsLoggedAndBlinks) {
    LinkPty();
    Start();
    Ports.Unlink(1); // the device went away after it was looked at
    Connect();
    EXPECT_FALSE(Link().Open());
    EXPECT_EQ(Events(), QStringList{kCantOpen});
    EXPECT_EQ(Log().value(1),
              "ERR  " + QString::fromStdString(Ports.Path()) + "/COM1: no such file");
    EXPECT_EQ(Link().BlinkPhase(), 1);

    // A port held by somebody else cannot be opened either.
    Ports.Link(1, Pty.SlavePath());
    const platform::PortOpenResult holder = platform::OpenPortDescriptor(Pty.SlavePath());
    ASSERT_GE(holder.Fd, 0);
    Connect();
    platform::ClosePortDescriptor(holder.Fd);
    EXPECT_EQ(Events(), (QStringList{kCantOpen, kCantOpen}));
    EXPECT_FALSE(Link().Open());

    Connect(); // free again: the blinking stops
    EXPECT_TRUE(Link().Open());
    EXPECT_EQ(Link().BlinkPhase(), 0);
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(LinkTest, WithoutAChosenPortTheToggleOnlyWarns) {
    Start(); // no ports at all: nothing to choose
    EXPECT_FALSE(Link().PortChosen());
    LinkPty(); // appears later; the toggle still asks for a choice
    Connect();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, kChoose);
    EXPECT_EQ(Boxes[0].Caption, "");
    EXPECT_EQ(Boxes[0].Icon, platform::MsgIcon::Warning);
    EXPECT_FALSE(Link().Open());
    EXPECT_TRUE(Log().isEmpty());
    EXPECT_FALSE(Link().WarningShowing());
}

TEST_F(LinkTest, AStoredPortThatIsAbsentIsTheOneConnectTries) {
    Ports.Link(4, Pty.SlavePath()); // only COM4 is there
    Start("[Data]\r\nCOM=1\r\n");
    Link().SetPortChosen(true); // as the chooser does for a stored port
    Connect();
    EXPECT_EQ(Events(), QStringList{kCantOpen});
    EXPECT_EQ(Link().ComNumber(), 1);
}

// One deadline, armed by the open and moved by each reading; nothing waits
// on a closed port.
TEST_F(LinkTest, TheWatchdogIsOneDeadlineMovedByEachReading) {
    LinkPty();
    Start();
    Connect();
    QTimer* deadline = SilenceDeadline();
    EXPECT_TRUE(deadline->isActive());
    EXPECT_TRUE(deadline->isSingleShot());
    EXPECT_EQ(deadline->timerType(), Qt::PreciseTimer); // a coarse one may be 1.5 s off
    deadline->stop();
    ASSERT_TRUE(Pty.Write("+20.0C\r"));
    ASSERT_TRUE(Reads(20.0L));
    EXPECT_TRUE(deadline->isActive());
    EXPECT_EQ(deadline->interval(), 30000);
    Link().OnSilence();
    EXPECT_EQ(Log(), (QStringList{kOpened, kSilent, kClosed}));
    EXPECT_FALSE(Link().Open());
    EXPECT_EQ(Link().BlinkPhase(), 1);
    EXPECT_FALSE(deadline->isActive());

    Connect(); // a new link gets its full 30 s from the open
    EXPECT_TRUE(deadline->isActive());
    EXPECT_GT(deadline->remainingTime(), 20000);
    Connect();
    EXPECT_FALSE(deadline->isActive());
    EXPECT_EQ(Log().count(kSilent), 1);
    EXPECT_TRUE(Boxes.empty());
}

// Only a converted reading moves the deadline: neither the line feed of a
// CR LF device, nor a line that stops halfway, nor bytes without any CR. A
// reading on its way gets one short grace, a line that never ends no more.
TEST_F(LinkTest, OnlyAConvertedReadingHoldsTheWatchdogOff) {
    LinkPty();
    Start();
    QTimer* deadline = SilenceDeadline();
    for (const std::string tail : {"\n", "+02", "+20.0C\n"}) {
        SCOPED_TRACE(tail);
        Connect();
        ASSERT_TRUE(Pty.Write("+20.0C\r" + tail));
        ASSERT_TRUE(Holds(tail));
        deadline->stop();
        const bool pending = tail != "\n";
        int expiries = 0;
        while (Link().Open() && expiries < 5) {
            if (pending && tail.back() == '\n') { // streaming, never a CR
                ASSERT_TRUE(Pty.Write(tail));
                const std::size_t expected = tail.size() * static_cast<std::size_t>(expiries + 2);
                ASSERT_TRUE(QTest::qWaitFor(
                    [&] { return Link().ReceivedText().size() == expected; }, 10000));
            }
            EXPECT_EQ(deadline->isActive(), expiries > 0);
            Link().OnSilence();
            ++expiries;
            if (Link().Open()) {
                EXPECT_EQ(deadline->interval(), TLink::PendingGraceMs);
            }
        }
        EXPECT_EQ(expiries, pending ? 2 : 1);
        EXPECT_EQ(Log().last(), kClosed);
    }
}

TEST_F(LinkTest, AFailedLineFollowedBySilenceStillTripsTheWatchdog) {
    LinkPty();
    Start();
    Connect();
    ASSERT_TRUE(Pty.Write("+20.0C\r"));
    ASSERT_TRUE(Reads(20.0L));
    ASSERT_TRUE(Pty.Write("-\r")); // a sign without a number
    ASSERT_TRUE(Reads(-100.0L));
    EXPECT_FALSE(Link().Live());
    EXPECT_EQ(Link().Display(), QStringLiteral("20.0\u00B0C"));
    Link().OnSilence();
    EXPECT_EQ(Log().count(kSilent), 1);
    EXPECT_FALSE(Link().Open());
}

TEST_F(LinkTest, ALineErrorClosesThePortAndBlinks) {
    const std::shared_ptr<FakeCommPort> port = UseFakePorts();
    Start();
    Connect();
    ASSERT_TRUE(Link().Open());
    port->LineError(win::CE_FRAME);
    ASSERT_TRUE(WaitForLog(kClosed));
    EXPECT_EQ(Log(), (QStringList{kOpened, kLineError, kClosed}));
    EXPECT_FALSE(Link().Open());
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(Link().BlinkPhase(), 1);
    EXPECT_EQ(LinkStateWord(Link().State()), LinkStateWord(LinkState::Unreadable));
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(LinkTest, AHangUpOfTheDeviceIsALineError) {
    LinkPty();
    Start();
    Connect();
    ASSERT_TRUE(Pty.Write("+19.5C\r"));
    ASSERT_TRUE(Reads(19.5L));
    Pty.CloseSlave();
    Pty.CloseMaster();
    ASSERT_TRUE(WaitForLog(kClosed));
    EXPECT_EQ(Log(), (QStringList{kOpened, kLineError, kClosed}));
    EXPECT_FALSE(Link().Open());
    EXPECT_EQ(Link().BlinkPhase(), 1);
    // The last value is history now: it is neither shown nor sent as current.
    EXPECT_EQ(Link().Display(), "-");
    EXPECT_EQ(Link().Temperature(), -100.0L);
    EXPECT_EQ(Link().State(), LinkState::Missing); // gone, not unreadable
}

// A noise burst (a wrong baud rate, a loose plug) in one arrival: the good
// reading after it counts at once. Text left from before a close never joins
// the first line of the next open.
TEST_F(LinkTest, ANoiseBurstDoesNotHideTheNextReadingNorAFragmentTheNextLink) {
    LinkPty();
    Start();
    Connect();
    std::string burst;
    for (int i = 0; i < 100; ++i)
        burst += "+x\r";
    SilenceDeadline()->stop();
    ASSERT_TRUE(Pty.Write(burst + "+21.5C\r"));
    ASSERT_TRUE(Reads(21.5L));
    EXPECT_TRUE(SilenceDeadline()->isActive());

    ASSERT_TRUE(Pty.Write("+02"));
    ASSERT_TRUE(Holds("+02"));
    Connect();
    Connect();
    EXPECT_EQ(Link().Temperature(), -100.0L); // nothing read on this link yet
    ASSERT_TRUE(Pty.Write("+019.7C\r"));
    ASSERT_TRUE(Reads(19.7L));
}

// The warning's modal loop goes on running timers and serial events.
// Neither the watchdog nor a line error may stack a second box on the first,
// and once the box is closed the silence is timed afresh.
TEST_F(LinkTest, WarningsDoNotPileUpWhileOneIsShown) {
    const std::shared_ptr<FakeCommPort> port = UseFakePorts();
    Start();
    Connect();
    ASSERT_TRUE(Link().Open());
    Link().SetPortChosen(false); // no port chosen any more

    InsideBox = [&] {
        if (Boxes.size() > 1)
            return; // a pile-up: do not recurse for ever
        EXPECT_TRUE(Link().WarningShowing());
        port->LineError(win::CE_OVERRUN);
        EXPECT_TRUE(WaitForLog(kLineError));
        Link().OnSilence(); // 30 s more with the box open
    };
    Link().OnSilence(); // the watchdog asks to close; no port is chosen: the warning
    InsideBox = nullptr;

    EXPECT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Log().count(kSilent), 1);
    EXPECT_EQ(Log().count(kLineError), 1);
    EXPECT_TRUE(Link().Open()); // nothing could close it
    EXPECT_NE(Link().BlinkPhase(), 0);
    EXPECT_TRUE(SilenceDeadline()->isActive());
    EXPECT_FALSE(Link().WarningShowing());

    Link().OnSilence(); // still silent 30 s later: asked once more
    EXPECT_EQ(Boxes.size(), 2u);
    EXPECT_EQ(Log().count(kSilent), 2);
}

TEST_F(LinkTest, ALineErrorWithoutAChosenPortWarnsOnceAndTheSilenceCountStartsAfresh) {
    const std::shared_ptr<FakeCommPort> port = UseFakePorts();
    Start();
    Connect();
    Link().SetPortChosen(false);
    InsideBox = [&] {
        if (Boxes.size() == 1)
            Link().OnSilence(); // the box stays open for 30 s and more
    };
    port->LineError(win::CE_FRAME);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Boxes.size() == 1 && !Link().WarningShowing(); }, 10000));
    InsideBox = nullptr;
    EXPECT_EQ(Boxes[0].Text, kChoose);
    EXPECT_EQ(Log(), (QStringList{kOpened, kLineError}));
    EXPECT_TRUE(Link().Open());
    EXPECT_NE(Link().BlinkPhase(), 0);
    // The silence while the box was open is not held against the device.
    EXPECT_TRUE(SilenceDeadline()->isActive());
    Link().OnSilence();
    EXPECT_EQ(Boxes.size(), 2u);
    EXPECT_EQ(Log().count(kSilent), 1);
}

// Without windows nothing shows the icon: after a reading and after a
// hang-up, the blink tick stays off.
TEST_F(LinkTest, HeadlessTheBlinkTickNeverRuns) {
    LinkPty();
    Start("[Data]\r\nCOM=1\r\nPeriod=0\r\nAutoConnect=-1\r\n");
    ASSERT_TRUE(Link().Open());
    ASSERT_TRUE(Pty.Write("+20.0C\r"));
    ASSERT_TRUE(Reads(20.0L));
    EXPECT_FALSE(Link().Tick()->isActive());
    Pty.CloseSlave();
    Pty.CloseMaster();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Link().Open(); }, 10000));
    EXPECT_NE(Link().BlinkPhase(), 0);
    EXPECT_FALSE(Link().Tick()->isActive());
}
