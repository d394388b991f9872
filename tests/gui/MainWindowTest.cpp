#include "gui/uMain.h"
#include "gui/uSettings.h"
#include "platform/AppPaths.h"
#include "platform/Clock.h"
#include "platform/FormatSettings.h"
#include "platform/MessageBox.h"
#include "platform/OutputEcho.h"
#include "support/FakeTrayShell.h"
#include "support/Program.h"
#include "support/Pty.h"
#include "support/TestEnvironment.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <vector>

namespace {

const QDateTime kNow(QDate(2026, 7, 3), QTime(14, 5, 9));

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Home.isValid());
        platform::FormatSettings fs;
        fs.DecimalSeparator = QStringLiteral(",");
        fs.ShortDateFormat = "%d/%m/%Y"; // slashes: the file name must cope
        fs.LongTimeFormat = "%H:%M:%S";
        platform::FormatSettings::SetCurrent(fs);
        platform::SetMessageHook([this](const platform::MessageRequest& r) {
            Boxes.push_back(r);
            return platform::MsgResult::Ok;
        });
        Start();
    }
    void TearDown() override { Stop(); }
    void Start() {
        CoreDeps deps;
        deps.Paths = Paths();
        deps.Clock = [] { return kNow; };
        BuildProgram(std::move(deps), &Tray);
        LoadSettings();
    }
    void Stop() { DestroyProgram(); }
    platform::AppPaths Paths() const { return {Home.path()}; }
    QString EventLog() const { return Home.path() + "/kelvox - 03-07-2026.log"; }
    static QByteArray Read(const QString& path) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return f.readAll();
    }

    FakeTrayShell Tray; // a notification area: "Hide" has a way back
    PortDir Ports;      // no serial ports: the tests never touch a real device
    QTemporaryDir Home;
    std::vector<platform::MessageRequest> Boxes;

private:
    // Restores what SetUp changed, after TearDown.
    TestEnvironment Env_;
};

} // namespace

