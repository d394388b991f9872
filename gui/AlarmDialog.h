// "Alarm and calibration", opened from the options: the [Alarm] limits,
// delays and command, and the calibration of [Data], with the thermometer's
// raw reading beside the calibrated one (as the fields would calibrate it,
// so that a calibration can be read off while it is typed). The values are
// checked by the same checks as the settings file; OK takes them at once,
// as the other options do ("Save and close" writes them).
//
// Main thread only.
#pragma once

#include "core/Settings.h"

#include <QDialog>
#include <utility>
#include <vector>

class QLabel;
class QLineEdit;
class TKelvoxCore;

class TAlarmDialog : public QDialog {
    Q_OBJECT
public:
    explicit TAlarmDialog(TKelvoxCore& core, QWidget* parent = nullptr);

    // The field of each key.
    QLineEdit* Field(Setting id) const;
    QLabel* Reading() const { return lbReading; }
    QLabel* Problem() const { return lbError; }

    void accept() override;

private:
    void ShowReading();

    TKelvoxCore& Core_;
    std::vector<std::pair<Setting, QLineEdit*>> Fields_;
    QLabel* lbReading = nullptr;
    QLabel* lbError = nullptr;
};
