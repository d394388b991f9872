// The time-series output's dialog: edits a TimeSeriesSettings value and
// shows the output's state beside it (a lamp with its words: sending,
// backlog N since HH:MM, failed: <cause>, off). Like the MQTT dialog,
// "Apply" hands the settings to OnApply; otherwise whoever opens it takes
// Settings() after an accepted exec(). The token is typed hidden and never
// shown. Main thread only.
#pragma once

#include "core/TimeSeries.h"
#include "gui/StateShape.h"

#include <QDialog>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// Green while sending, yellow with a backlog, red after a refusal, grey
// while off.
class TTimeSeriesLamp : public TStateShape {
    Q_OBJECT
public:
    explicit TTimeSeriesLamp(QWidget* parent = nullptr);
    void SetState(TimeSeriesState state);
    QSize sizeHint() const override { return {16, 16}; }
};

class TTimeSeriesDialog : public QDialog {
    Q_OBJECT
public:
    explicit TTimeSeriesDialog(QWidget* parent = nullptr);

    void SetSettings(const TimeSeriesSettings& settings);
    TimeSeriesSettings Settings() const;
    // Shows the output's state now and follows it for as long as both exist.
    void Follow(TTimeSeries& output, std::function<QDateTime()> clock);

    QLineEdit* edUrl = nullptr;
    QLineEdit* edToken = nullptr;
    QLineEdit* edMeasurement = nullptr; // empty: "temperature", the placeholder
    QSpinBox* seLimit = nullptr;
    TTimeSeriesLamp* shState = nullptr;
    QLabel* lbState = nullptr;
    QLabel* lbError = nullptr;
    QPushButton* bApply = nullptr;
    std::function<void(const TimeSeriesSettings&)> OnApply;

public slots:
    // Refuses settings the output cannot use, saying why.
    void accept() override;

private:
    bool Validate();
};
