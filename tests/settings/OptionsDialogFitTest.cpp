// Every caption of the options dialog and the main window is fully visible
// in the font and resolution in effect (CTest runs this suite at 96 dpi and
// at 120 dpi without scaling, where the text grows and the layout does not), no control covers another and none sticks out of its panel, also
// when the port list names a device at length.
#include "app/uMain.h"
#include "settings/uSettings.h"
#include "support/FakeSysfs.h"
#include "support/Pty.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// The resolution CTest runs this variant at (see tests/CMakeLists.txt).
int dpiInEffect() {
    const QByteArray v = qgetenv("KELVOX_TEST_DPI");
    return v.isEmpty() ? 96 : v.toInt();
}

// The program's own controls, not the parts Qt builds inside them.
QList<QWidget*> controlsOf(QWidget* window) {
    QList<QWidget*> result;
    for (QWidget* w : window->findChildren<QWidget*>())
        if (!w->isHidden() && !w->objectName().isEmpty() && !w->objectName().startsWith("qt_") &&
            !w->isWindow())
            result << w;
    return result;
}

void expectEveryCaptionFits(QWidget* window) {
    const QList<QWidget*> controls = controlsOf(window);
    for (QWidget* w : controls) {
        const QString name = w->objectName();
        if (auto* button = qobject_cast<QPushButton*>(w)) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.rect = button->rect();
            if (button->isDefault())
                option.features |= QStyleOptionButton::DefaultButton;
            const QRect room =
                button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            QStringList captions{button->text()};
            if (button == fSettings->bConn)
                captions << "Connect"
                         << "Disconnect";
            for (const QString& caption : captions)
                EXPECT_LE(button->fontMetrics().horizontalAdvance(caption), room.width())
                    << name.toStdString() << " clips " << caption.toStdString();
            EXPECT_LE(button->fontMetrics().height(), room.height()) << name.toStdString();
        } else if (qobject_cast<QLabel*>(w) || qobject_cast<QCheckBox*>(w) ||
                   qobject_cast<QGroupBox*>(w) || qobject_cast<QComboBox*>(w)) {
            EXPECT_LE(w->sizeHint().width(), w->width()) << name.toStdString();
            EXPECT_LE(w->sizeHint().height(), w->height()) << name.toStdString();
        }
        EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry()))
            << name.toStdString() << " sticks out of "
            << w->parentWidget()->objectName().toStdString();
        for (QWidget* other : controls) {
            if (other == w || other->parentWidget() != w->parentWidget())
                continue;
            EXPECT_FALSE(w->geometry().intersects(other->geometry()))
                << name.toStdString() << " covers " << other->objectName().toStdString();
        }
    }
}

TEST(OptionsDialogFit, EveryCaptionIsVisibleAndNothingOverlaps) {
    QTemporaryDir home;
    qputenv("KELVOX_HOME", home.path().toLocal8Bit());
    PortDir ports;
    TestPty pty;
    ports.Link(33, pty.SlavePath());
    FakeSysfs sys;
    sys.AddUsbTty("pts!" + pty.SlavePath().substr(9), "1-1", "USB-Serial Controller D (Prolific)",
                  "1-1:1.0", "Thermometer port");

    fMain = new TfMain;
    fSettings = new TfSettings;
    ASSERT_EQ(fSettings->logicalDpiX(), dpiInEffect());
    EXPECT_EQ(QFontInfo(fSettings->font()).pixelSize(), qRound(11 * dpiInEffect() / 96.0))
        << "the dialog's text follows the resolution";

    fSettings->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(fSettings));
    const QSize before = fSettings->size();
    fSettings->AfPortComboBox1->SetSysfsRoot(QString::fromStdString(sys.Root()));
    ASSERT_TRUE(fSettings->AfPortComboBox1->currentText().contains("Thermometer port") ||
                fSettings->AfPortComboBox1->itemText(0).contains("Thermometer port"));
    QTest::qWait(50); // the rebuilt list asks for room through the event loop
    expectEveryCaptionFits(fSettings);
    if (dpiInEffect() == 96) {
        // What fits as designed stays where it was designed.
        EXPECT_EQ(fSettings->edTarget->geometry(), QRect(10, 40, 233, 21));
        EXPECT_EQ(fSettings->bSend->geometry(), QRect(247, 40, 64, 21));
        EXPECT_EQ(fSettings->IntEdit1->geometry(), QRect(58, 103, 57, 21));
        EXPECT_EQ(before.width(), 333);
    }

    fMain->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(fMain));
    fMain->Label1->setText(QStringLiteral("-100,0\u00B0C"));
    expectEveryCaptionFits(fMain);

    delete fSettings;
    fSettings = nullptr;
    delete fMain;
    fMain = nullptr;
    qunsetenv("KELVOX_HOME");
}

} // namespace