TEST_F(MainWindowTest, ControlsAsLaidOut) {
    EXPECT_EQ(fMain->windowTitle(), "Kelvox");
    EXPECT_TRUE(fMain->windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(fMain->windowType(), Qt::Tool); // no taskbar button
    EXPECT_EQ(fMain->width(), 266);
    EXPECT_EQ(fMain->Label1->text(), "-");
    EXPECT_EQ(fMain->Label3->text(), "Temperature");
    EXPECT_EQ(fMain->Button2->text(), QString(QChar(0x21D1)));
    EXPECT_EQ(fMain->Button2->toolTip(), "Show/Hide LOG");
    EXPECT_EQ(fMain->Button1->text(), "Options");
    EXPECT_EQ(fMain->bClose->text(), "Hide");
    EXPECT_EQ(fMain->GroupBox1->title(), "Log");
    EXPECT_TRUE(fMain->Memo1->isReadOnly());
    // The title strip: caption, temperature, chart button and log toggle
    // side by side inside it, the temperature wide enough for a failure.
    const QRect strip(QPoint(0, 0), fMain->Panel4->size());
    int right = -1;
    for (const QWidget* w : std::initializer_list<const QWidget*>{
             fMain->Label3, fMain->Label1, fMain->bHistory, fMain->Button2}) {
        EXPECT_TRUE(strip.contains(w->geometry())) << w->objectName().toStdString();
        EXPECT_GT(w->x(), right) << w->objectName().toStdString();
        right = w->geometry().right();
    }
    EXPECT_GE(fMain->Label1->width(),
              fMain->Label1->fontMetrics().horizontalAdvance(QString::fromUtf8("-100.0°C")));
    EXPECT_EQ(fMain->Label3->width(), fMain->Label3->sizeHint().width());
    EXPECT_EQ(fMain->Panel4->geometry(), QRect(5, 3, 259, 25));
    EXPECT_EQ(fMain->Button1->geometry(), QRect(8, 6, 75, 25));
    EXPECT_EQ(fMain->bClose->geometry(), QRect(184, 6, 75, 25));
    for (const char* name : {"Panel1", "Panel2", "Panel3", "Panel4", "Label1", "Label3", "Button1",
                             "Button2", "bClose", "GroupBox1", "Memo1", "PopupMenu1"})
        EXPECT_NE(fMain->findChild<QObject*>(name), nullptr) << name;
    // The timers are the core's, under the window's names.
    EXPECT_EQ(fMain->Timer1->objectName(), "Timer1");
    EXPECT_EQ(fMain->Timer2->objectName(), "Timer2");
    const QList<QAction*> items = fMain->PopupMenu1->actions();
    ASSERT_EQ(items.size(), 4);
    EXPECT_EQ(items[0]->text(), "Restore");
    EXPECT_EQ(fMain->PopupMenu1->defaultAction(), items[0]);
    EXPECT_EQ(items[1]->text(), "History");
    EXPECT_TRUE(items[2]->isSeparator());
    EXPECT_EQ(items[3]->text(), "Close");
    EXPECT_EQ(fMain->Timer2->interval(), 500);
    EXPECT_FALSE(fMain->Timer2->isActive()); // a steady icon needs no tick
    // The three tray pictures exist and the two blink frames differ.
    for (const QIcon& icon : fMain->TrayIcons)
        EXPECT_FALSE(icon.pixmap(16).isNull());
    EXPECT_NE(fMain->TrayIcons[1].pixmap(16).toImage(), fMain->TrayIcons[2].pixmap(16).toImage());
    EXPECT_NE(fMain->TrayIcons[0].pixmap(16).toImage(), fMain->TrayIcons[1].pixmap(16).toImage());
    EXPECT_FALSE(QApplication::windowIcon().pixmap(16).isNull());
    EXPECT_FALSE(QIcon(":/icons/MAINICON.png").pixmap(32).isNull());
}

TEST_F(MainWindowTest, LogToggleCollapsesAndExpands) {
    fMain->show();
    ASSERT_EQ(fMain->height(), 310);
    fMain->Button2->click();
    EXPECT_EQ(fMain->height(), 31);
    EXPECT_EQ(fMain->Button2->text(), QString(QChar(0x21D3)));
    // Collapsed, the title strip is still wholly inside the window.
    EXPECT_LE(fMain->Panel4->mapTo(fMain, QPoint(0, fMain->Panel4->height())).y(), 31);
    fMain->Button2->click();
    EXPECT_EQ(fMain->height(), 310);
    EXPECT_EQ(fMain->Button2->text(), QString(QChar(0x21D1)));
    EXPECT_EQ(fMain->Panel3->geometry().bottom(), 309); // buttons at the bottom again
    fMain->resize(fMain->width(), 50);                  // exactly 50 counts as collapsed
    fMain->Button2->click();
    EXPECT_EQ(fMain->height(), 310);
    fMain->resize(fMain->width(), 51);
    fMain->Button2->click();
    EXPECT_EQ(fMain->height(), 31);
}

TEST_F(MainWindowTest, RestoreTogglesAndHideOnlyHides) {
    fMain->show();
    ASSERT_TRUE(fMain->isVisible());
    fMain->Obnovit1->trigger();
    EXPECT_FALSE(fMain->isVisible());
    fMain->Obnovit1->trigger();
    EXPECT_TRUE(fMain->isVisible());
    fMain->TrayIkona1DblClick(nullptr);
    EXPECT_FALSE(fMain->isVisible());
    fMain->TrayIkona1DblClick(nullptr);
    EXPECT_TRUE(fMain->isVisible());
    QSignalSpy closed(&Core(), &TKelvoxCore::Closed);
    fMain->bClose->click();
    EXPECT_FALSE(fMain->isVisible());
    EXPECT_EQ(closed.count(), 0); // hiding is not closing
    EXPECT_FALSE(QFileInfo::exists(EventLog()));
}

TEST_F(MainWindowTest, DragByTheRightOrMiddleButtonEndsAtItsRelease) {
    fMain->move(100, 100);
    auto send = [](QWidget* target, QEvent::Type type, QPoint global, Qt::MouseButton button,
                   Qt::MouseButtons held) {
        QMouseEvent event(type, target->mapFromGlobal(global), global, button, held, {});
        QApplication::sendEvent(target, &event);
    };
    for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
        const QPoint start = fMain->mapToGlobal(QPoint(40, 12));
        send(fMain->Label3, QEvent::MouseButtonPress, start, button, button);
        send(fMain->Label3, QEvent::MouseMove, start + QPoint(30, 20), Qt::NoButton, button);
        EXPECT_EQ(fMain->pos(), QPoint(130, 120));
        // Another button going up and down on the way changes nothing.
        send(fMain->Label3, QEvent::MouseButtonPress, start, Qt::LeftButton,
             button | Qt::LeftButton);
        send(fMain->Label3, QEvent::MouseButtonRelease, start, Qt::LeftButton, button);
        send(fMain->Label3, QEvent::MouseMove, start + QPoint(50, 20), Qt::NoButton, button);
        EXPECT_EQ(fMain->pos(), QPoint(150, 120));
        send(fMain->Label3, QEvent::MouseButtonRelease, start + QPoint(50, 20), button, {});
        send(fMain->Label3, QEvent::MouseMove, start + QPoint(90, 90), Qt::NoButton, {});
        EXPECT_EQ(fMain->pos(), QPoint(150, 120)) << "the window stays where it was let go";
        fMain->move(100, 100);
    }
}

