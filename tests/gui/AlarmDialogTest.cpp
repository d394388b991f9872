// The alarm and calibration dialog on the program fed through a pty: raw and
// calibrated readings, the file's own checks refusing a value, the accepted
// values taken at once, and the tray's tooltip naming the alarm.
#include "gui/AlarmDialog.h"
#include "LinkFixture.h"

#include <QLabel>
#include <QLineEdit>

namespace {

class AlarmDialogTest : public LinkFixture {};

TEST_F(AlarmDialogTest, ShowsRawAndCalibratedAndTakesCheckedValues) {
    LinkPty();
    Start("[Data]\r\nCOM=1\r\nAutoConnect=-1\r\nOffset=1\r\nGain=2\r\n");
    ASSERT_TRUE(Pty.Write("+010.0C\r"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Link().Live(); }));
    EXPECT_EQ(fMain->Label1->text(), QString::fromUtf8("21.0°C"));

    TAlarmDialog dialog(Core());
    EXPECT_EQ(dialog.Reading()->text(),
              QString::fromUtf8("Reading: 10.0°C from the thermometer, 21.0°C calibrated"));
    dialog.Field(Setting::DataGain)->setText("1.5");
    EXPECT_EQ(dialog.Reading()->text(),
              QString::fromUtf8("Reading: 10.0°C from the thermometer, 16.0°C calibrated"));

    dialog.Field(Setting::AlarmHigh)->setText("hot");
    dialog.accept();
    EXPECT_EQ(dialog.Problem()->text(), "[Alarm] High: 'hot' is not a number; it is off");
    dialog.Field(Setting::AlarmHigh)->setText("15");
    dialog.Field(Setting::AlarmLow)->setText("20");
    dialog.accept();
    EXPECT_EQ(dialog.Problem()->text(),
              "[Alarm] Low: 20 is not below High (15); the low limit is off");
    EXPECT_FALSE(Core().Settings().Decimal(Setting::AlarmHigh).has_value());

    dialog.Field(Setting::AlarmLow)->clear();
    dialog.Field(Setting::AlarmDelay)->setText("0");
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(Core().AlarmConfigNow().High, 15.0);
    ASSERT_TRUE(Pty.Write("+010.0C\r")); // 16.0 with the new gain: above 15
    ASSERT_TRUE(WaitForLog(QString::fromUtf8("ERR  Temperature high: 16.0°C, limit 15.0°C")));
    EXPECT_TRUE(fMain->TrayIkona1->Hint().contains("ALARM: temperature high since 14:05:09"));
}

} // namespace
