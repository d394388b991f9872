// The MQTT settings dialog: edits an MqttSettings value and shows the state
// of the publisher beside it (a lamp, green while connected, and the last
// error). It applies nothing itself: whoever opens it takes Settings()
// after an accepted exec() and hands them to the publisher and the settings
// file. Main thread only.
#pragma once

#include "monitor/MqttPublisher.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;

// A round lamp: green while on, red while off.
class TMqttLamp : public QWidget {
    Q_OBJECT
public:
    explicit TMqttLamp(QWidget* parent = nullptr);
    bool On() const { return FOn; }
    void SetOn(bool on);
    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool FOn = false;
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
