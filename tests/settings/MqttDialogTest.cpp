// The MQTT dialog: what it hands back and what it refuses.
#include "settings/MqttDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <gtest/gtest.h>

TEST(MqttDialogTest, RefusesUnusableValuesAndKeepsThePasswordHidden) {
    TMqttDialog d;
    const MqttSettings s{"mqtts://broker:8884", "me", "pw", "home/t", false};
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
