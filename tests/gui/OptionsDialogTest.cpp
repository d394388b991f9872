// The options dialog driven as a user would: "Send" with the temperature
// log, the period field stepped and typed into, the port chooser, "Close"
// and "Save and close", the modal show from "Options" and the home page link.
#include "gui/uMain.h"
#include "gui/uSettings.h"
#include "net/LocalHttpServer.h"
#include "platform/AppPaths.h"
#include "platform/Clock.h"
#include "platform/FormatSettings.h"
#include "platform/MessageBox.h"
#include "serial/AfComPort.h"
#include "support/Program.h"
#include "support/Pty.h"
#include "support/TestEnvironment.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>
#include <vector>

class UrlRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> Opened;
public slots:
    void Open(const QUrl& url) { Opened.push_back(url); }
};

namespace {

class OptionsDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setenv("no_proxy", "127.0.0.1", 1); }
    void SetUp() override {
        ASSERT_TRUE(Home.isValid());
        platform::FormatSettings::SetCurrent(platform::FormatSettings());
        platform::SetMessageHook([this](const platform::MessageRequest& r) {
            Boxes.push_back(r);
            return platform::MsgResult::Ok;
        });
        Ports.Link(1, Com1.SlavePath());
        Ports.Link(3, Com3.SlavePath());
        server.Server().Get("/t.php", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("OK", "text/plain");
        });
        server.Server().Get("/edited.php", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("OK", "text/plain");
        });
        server.Start();
        CoreDeps deps;
        deps.Paths = Paths();
        deps.Clock = [] { return QDateTime(QDate(2026, 7, 3), QTime(9, 30, 0)); };
        deps.MinuteMs = 1000;
        BuildProgram(std::move(deps));
        LoadSettings();
    }
    void TearDown() override { DestroyProgram(); }

    platform::AppPaths Paths() const { return {Home.path()}; }

    // Shows the dialog (not modally) with the keyboard focus in the field.
    void FocusPeriod() {
        fSettings->show();
        fSettings->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(fSettings));
        fSettings->IntEdit1->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(QTest::qWaitFor([] { return fSettings->IntEdit1->hasFocus(); }, 5000));
    }
    void TypePeriod(const char* text) {
        fSettings->IntEdit1->selectAll();
        QTest::keyClicks(fSettings->IntEdit1, text);
    }
    void LeavePeriod() {
        fSettings->edTarget->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(QTest::qWaitFor([] { return !fSettings->IntEdit1->hasFocus(); }, 5000));
    }
    static QStringList Log() {
        return fMain->Memo1->toPlainText().split(u'\n', Qt::SkipEmptyParts);
    }
    static QByteArray Read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString Url(const char* path) const {
        return QString::fromStdString(server.BaseUrl()) + QString::fromLatin1(path);
    }

    PortDir Ports;
    TestPty Com1, Com3;
    LocalHttpServer server;
    QTemporaryDir Home;
    std::vector<platform::MessageRequest> Boxes;

private:
    // Restores what SetUp changed, after TearDown.
    TestEnvironment Env_;
};

} // namespace

TEST_F(OptionsDialogTest, TheChooserListsTheExistingPortsAndSelectsThePortsNumber) {
    TAfPortComboBox* chooser = fSettings->AfPortComboBox1;
    EXPECT_EQ(chooser->ComPort(), fMain->AfComPort1);
    ASSERT_EQ(chooser->count(), 2);
    EXPECT_TRUE(chooser->itemText(0).startsWith("COM 1  "));
    EXPECT_TRUE(chooser->itemText(1).startsWith("COM 3  "));
    EXPECT_EQ(chooser->ItemIndex(), 0);
    // The home page link shows only when the build names a home page.
    EXPECT_EQ(fSettings->Label8->isHidden(), QStringLiteral(KELVOX_HOMEPAGE).trimmed().isEmpty());
}

