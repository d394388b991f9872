#include "settings/MqttDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <algorithm>

TMqttLamp::TMqttLamp(QWidget* parent) : TStateShape(parent) {
    setFixedSize(sizeHint());
}

TMqttDialog::TMqttDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("fMqtt"));
    setWindowTitle(QStringLiteral("MQTT"));
    edBroker = new QLineEdit(this);
    edBroker->setPlaceholderText(QStringLiteral("mqtt://host[:port] or mqtts://host[:port]"));
    edUser = new QLineEdit(this);
    edPassword = new QLineEdit(this);
    edPassword->setEchoMode(QLineEdit::Password);
    edTopic = new QLineEdit(this);
    edTopic->setPlaceholderText(DefaultMqttTopic());
    chbDiscovery = new QCheckBox(QStringLiteral("Home Assistant discovery"), this);
    chbDiscovery->setChecked(true);
    shState = new TMqttLamp(this);
    lbError = new QLabel(this);
    lbError->setWordWrap(true);
    lbError->setStyleSheet(QStringLiteral("color: #c00000"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Broker:"), edBroker);
    form->addRow(QStringLiteral("User:"), edUser);
    form->addRow(QStringLiteral("Password:"), edPassword);
    form->addRow(QStringLiteral("Topic:"), edTopic);
    form->addRow(QString(), chbDiscovery);
    auto* state = new QHBoxLayout;
    state->addWidget(shState);
    state->addWidget(lbError, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &TMqttDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TMqttDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(state);
    layout->addWidget(buttons);
    setMinimumWidth(420);
}

void TMqttDialog::SetSettings(const MqttSettings& settings) {
    edBroker->setText(settings.Broker);
    edUser->setText(settings.User);
    edPassword->setText(settings.Password);
    // The default topic shows as the placeholder, so that it follows the
    // host name instead of being written down.
    edTopic->setText(settings.Topic == DefaultMqttTopic() ? QString() : settings.Topic);
    chbDiscovery->setChecked(settings.Discovery);
}

MqttSettings TMqttDialog::Settings() const {
    return {edBroker->text().trimmed(), edUser->text(), edPassword->text(),
            edTopic->text().trimmed(), chbDiscovery->isChecked()};
}

void TMqttDialog::Follow(const TMqttPublisher& publisher) {
    SetConnected(publisher.Connected());
    SetLastError(publisher.LastError());
    connect(&publisher, &TMqttPublisher::ConnectedChanged, this, &TMqttDialog::SetConnected);
    connect(&publisher, &TMqttPublisher::LastErrorChanged, this, &TMqttDialog::SetLastError);
}

void TMqttDialog::SetConnected(bool connected) {
    shState->SetOn(connected);
}

void TMqttDialog::SetLastError(const QString& error) {
    lbError->setText(error);
}

void TMqttDialog::accept() {
    const MqttSettings s = Settings();
    QString error;
    if (!s.Broker.isEmpty() && !ParseMqttBroker(s.Broker, &error)) {
        lbError->setText(error);
        edBroker->setFocus();
        return;
    }
    if (!MqttBaseTopic(s.Topic, &error)) {
        lbError->setText(error);
        edTopic->setFocus();
        return;
    }
    QDialog::accept();
}
