// The MQTT dialog: what it hands back and what it refuses.
#include "gui/MqttDialog.h"
#include "support/Loopback.h"
#include "support/Pump.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

TEST(MqttDialogTest, RefusesUnusableValuesAndKeepsThePasswordHidden) {
    TMqttDialog d;
    const MqttSettings s{"mqtts://broker:8884", "me", "pw", "home/t", false, "ha"};
    d.SetSettings(s);
    EXPECT_EQ(d.Settings(), s);
    EXPECT_EQ(d.edPassword->echoMode(), QLineEdit::Password);
    d.open();
    for (const char* bad : {"broker", "mqtt://u:pw@broker"}) {
        d.edBroker->setText(bad);
        d.accept();
        EXPECT_TRUE(d.isVisible()) << bad;
        EXPECT_FALSE(d.lbError->text().isEmpty() || d.lbError->text().contains("pw")) << bad;
    }
    d.edBroker->setText("mqtt://broker");
    d.accept();
    EXPECT_EQ(d.result(), QDialog::Accepted);
}

// The lamp speaks of the settings applied from the dialog, in words too.
TEST(MqttDialogTest, TheLampTellsTheAppliedSettingsState) {
    TMqttPublisher publisher;
    TMqttDialog d;
    d.OnApply = [&](const MqttSettings& s) { publisher.Apply(s); };
    d.Follow(publisher);
    EXPECT_EQ(d.lbState->text(), "off");
    d.edBroker->setText(QStringLiteral("mqtt://127.0.0.1:%1").arg(ClosedPort()));
    d.bApply->click();
    EXPECT_EQ(d.lbState->text(), "connecting...");
    ASSERT_TRUE(PumpUntil([&] { return d.lbState->text().startsWith("failed: "); }));
    EXPECT_EQ(d.shState->toolTip(), "MQTT: " + d.lbState->text());
    EXPECT_TRUE(d.lbState->text().contains("refused")) << d.lbState->text().toStdString();
}
