// The MQTT settings dialog: edits an MqttSettings value and shows the state
// of the publisher beside it (a lamp with a word: connected, connecting...,
// failed: <cause>, off). "Apply" hands the settings to whoever opened it
// (OnApply), and the lamp then tells of them; otherwise whoever opens it
// takes Settings() after an accepted exec() and hands them to the publisher
// and the settings file. Main thread only.
#pragma once

#include "core/MqttPublisher.h"
#include "gui/StateShape.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

#include <functional>

// The options dialog's lamp: green while connected, yellow while
// connecting, red after a failure, grey while off.
class TMqttLamp : public TStateShape {
    Q_OBJECT
public:
    explicit TMqttLamp(QWidget* parent = nullptr);
    bool On() const { return BrushColor() == kOn; }
    void SetState(MqttState state);
    QSize sizeHint() const override { return {16, 16}; }

private:
    static constexpr std::uint32_t kOn = 0x008000;         // green
    static constexpr std::uint32_t kConnecting = 0x00C0FF; // yellow
    static constexpr std::uint32_t kFailed = 0x0000FF;     // red
    static constexpr std::uint32_t kOff = 0x808080;        // grey
};

// The lamp's words: "connected", "connecting...", "failed: <cause>", "off".
QString MqttStateText(MqttState state, const QString& error);

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
    QLineEdit* edPrefix = nullptr; // empty: "homeassistant", shown as placeholder
    TMqttLamp* shState = nullptr;
    QLabel* lbState = nullptr; // the lamp in words
    QLabel* lbError = nullptr; // why OK or Apply refused
    QPushButton* bApply = nullptr;
    // Takes the settings at "Apply" (hidden while unset).
    std::function<void(const MqttSettings&)> OnApply;

public slots:
    void SetState(MqttState state, const QString& error);
    // Refuses a broker, topic or prefix that cannot be used, saying why.
    void accept() override;

private:
    // False, with the reason shown, when the settings cannot be used.
    bool Validate();
    void Apply();
};