TEST_F(OptionsDialogTest, SendLogsAndAppendsToTheTemperatureLogWhateverTheOutcome) {
    // A click starts the send; its answer comes through the event loop.
    const auto send = [] {
        fSettings->bSend->click();
        return QTest::qWaitFor([] { return !Core().Upload().Busy(); }, 30000);
    };
    fSettings->edTarget->setText(Url("/t.php?t="));
    fSettings->chbGeneTempLOG->setChecked(true);
    Link().Feed("+21.5C\r");
    ASSERT_TRUE(send());
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].Target, "/t.php?t=21.5");
    ASSERT_EQ(Log().size(), 1);
    EXPECT_TRUE(Log()[0].endsWith(" >  OK  Information successfully send"));
    const QString tempLog = Paths().TemperatureLogPath(Core().Now());
    EXPECT_EQ(Read(tempLog).count("\r\n"), 1);
    EXPECT_TRUE(Read(tempLog).endsWith("21.5\r\n")) << Read(tempLog).toStdString();

    // "Close" after editing: the edit is in effect for the next send.
    fSettings->show();
    fSettings->edTarget->setText(Url("/edited.php?v="));
    fSettings->Button1->click();
    EXPECT_FALSE(fSettings->isVisible());
    ASSERT_TRUE(send());
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.Requests()[1].Target, "/edited.php?v=21.5");
    EXPECT_FALSE(QFile::exists(Paths().IniPath()));

    // A failed send is logged as such and still gets its log line.
    fSettings->edTarget->setText(Url("/missing.php?t="));
    ASSERT_TRUE(send());
    EXPECT_TRUE(
        Log().last().endsWith(" >  ERR  Information cannot nepodařilo odeslat! (HTTP 404)"));
    EXPECT_EQ(Read(tempLog).count("\r\n"), 3);
}

TEST_F(OptionsDialogTest, SteppingThePeriodStopsAndRestartsAutomaticSending) {
    ASSERT_EQ(fSettings->IntEdit1->Value(), 1);
    ASSERT_TRUE(fMain->Timer1->isActive());
    FocusPeriod();
    QTest::keyClick(fSettings->IntEdit1, Qt::Key_Down);
    EXPECT_EQ(fSettings->IntEdit1->Value(), 0);
    EXPECT_FALSE(fMain->Timer1->isActive());
    QTest::qWait(300);
    for (int i = 0; i < 5; ++i)
        QTest::keyClick(fSettings->IntEdit1, Qt::Key_Up);
    EXPECT_EQ(fSettings->IntEdit1->Value(), 5);
    EXPECT_TRUE(fMain->Timer1->isActive());
    EXPECT_EQ(fMain->Timer1->interval(), 5000);
    // A countdown of the whole period, begun by the step.
    EXPECT_GT(fMain->Timer1->remainingTime(), 4000);
    // The arrow buttons step as well.
    TUpDown* arrows = fSettings->IntEdit1->UpDown();
    QTest::mouseClick(arrows, Qt::LeftButton, {},
                      QPoint(arrows->width() / 2, arrows->height() / 4));
    EXPECT_EQ(fSettings->IntEdit1->Value(), 6);
    EXPECT_EQ(fMain->Timer1->interval(), 6000);
}

TEST_F(OptionsDialogTest, ATypedPeriodIsCorrectedIntoRangeAndTheTimerFollows) {
    FocusPeriod();
    TypePeriod("150");
    LeavePeriod();
    EXPECT_EQ(fSettings->IntEdit1->Value(), 100);
    EXPECT_EQ(fSettings->IntEdit1->text(), "100");
    EXPECT_EQ(fMain->Timer1->interval(), 100000);
    EXPECT_TRUE(fMain->Timer1->isActive());
    EXPECT_TRUE(Boxes.empty()); // corrected silently
}

