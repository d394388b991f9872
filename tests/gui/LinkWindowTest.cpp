// The serial link as the windows show it: the connect button's caption, the
// status lamp, the temperature label and the port chooser follow the link,
// and the "choose a port" warning is the settings window's. What the link
// does is tested on the core alone (tests/core/LinkTest.cpp).
#include "LinkFixture.h"

#include <QLabel>

namespace {

class LinkWindow : public LinkFixture {};

bool LabelShows(const QString& text) {
    return QTest::qWaitFor([&] { return fMain->Label1->text() == text; }, 10000);
}

} // namespace

TEST_F(LinkWindow, TheCaptionTheLampAndTheLabelFollowTheLink) {
    LinkPty();
    Start();
    ASSERT_EQ(fSettings->AfPortComboBox1->ItemIndex(), 0);
    EXPECT_EQ(fSettings->shState->BrushColor(), 0x0000FFu);
    Ports.Unlink(1); // a failed open keeps the caption
    Connect();
    EXPECT_EQ(fSettings->bConn->text(), "Connect");
    Ports.Link(1, Pty.SlavePath());

    // The opened line comes from inside the open; the caption follows it.
    QString captionWhenLogged;
    const TNotifyEvent opened = fMain->AfComPort1->OnPortOpen;
    fMain->AfComPort1->OnPortOpen = [&](QObject* sender) {
        opened(sender);
        captionWhenLogged = fSettings->bConn->text();
    };
    Connect();
    EXPECT_EQ(captionWhenLogged, "Disconnect");
    EXPECT_EQ(fSettings->bConn->text(), "Disconnect");
    EXPECT_EQ(fSettings->shState->BrushColor(), 0x008000u);
    ASSERT_TRUE(Pty.Write("+021.5C\r"));
    EXPECT_TRUE(LabelShows(QStringLiteral("21.5\u00B0C")));
    ASSERT_TRUE(Pty.Write("-\r")); // a failed line leaves the last reading shown
    ASSERT_TRUE(QTest::qWaitFor([] { return !Link().Live(); }, 10000));
    EXPECT_EQ(fMain->Label1->text(), QStringLiteral("21.5\u00B0C"));

    Pty.CloseSlave(); // a hang-up: the port closes and the value is history
    Pty.CloseMaster();
    ASSERT_TRUE(WaitForLog(kClosed));
    EXPECT_EQ(fSettings->bConn->text(), "Connect");
    EXPECT_EQ(fSettings->shState->BrushColor(), 0x0000FFu);
    EXPECT_EQ(fMain->Label1->text(), "-");
}

TEST_F(LinkWindow, AutoConnectShowsThePortOpenedInTheChooser) {
    TestPty second;
    LinkPty();
    Ports.Link(2, second.SlavePath());
    Start("[Data]\r\nCOM=2\r\nAutoConnect=-1\r\n");
    EXPECT_EQ(fSettings->bConn->text(), "Disconnect");
    // The chooser shows the port that was opened, not the first one listed.
    EXPECT_TRUE(fSettings->AfPortComboBox1->currentText().startsWith("COM 2  "));
}

TEST_F(LinkWindow, WithoutAChosenPortTheToggleWarnsFromTheSettingsWindow) {
    Start(); // no ports at all: nothing to choose
    ASSERT_EQ(fSettings->AfPortComboBox1->ItemIndex(), -1);
    LinkPty(); // appears later; the toggle still asks for a choice
    Connect();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, kChoose);
    EXPECT_EQ(Parents[0], fSettings);
    EXPECT_FALSE(fMain->AfComPort1->Active());
    EXPECT_FALSE(Link().WarningShowing());
}

TEST_F(LinkWindow, APickInTheChooserOpensAndTheCaptionFollows) {
    LinkPty();
    Start();
    emit fSettings->AfPortComboBox1->activated(0);
    EXPECT_TRUE(fMain->AfComPort1->Active());
    EXPECT_EQ(Log(), QStringList{kOpened});
    EXPECT_EQ(fSettings->shState->BrushColor(), 0x008000u);
    EXPECT_EQ(fSettings->bConn->text(), "Disconnect");
    Connect();
    EXPECT_FALSE(fMain->AfComPort1->Active());
    EXPECT_EQ(Log().last(), kClosed);
    EXPECT_EQ(fSettings->bConn->text(), "Connect");
}

TEST_F(LinkWindow, AStoredPortThatIsAbsentIsShownAsSuchAndIsTheOneConnectTries) {
    Ports.Link(4, Pty.SlavePath()); // only COM4 is there
    Start("[Data]\r\nCOM=1\r\n");
    EXPECT_EQ(fSettings->AfPortComboBox1->currentText(), "COM 1 (not present)");
    Connect();
    EXPECT_EQ(Events(), QStringList{kCantOpen});
    EXPECT_EQ(fSettings->AfPortComboBox1->currentText(), "COM 1 (not present)");
}

// A device plugged in while the retries wait for it is listed afresh.
TEST_F(LinkWindow, TheRetriesListThePortsAfresh) {
    Start("[Data]\r\nAutoConnect=-1\r\nAutoReconnect=-1\r\n");
    EXPECT_EQ(fSettings->AfPortComboBox1->ItemIndex(), -1);
    Link().ReconnectTimer()->setInterval(300);
    LinkPty();
    ASSERT_TRUE(QTest::qWaitFor([] { return fMain->AfComPort1->Active(); }, 10000));
    EXPECT_TRUE(fSettings->AfPortComboBox1->currentText().startsWith("COM 1  "));
    EXPECT_EQ(fSettings->bConn->text(), "Disconnect");
    ASSERT_TRUE(Pty.Write("+18.0C\r"));
    EXPECT_TRUE(LabelShows(QStringLiteral("18.0\u00B0C")));
}
