// The options dialog on the desktop: every caption of it and of the main
// window is fully visible in the font and resolution in effect (CTest runs
// this at 96 dpi and at 120 dpi without scaling, where the text grows and
// the geometry does not), no control covers another and none sticks out of
// its panel; "Start with the desktop session" is the autostart entry's
// presence, and the entry launches this program by its absolute path.
#include "gui/uMain.h"
#include "gui/uSettings.h"
#include "platform/Autostart.h"
#include "platform/MessageBox.h"
#include "support/Program.h"
#include "support/Pty.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

void expectEveryCaptionFits(QWidget* window) {
    QList<QWidget*> controls; // the program's own, not the parts Qt builds inside them
    for (QWidget* w : window->findChildren<QWidget*>())
        if (!w->isHidden() && !w->objectName().isEmpty() && !w->objectName().startsWith("qt_"))
            controls << w;
    for (QWidget* w : controls) {
        const std::string name = w->objectName().toStdString();
        if (auto* button = qobject_cast<QPushButton*>(w)) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.features =
                button->isDefault() ? QStyleOptionButton::DefaultButton : QStyleOptionButton::None;
            const QRect room =
                button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            QStringList captions{button->text()};
            if (button == fSettings->bConn)
                captions << QStringLiteral("Disconnect");
            if (button == fSettings->bFind)
                captions << QStringLiteral("Searching...");
            for (const QString& caption : captions)
                EXPECT_LE(button->fontMetrics().horizontalAdvance(caption), room.width())
                    << name << " clips " << caption.toStdString();
            EXPECT_LE(button->fontMetrics().height(), room.height()) << name;
        } else if (qobject_cast<QLabel*>(w) || qobject_cast<QCheckBox*>(w) ||
                   qobject_cast<QGroupBox*>(w) || qobject_cast<QComboBox*>(w)) {
            EXPECT_LE(w->sizeHint().width(), w->width()) << name;
            EXPECT_LE(w->sizeHint().height(), w->height()) << name;
        }
        EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry())) << name << " sticks out";
        for (QWidget* other : controls) {
            if (other != w && other->parentWidget() == w->parentWidget()) {
                EXPECT_FALSE(w->geometry().intersects(other->geometry()))
                    << name << " covers " << other->objectName().toStdString();
            }
        }
    }
}

QString execLine(const QString& path) {
    QFile f(path);
    const QByteArray text = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    const qsizetype at = text.indexOf("\nExec=");
    return at < 0 ? QString()
                  : QString::fromUtf8(text.mid(at + 1, text.indexOf('\n', at + 1) - at - 1));
}

class DesktopDialog : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        ports.Link(33, pty.SlavePath());
        CoreDeps deps;
        deps.Paths = {home.path()};
        BuildProgram(std::move(deps));
    }
    void TearDown() override {
        platform::SetMessageHook({});
        DestroyProgram();
        qunsetenv("XDG_CONFIG_HOME");
    }
    QTemporaryDir home, config;
    PortDir ports;
    TestPty pty;
};

TEST_F(DesktopDialog, EveryCaptionIsVisibleAndNothingOverlaps) {
    const int dpi = qEnvironmentVariableIsSet("KELVOX_TEST_DPI")
                        ? qEnvironmentVariableIntValue("KELVOX_TEST_DPI")
                        : 96;
    ASSERT_EQ(fSettings->logicalDpiX(), dpi);
    EXPECT_EQ(QFontInfo(fSettings->font()).pixelSize(), qRound(11 * dpi / 96.0));

    fSettings->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(fSettings));
    // COM 33, and the program's port COM 1 listed as not present.
    ASSERT_EQ(fSettings->AfPortComboBox1->count(), 2);
    expectEveryCaptionFits(fSettings);
    // Room around the bottom captions; no empty band without a home page.
    for (QPushButton* b : {fSettings->Button1, fSettings->bClose})
        EXPECT_GE(b->width() - b->fontMetrics().horizontalAdvance(b->text()), 20);
    if (fSettings->Label8->isHidden()) {
        EXPECT_EQ(fSettings->Panel1->y(), fSettings->Panel5->height());
    }
    EXPECT_FALSE(fSettings->edTarget->placeholderText().isEmpty());
    if (dpi == 96) { // what fits as designed stays as designed
        EXPECT_EQ(fSettings->edTarget->geometry(), QRect(10, 40, 233, 21));
        EXPECT_EQ(fSettings->width(), 333);
    }
    fMain->show();
    fMain->Label1->setText(QStringLiteral("-100.0\u00B0C"));
    expectEveryCaptionFits(fMain);
}

TEST_F(DesktopDialog, StartWithTheSessionIsTheAutostartEntrysPresence) {
    const QString entry = config.path() + "/autostart/org.kelvox.Kelvox.desktop";
    fSettings->show();
    EXPECT_FALSE(fSettings->chbAutostart->isChecked());
    fSettings->chbAutostart->click();
    EXPECT_EQ(execLine(entry), "Exec=\"" + QCoreApplication::applicationFilePath() + "\"");
    fSettings->chbAutostart->click();
    EXPECT_FALSE(QFile::exists(entry));

    fSettings->hide();
    platform::SetAutostart(true, "/opt/My $Apps/kel\"vox 100%");
    EXPECT_EQ(execLine(entry), R"(Exec="/opt/My \\$Apps/kel\\"vox 100%%")");
    const int valid = QProcess::execute("desktop-file-validate", {entry});
    if (valid != -2) { // -2: not installed
        EXPECT_EQ(valid, 0);
    }
    fSettings->show();
    EXPECT_TRUE(fSettings->chbAutostart->isChecked()) << "made elsewhere, shown here";

    // A file where the folder belongs: the failure is reported, the box
    // shows what is on disk.
    ASSERT_TRUE(QDir(config.path() + "/autostart").removeRecursively());
    QFile blocker(config.path() + "/autostart");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    fSettings->hide();
    fSettings->show();
    ASSERT_FALSE(fSettings->chbAutostart->isChecked());
    QStringList boxes;
    platform::SetMessageHook([&](const platform::MessageRequest& r) {
        boxes << r.Text;
        return platform::MsgResult::Ok;
    });
    fSettings->chbAutostart->click();
    EXPECT_FALSE(fSettings->chbAutostart->isChecked());
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].contains("org.kelvox.Kelvox.desktop")) << boxes[0].toStdString();
}

} // namespace
