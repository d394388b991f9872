// The MQTT settings dialog: edits an MqttSettings value and shows the state
// of the publisher beside it (a lamp, green while connected, and the last
// error). It applies nothing itself: whoever opens it takes Settings()
// after an accepted exec() and hands them to the publisher and the settings
// file. Main thread only.
#pragma once

#include "monitor/MqttPublisher.h"
#include "settings/uSettings.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;

// The options dialog's lamp: green while connected, red while not.
class TMqttLamp : public TStateShape {
    Q_OBJECT
public:
    explicit TMqttLamp(QWidget* parent = nullptr);
    bool On() const { return BrushColor() == kOn; }
    void SetOn(bool on) { SetBrushColor(on ? kOn : kOff); }
    QSize sizeHint() const override { return {16, 16}; }

private:
    static constexpr std::uint32_t kOn = 0x008000;  // green
    static constexpr std::uint32_t kOff = 0x0000FF; // red
};

class TMqttDialog : public QDialog {
    Q_OBJECT
public:
    explicit TMqttDialog(QWidget* parent = nullptr);

    void SetSettings(const MqttSettings& settings);
    // The settings as edited (the password as typed, never shown).
    MqttSettings Settings() const;
    // Shows the publisher's state now and follows its changes for as long
    // as both exist.
    void Follow(const TMqttPublisher& publisher);

    QLineEdit* edBroker = nullptr;
    QLineEdit* edUser = nullptr;
    QLineEdit* edPassword = nullptr;
    QLineEdit* edTopic = nullptr; // empty: the default, shown as placeholder
    QCheckBox* chbDiscovery = nullptr;
    TMqttLamp* shState = nullptr;
    QLabel* lbError = nullptr; // the publisher's last error, or why OK refused

public slots:
    void SetConnected(bool connected);
    void SetLastError(const QString& error);
    // Refuses a broker or topic that cannot be used, saying why.
    void accept() override;
};