// Typing a number whose text the field keeps as it is (5 over 1) changes no
// text when the field is left, so OnChange alone would leave the timer on
// the old period while 5 is shown and saved.
TEST_F(OptionsDialogTest, ATypedPeriodTakesEffectWhenTheFieldIsLeft) {
    FocusPeriod();
    TypePeriod("5");
    EXPECT_EQ(fMain->Timer1->interval(), 1000); // still the accepted value while typing
    LeavePeriod();
    EXPECT_EQ(fSettings->IntEdit1->Value(), 5);
    EXPECT_EQ(fMain->Timer1->interval(), 5000);
    EXPECT_TRUE(fMain->Timer1->isActive());

    FocusPeriod();
    TypePeriod("0");
    QTest::keyClick(fSettings->IntEdit1, Qt::Key_Return); // validates and moves on
    ASSERT_TRUE(QTest::qWaitFor([] { return !fSettings->IntEdit1->hasFocus(); }, 5000));
    EXPECT_EQ(fSettings->IntEdit1->Value(), 0);
    EXPECT_FALSE(fMain->Timer1->isActive());
    EXPECT_TRUE(fSettings->isVisible()); // Enter is not the default button
}

TEST_F(OptionsDialogTest, CloseKeepsThePicksSaveAndCloseWritesThem) {
    fSettings->show();
    fSettings->AfPortComboBox1->setCurrentIndex(1);
    emit fSettings->AfPortComboBox1->activated(1); // the user picks COM 3
    EXPECT_EQ(fMain->AfComPort1->ComNumber(), 3);
    EXPECT_TRUE(fMain->AfComPort1->Active());
    EXPECT_TRUE(fSettings->AfPortComboBox1->currentText().startsWith("COM 3  "));
    fSettings->CheckBox1->setChecked(true);
    fSettings->IntEdit1->SetValue(9);
    fSettings->Button1->click();
    EXPECT_FALSE(QFile::exists(Paths().IniPath()));
    EXPECT_EQ(fMain->Timer1->interval(), 9000);

    fSettings->show();
    fSettings->bClose->click();
    EXPECT_FALSE(fSettings->isVisible());
    const QByteArray ini = Read(Paths().IniPath());
    EXPECT_TRUE(ini.contains("\r\nCOM=3\r\nPeriod=9\r\nAutoConnect=-1\r\n")) << ini.toStdString();
}

TEST_F(OptionsDialogTest, OptionsShowsTheDialogModally) {
    bool sawModal = false;
    QTimer::singleShot(0, [&] {
        sawModal = QApplication::activeModalWidget() == fSettings && fSettings->isVisible();
        fSettings->Button1->click();
    });
    fMain->Button1->click(); // returns when the dialog is closed
    EXPECT_TRUE(sawModal);
    EXPECT_FALSE(fSettings->isVisible());
}

TEST_F(OptionsDialogTest, TheHomePageLinkOpensItsAddress) {
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "Open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "Open");

    fSettings->Label8->setText(QStringLiteral("  www.example.org/kelvox "));
    fSettings->Label8->setVisible(true);
    fSettings->show();
    QTest::mouseClick(fSettings->Label8, Qt::LeftButton);
    fSettings->Label8->setText(QStringLiteral("https://example.org/"));
    fSettings->Label8Click(fSettings->Label8);
    fSettings->Label8->setText(QStringLiteral("   "));
    fSettings->Label8Click(fSettings->Label8); // nothing to open

    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    ASSERT_EQ(recorder.Opened.size(), 2u);
    EXPECT_EQ(recorder.Opened[0], QUrl(QStringLiteral("http://www.example.org/kelvox")));
    EXPECT_EQ(recorder.Opened[1], QUrl(QStringLiteral("https://example.org/")));
}

