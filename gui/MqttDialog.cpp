#include "gui/MqttDialog.h"

#include "gui/ScreenFit.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

TMqttLamp::TMqttLamp(QWidget* parent) : TStateShape(parent) {
    setFixedSize(sizeHint());
    SetState(MqttState::Off);
}

void TMqttLamp::SetState(MqttState state) {
    switch (state) {
    case MqttState::Connected:
        SetBrushColor(kOn);
        break;
    case MqttState::Connecting:
        SetBrushColor(kConnecting);
        break;
    case MqttState::Failed:
        SetBrushColor(kFailed);
        break;
    case MqttState::Off:
        SetBrushColor(kOff);
        break;
    }
}

QString MqttStateText(MqttState state, const QString& error) {
    switch (state) {
    case MqttState::Connected:
        return QStringLiteral("connected");
    case MqttState::Connecting:
        return QStringLiteral("connecting...");
    case MqttState::Failed:
        return QStringLiteral("failed: ") + error;
    case MqttState::Off:
        return QStringLiteral("off");
    }
    return {};
}

TMqttDialog::TMqttDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("fMqtt"));
    setWindowTitle(QStringLiteral("MQTT"));
    UseDialogFrame(this);
    edBroker = new QLineEdit(this);
    edBroker->setPlaceholderText(QStringLiteral("mqtt://host[:port] or mqtts://host[:port]"));
    edUser = new QLineEdit(this);
    edPassword = new QLineEdit(this);
    edPassword->setEchoMode(QLineEdit::Password);
    edTopic = new QLineEdit(this);
    edTopic->setPlaceholderText(DefaultMqttTopic());
    chbDiscovery = new QCheckBox(QStringLiteral("Home Assistant discovery"), this);
    chbDiscovery->setChecked(true);
    edPrefix = new QLineEdit(this);
    edPrefix->setPlaceholderText(QStringLiteral("homeassistant"));
    shState = new TMqttLamp(this);
    lbState = new QLabel(this);
    lbState->setWordWrap(true);
    lbError = new QLabel(this);
    lbError->setWordWrap(true);
    lbError->setStyleSheet(QStringLiteral("color: #c00000"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Broker:"), edBroker);
    form->addRow(QStringLiteral("User:"), edUser);
    form->addRow(QStringLiteral("Password:"), edPassword);
    form->addRow(QStringLiteral("Topic:"), edTopic);
    form->addRow(QString(), chbDiscovery);
    form->addRow(QStringLiteral("Discovery prefix:"), edPrefix);
    auto* state = new QHBoxLayout;
    state->addWidget(shState);
    state->addWidget(lbState, 1);
    auto* buttons = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    bApply = buttons->button(QDialogButtonBox::Apply);
    bApply->setVisible(false);
    connect(buttons, &QDialogButtonBox::accepted, this, &TMqttDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TMqttDialog::reject);
    connect(bApply, &QPushButton::clicked, this, &TMqttDialog::Apply);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(state);
    layout->addWidget(lbError);
    layout->addWidget(buttons);
    SetState(MqttState::Off, {});
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
    edPrefix->setText(settings.DiscoveryPrefix);
}

MqttSettings TMqttDialog::Settings() const {
    return {edBroker->text().trimmed(), edUser->text(),
            edPassword->text(),         edTopic->text().trimmed(),
            chbDiscovery->isChecked(),  edPrefix->text().trimmed()};
}

void TMqttDialog::Follow(const TMqttPublisher& publisher) {
    auto show = [this, &publisher] { SetState(publisher.State(), publisher.LastError()); };
    show();
    connect(&publisher, &TMqttPublisher::StateChanged, this, show);
    connect(&publisher, &TMqttPublisher::LastErrorChanged, this, show);
}

void TMqttDialog::SetState(MqttState state, const QString& error) {
    const QString text = MqttStateText(state, error);
    shState->SetState(state);
    shState->setToolTip(QStringLiteral("MQTT: ") + text);
    lbState->setText(text);
}

bool TMqttDialog::Validate() {
    const QStringList problems = MqttSettingsProblems(Settings());
    if (problems.isEmpty()) {
        lbError->clear();
        return true;
    }
    // "Key: sentence"; the key names the field to correct.
    const QString key = problems.front().section(u':', 0, 0);
    lbError->setText(problems.front().section(u':', 1).trimmed());
    (key == QLatin1String("Broker")  ? edBroker
     : key == QLatin1String("Topic") ? edTopic
                                     : edPrefix)
        ->setFocus();
    return false;
}

void TMqttDialog::Apply() {
    if (OnApply && Validate())
        OnApply(Settings());
}

void TMqttDialog::accept() {
    if (Validate())
        QDialog::accept();
}
