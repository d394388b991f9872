#include "gui/AfPortControls.h"
#include "gui/MessageParent.h"
#include "gui/uIntEdit.h"
#include "gui/uMain.h"
#include "gui/uSettings.h"
#include "platform/AppPaths.h"
#include "platform/FormatSettings.h"
#include "platform/MessageBox.h"
#include "serial/AfComPort.h"
#include "support/Program.h"
#include "support/Pty.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <stdexcept>
#include <vector>

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Home.isValid());
        Saved_ = platform::FormatSettings::Current();
        platform::FormatSettings::SetCurrent(platform::FormatSettings());
        platform::SetMessageHook([this](const platform::MessageRequest& r) {
            Boxes.push_back(r);
            Parents.push_back(TakeMessageParent());
            return platform::MsgResult::Ok;
        });
        CreateWindows();
    }
    void TearDown() override {
        DestroyWindows();
        platform::SetMessageHook({});
        platform::FormatSettings::SetCurrent(Saved_);
    }
    platform::AppPaths Paths() const { return {Home.path()}; }
    void CreateWindows() {
        CoreDeps deps;
        deps.Paths = Paths();
        deps.MinuteMs = 1000;
        BuildProgram(std::move(deps));
    }
    void DestroyWindows() { DestroyProgram(); }
    // A fresh program start with the file as it is now.
    void Restart() {
        DestroyWindows();
        CreateWindows();
        LoadSettings();
    }
    void WriteIni(const QByteArray& bytes) {
        QFile f(Paths().IniPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray ReadIni() {
        QFile f(Paths().IniPath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return f.readAll();
    }

    // No serial ports at all: the chooser has nothing to select.
    PortDir Ports;
    QTemporaryDir Home;
    std::vector<platform::MessageRequest> Boxes;
    std::vector<QWidget*> Parents; // the window each box was over

private:
    platform::FormatSettings Saved_;
};

} // namespace

TEST_F(SettingsTest, TheWindowsShowTheDefaults) {
    LoadSettings();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    // Centred using the window's size at load time (306 high before Height).
    EXPECT_EQ(fMain->y(), screen.height() / 2 - 306 / 2);
    EXPECT_EQ(fMain->x(), screen.width() / 2 - 266 / 2);
    EXPECT_EQ(fMain->height(), 310);
    EXPECT_EQ(fSettings->IntEdit1->Value(), 1);
    EXPECT_EQ(fSettings->edTarget->text(), "");
    EXPECT_FALSE(fSettings->CheckBox1->isChecked());
    EXPECT_FALSE(fSettings->chbAlwaysOnTop->isChecked());
    EXPECT_FALSE(fSettings->chbGeneTempLOG->isChecked());
    EXPECT_FALSE(fMain->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST_F(SettingsTest, TheWindowsControlsAndPlaceAreSavedAndRestored) {
    LoadSettings();
    fMain->move(123, 45);
    fMain->resize(fMain->width(), 31);
    fSettings->edTarget->setText("http://127.0.0.1:8080/t.php?t=");
    fMain->AfComPort1->SetComNumber(4);
    fSettings->IntEdit1->SetValue(7);
    fSettings->CheckBox1->setChecked(true);
    fSettings->chbGeneTempLOG->setChecked(true);
    fSettings->bCloseClick(fSettings->bClose);
    EXPECT_EQ(ReadIni(), "[Main]\r\nTop=45\r\nLeft=123\r\nHeight=31\r\n"
                         "[Data]\r\nTargetURL=http://127.0.0.1:8080/t.php?t=\r\nCOM=4\r\n"
                         "Period=7\r\nAutoConnect=-1\r\nAlwaysOnTop=0\r\nGeneTemp=-1\r\n"
                         "AutoReconnect=0\r\n");

    Restart();
    EXPECT_EQ(fMain->pos(), QPoint(123, 45));
    EXPECT_EQ(fMain->height(), 31); // the collapsed window comes back collapsed
    EXPECT_EQ(fSettings->edTarget->text(), "http://127.0.0.1:8080/t.php?t=");
    EXPECT_EQ(fMain->AfComPort1->ComNumber(), 4);
    EXPECT_EQ(fSettings->IntEdit1->Value(), 7);
    EXPECT_TRUE(fSettings->CheckBox1->isChecked());
    EXPECT_TRUE(fSettings->chbGeneTempLOG->isChecked());
    // AutoConnect with no port chosen asks for one, from the settings window.
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Parents[0], fSettings);
}

TEST_F(SettingsTest, TheWindowsPlaceTakesHexadecimalAndKeepsTheTitleShown) {
    WriteIni("[Main]\nTop=0x20\nLeft=0X1f\nHeight=abc\n");
    LoadSettings();
    EXPECT_EQ(fMain->y(), 32);
    EXPECT_EQ(fMain->x(), 31);
    EXPECT_EQ(fMain->height(), 310);
    // A tiny height would hide the title.
    WriteIni("[Main]\nHeight=5\n");
    Restart();
    EXPECT_EQ(fMain->height(), 31);
}

// How the texts are read is the core's test; here each state reaches the
// boxes and the window flag.
TEST_F(SettingsTest, CheckStatesFromTheFileSetTheBoxesAndTheWindowFlag) {
    struct Case {
        const char* text;
        bool checked;
    };
    for (const Case& c : {Case{"-1", true}, Case{"0", false}, Case{"True", true}}) {
        WriteIni(QByteArray("[Data]\r\nGeneTemp=") + c.text + "\r\nAlwaysOnTop=" + c.text + "\r\n");
        Restart();
        EXPECT_EQ(fSettings->chbGeneTempLOG->isChecked(), c.checked) << c.text;
        EXPECT_EQ(fSettings->chbAlwaysOnTop->isChecked(), c.checked) << c.text;
        EXPECT_EQ(fMain->windowFlags().testFlag(Qt::WindowStaysOnTopHint), c.checked) << c.text;
    }
}

TEST_F(SettingsTest, PeriodChangesDriveTheUploadTimer) {
    LoadSettings();
    fSettings->IntEdit1->SetValue(0);
    EXPECT_FALSE(fMain->Timer1->isActive());
    fSettings->IntEdit1->SetValue(5);
    EXPECT_TRUE(fMain->Timer1->isActive());
    EXPECT_EQ(fMain->Timer1->interval(), 5000);
    fSettings->IntEdit1->SetValue(100);
    EXPECT_EQ(fMain->Timer1->interval(), 100000);
}

TEST_F(SettingsTest, CloseKeepsTheFileSaveAndCloseWritesIt) {
    LoadSettings();
    fSettings->move(0, 0);
    fSettings->show();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    // Centred when shown (give or take a window frame).
    EXPECT_LE((fSettings->geometry().center() - screen.center()).manhattanLength(), 20);
    // Rows for the connect toggle, reconnecting, the session start and the
    // time-series button; the
    // check boxes' own height in the default font; the home page link's
    // band (34) only when the build names a home page.
    EXPECT_EQ(fSettings->size(), QSize(333, fSettings->Label8->isHidden() ? 422 : 456));
    fSettings->edTarget->setText("edited");
    fSettings->Button1->click();
    EXPECT_FALSE(fSettings->isVisible());
    EXPECT_FALSE(QFileInfo::exists(Paths().IniPath()));
    EXPECT_EQ(fSettings->edTarget->text(), "edited"); // still in effect
    fSettings->show();
    fSettings->bClose->click();
    EXPECT_FALSE(fSettings->isVisible());
    EXPECT_TRUE(ReadIni().contains("TargetURL=edited\r\n"));
}

TEST_F(SettingsTest, AlwaysOnTopFollowsTheBoxAndKeepsVisibility) {
    LoadSettings();
    fMain->show();
    fSettings->chbAlwaysOnTop->setChecked(true);
    EXPECT_TRUE(fMain->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(fMain->isVisible());
    fMain->hide();
    fSettings->chbAlwaysOnTop->setChecked(false);
    EXPECT_FALSE(fMain->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(fMain->isVisible());
}

TEST_F(SettingsTest, StatusLampAndConnectWithoutPort) {
    EXPECT_EQ(fSettings->shState->BrushColor(), 0x0000FFu);
    fSettings->shState->SetBrushColor(0x008000);
    EXPECT_EQ(fSettings->shState->BrushColor(), 0x008000u);
    EXPECT_EQ(fSettings->AfPortComboBox1->ItemIndex(), -1);
    fSettings->bConn->click();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "At first choose COM port");
    EXPECT_EQ(fSettings->bConn->text(), "Connect");
}