TEST_F(MainWindowTest, LogLinesCarryTheTimeInTheWindow) {
    fMain->Core().Log().Add("OK  first");
    fMain->Core().Log().Add("ERR  second");
    EXPECT_EQ(fMain->Memo1->toPlainText(), "14:05:09 >  OK  first\n14:05:09 >  ERR  second");
}

TEST_F(MainWindowTest, AStoredPlaceOffTheScreenShowsTheWindowOnItAndIsKept) {
    Stop();
    QFile ini(Paths().IniPath());
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[Main]\r\nTop=-900\r\nLeft=5000\r\nHeight=2000\r\n");
    ini.close();
    Start();
    fMain->show();
    const QRect screen = fMain->screen()->availableGeometry();
    EXPECT_TRUE(screen.contains(fMain->frameGeometry())) << fMain->frameGeometry().x();
    fMain->close(); // neither moved nor resized: the place from a larger screen stays
    EXPECT_TRUE(
        Read(Paths().IniPath()).startsWith("[Main]\r\nTop=-900\r\nLeft=5000\r\nHeight=2000\r\n"));
}

// A Wayland compositor reports every window at 0,0: the stored place stays.
TEST(MainWindowPlace, KeptWhereThePlatformCannotReportIt) {
    EXPECT_FALSE(WindowPositionKnown(QStringLiteral("wayland-egl")));
    EXPECT_TRUE(WindowPositionKnown(QStringLiteral("xcb")));
}

// The window's close at a stop signal is the core's quiet one: no box.
TEST_F(MainWindowTest, ASignalledCloseReportsFailuresWithoutABox) {
    ASSERT_TRUE(QDir().mkpath(Paths().IniPath())); // cannot be written
    QSignalSpy closed(&Core(), &TKelvoxCore::Closed);
    fMain->CloseBySignal();
    EXPECT_EQ(closed.count(), 1);
    EXPECT_TRUE(Boxes.empty());
    EXPECT_TRUE(fMain->SaveFailedAtClose());
    EXPECT_TRUE(Read(EventLog()).contains(" >  ERR  Cannot read the settings file"))
        << Read(EventLog()).toStdString();
}
