// The main window's tray icon: shown at start with the normal picture,
// blinking through the two frames on trouble, the double-click toggling the
// window and the menu's "Close" ending the program; and no icon at all where
// there is no tray host.
#include "LinkFixture.h"
#include "support/Program.h"

#include <QAction>
#include <QFileInfo>
#include <QMenu>
#include <QSignalSpy>
#include <QTimer>

namespace {

class MainTrayTest : public LinkFixture {
protected:
    const FakeTrayShell::Shown* Icon() const { return Tray.Find(fMain->TrayIkona1->Identifier()); }
    // The picture the tray shows now, as an image.
    QImage Shown() const {
        const FakeTrayShell::Shown* icon = Icon();
        return icon ? icon->icon.pixmap(16).toImage() : QImage();
    }
    static QImage Picture(int index) {
        return fMain->TrayIcons[static_cast<std::size_t>(index)].pixmap(16).toImage();
    }
};

} // namespace

TEST_F(MainTrayTest, ShownAtStartAndBlinkingThroughTheTwoFramesOnTrouble) {
    LinkPty();
    Start();
    ASSERT_NE(Icon(), nullptr);
    EXPECT_EQ(Tray.ShownCount(), 1u);
    EXPECT_EQ(Shown(), Picture(0));
    EXPECT_EQ(fMain->TrayIkona1->PopupMenu(), fMain->PopupMenu1);
    EXPECT_EQ(fMain->windowType(), Qt::Tool);

    Ticks(1);
    EXPECT_EQ(Shown(), Picture(0)); // steady
    Ports.Unlink(1);                // a failed open, as after any error
    Connect();
    std::vector<QImage> frames;
    for (int i = 0; i < 4; ++i) {
        Ticks(1);
        frames.push_back(Shown());
    }
    EXPECT_EQ(frames[0], Picture(1));
    EXPECT_EQ(frames[1], Picture(2));
    EXPECT_EQ(frames[2], Picture(1));
    EXPECT_EQ(frames[3], Picture(2));
    Ports.Link(1, Pty.SlavePath());
    Connect(); // a successful open stops it at the next tick
    Ticks(1);
    EXPECT_EQ(Shown(), Picture(0));
}

TEST_F(MainTrayTest, DoubleClickTogglesTheWindowAndTheMenuClosesTheProgram) {
    Start();
    fMain->show();
    const quint32 id = fMain->TrayIkona1->Identifier();
    ASSERT_TRUE(Tray.Press(id, QSystemTrayIcon::DoubleClick));
    EXPECT_FALSE(fMain->isVisible());
    ASSERT_TRUE(Tray.Press(id, QSystemTrayIcon::DoubleClick));
    EXPECT_TRUE(fMain->isVisible());

    ASSERT_TRUE(Tray.Press(id, QSystemTrayIcon::Context));
    EXPECT_TRUE(QTest::qWaitFor([&] { return fMain->PopupMenu1->isVisible(); }, 5000));
    QSignalSpy closed(&Core(), &TKelvoxCore::Closed);
    fMain->PopupMenu1->actions().last()->trigger(); // "Close"
    EXPECT_EQ(closed.count(), 1);
    EXPECT_TRUE(QFileInfo::exists(Paths().IniPath()));
    EXPECT_TRUE(QFileInfo::exists(Paths().EventLogPath(Core().Now())));
}

TEST_F(MainTrayTest, HideIsOfferedOnlyWhileTheIconIsThere) {
    Tray.refuseAll = true; // a session whose panel has not started yet
    Start();
    fMain->show();
    EXPECT_FALSE(fMain->TrayIkona1->Shown());
    fMain->bClose->click();
    EXPECT_TRUE(fMain->isVisible()) << "hidden, nothing could bring it back";

    Tray.refuseAll = false; // the panel starts and says so
    Q_EMIT Tray.HostAppeared();
    ASSERT_NE(Icon(), nullptr);
    EXPECT_TRUE(fMain->TrayIkona1->Shown());
    fMain->bClose->click();
    EXPECT_FALSE(fMain->isVisible());
}

TEST_F(MainTrayTest, WithoutAnIconTheWindowHasATaskbarEntryAndAnExit) {
    Tray.refuseAll = true; // a desktop without a tray host
    Start();
    fMain->show();
    EXPECT_EQ(fMain->windowType(), Qt::Window) << "no taskbar entry: lost once covered";
    Tray.refuseAll = false; // a tray host appears: back to the tool window
    Q_EMIT Tray.HostAppeared();
    EXPECT_EQ(fMain->windowType(), Qt::Tool);
    EXPECT_FALSE(fMain->bExit->isVisible());
    fMain->TrayIkona1->SetIconVisible(false); // gone again
    EXPECT_EQ(fMain->windowType(), Qt::Window);
    EXPECT_TRUE(fMain->bExit->isVisible());
    QSignalSpy closed(&Core(), &TKelvoxCore::Closed);
    fMain->bExit->click();
    EXPECT_EQ(closed.count(), 1);
}

TEST_F(MainTrayTest, TooltipTellsTheReadingAndTheLink) {
    LinkPty();
    Start("[Data]\r\nCOM=1\r\nAutoConnect=-1\r\n", true);
    ASSERT_TRUE(fMain->AfComPort1->Active());
    auto tipBecomes = [&](const std::string& tip) {
        return QTest::qWaitFor([&] { return Icon() && Icon()->tip == tip; }, 5000);
    };
    EXPECT_TRUE(tipBecomes("Kelvox -\nCOM1 connected")) << "no reading yet";
    ASSERT_TRUE(Pty.Write("+021.5C\r"));
    EXPECT_TRUE(tipBecomes("Kelvox 21.5\u00B0C\nCOM1 connected")) << Icon()->tip;
    ASSERT_TRUE(Pty.Write("-100.0C\r")); // a dry-ice probe's reading is one
    EXPECT_TRUE(tipBecomes("Kelvox -100.0\u00B0C\nCOM1 connected")) << Icon()->tip;
    ASSERT_TRUE(Pty.Write("+x\r")); // a failed reading is no live reading
    EXPECT_TRUE(tipBecomes("Kelvox -\nCOM1 unreadable")) << Icon()->tip;
    Connect(); // the toggle disconnects
    EXPECT_TRUE(tipBecomes("Kelvox -\nCOM1 closed")) << Icon()->tip;
}

// The desktop back end on a platform without a tray host (offscreen, as when
// headless): every request is refused and nothing else happens.
TEST(MainTrayWithoutHost, NoIconAndNoTrouble) {
    QTemporaryDir home;
    PortDir ports;
    platform::SetMessageHook(
        [](const platform::MessageRequest&) { return platform::MsgResult::Ok; });
    CoreDeps deps;
    deps.Paths = {home.path()};
    BuildProgram(std::move(deps));
    LoadSettings();
    Link().Reopen(); // no such port: the icon would blink
    EXPECT_NE(Link().BlinkPhase(), 0);
    EXPECT_FALSE(fMain->Timer2->isActive()) << "a blink tick with no icon to show it";
    QtTrayShell* desktop = &DesktopTray();
    EXPECT_EQ(desktop->IconCount(), 0u);
    EXPECT_TRUE(fMain->TrayIkona1->IconVisible()); // as set; the refusal is not reported
    for (const QTimer* timer : QCoreApplication::instance()->findChildren<QTimer*>())
        EXPECT_FALSE(timer->isActive()) << "no wake-ups for a panel that cannot come";
    DestroyProgram();
    platform::SetMessageHook({});
}