// Find listens without holding up the window, picks the port that sends
// readings (which opens it) and remembers a USB port by its stable name.
TEST_F(OptionsDialogTest, FindPicksThePortThatSendsReadingsAndRemembersItsStableName) {
    QTemporaryDir byId;
    const QString stable = byId.path() + "/usb-Thermo_T1-if00";
    ASSERT_TRUE(QFile::link(QString::fromStdString(Com3.SlavePath()), stable));
    platform::SetMessageHook([this](const platform::MessageRequest& r) {
        Boxes.push_back(r);
        return platform::MsgResult::Yes;
    });
    ASSERT_TRUE(Com3.Write("+021.4C\r+021.5C\r"));
    fSettings->FindOptions.ListenMs = 1000;
    fSettings->FindOptions.StableDir = byId.path().toStdString();
    fSettings->bFind->click();
    EXPECT_EQ(fSettings->bFind->text(), "Searching...");
    EXPECT_FALSE(fSettings->bFind->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([] { return fSettings->bFind->isEnabled(); }, 30000));
    EXPECT_EQ(fSettings->bFind->text(), "Find");
    EXPECT_EQ(fSettings->AfPortComboBox1->SelectedComNumber(), 3);
    EXPECT_TRUE(fMain->AfComPort1->Active());
    EXPECT_EQ(fMain->AfComPort1->ComNumber(), 3);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Buttons, platform::MsgButtons::YesNo);
    EXPECT_TRUE(Read(Home.path() + "/kelvox.ini")
                    .contains("[Ports]\r\nCOM3=" + QFile::encodeName(stable) + "\r\n"));

    // Nothing more comes: the search says what it tried.
    fSettings->bFind->click();
    ASSERT_TRUE(QTest::qWaitFor([] { return fSettings->bFind->isEnabled(); }, 30000));
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_TRUE(Boxes[1].Text.startsWith(
        "No thermometer found: listened on 1 port for 1 s: no readings.\n\nCOM1  "))
        << Boxes[1].Text.toStdString();
    EXPECT_TRUE(Boxes[1].Text.contains("this program's port (open)")) << "not another program";
}

// A thermometer found elsewhere does not take the open port's place unasked.
TEST_F(OptionsDialogTest, FindAsksBeforeItClosesTheOpenPort) {
    fSettings->AfPortComboBox1->SetItemIndex(0);
    emit fSettings->AfPortComboBox1->activated(0); // COM1, opened
    ASSERT_TRUE(QTest::qWaitFor([] { return fMain->AfComPort1->Active(); }, 5000));
    platform::SetMessageHook([this](const platform::MessageRequest& r) {
        Boxes.push_back(r);
        return platform::MsgResult::No;
    });
    ASSERT_TRUE(Com3.Write("+021.4C\r+021.5C\r"));
    fSettings->FindOptions.ListenMs = 1000;
    fSettings->bFind->click();
    ASSERT_TRUE(QTest::qWaitFor([] { return fSettings->bFind->isEnabled(); }, 30000));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Buttons, platform::MsgButtons::YesNo);
    EXPECT_EQ(fMain->AfComPort1->ComNumber(), 1);
    EXPECT_TRUE(fMain->AfComPort1->Active());
}

// Taller than the screen (a small screen at a large scale, in the .scale2
// run): the top band scrolls and every button stays whole on the screen.
// The MQTT dialog opens over the options; neither has minimise or maximise.
TEST_F(OptionsDialogTest, FitsTheScreenAndTheMqttDialogOpensOverIt) {
    fSettings->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(fSettings));
    const QRect screen = fSettings->screen()->availableGeometry();
    for (QPushButton* b : {fSettings->Button1, fSettings->bClose})
        EXPECT_TRUE(screen.contains(QRect(b->mapToGlobal(QPoint(0, 0)), b->size())));
    // On the small screen the band scrolls; on a large one nothing changes.
    EXPECT_EQ(fSettings->Scroll5->verticalScrollBar()->isVisible(),
              qEnvironmentVariableIsSet("KELVOX_TEST_SMALL_SCREEN"));
    EXPECT_FALSE(fSettings->windowFlags() & Qt::WindowMinimizeButtonHint);
    QRect mqtt;
    Qt::WindowFlags flags;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        mqtt = dialog->frameGeometry();
        flags = dialog->windowFlags();
        dialog->close();
    });
    fSettings->bMqttClick(nullptr);
    ASSERT_TRUE(mqtt.isValid());
    EXPECT_TRUE(fSettings->frameGeometry().contains(mqtt.center()));
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
}

#include "OptionsDialogTest.moc"
