#include "gui/AlarmDialog.h"

#include "core/Core.h"
#include "platform/FormatSettings.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <cmath>

namespace {

struct FieldDef {
    Setting Id;
    const char* Caption;
    const char* Placeholder;
};

constexpr FieldDef kFields[] = {
    {Setting::AlarmHigh, "High limit (\u00B0C):", "off"},
    {Setting::AlarmLow, "Low limit (\u00B0C):", "off"},
    {Setting::AlarmHysteresis, "Hysteresis (\u00B0C):", "0.5"},
    {Setting::AlarmDelay, "Delay (s):", "60"},
    {Setting::AlarmClearDelay, "Clear delay (s):", "as the delay"},
    {Setting::AlarmStale, "No readings for (s):", "0: off"},
    {Setting::AlarmCommand, "Command:", "none"},
    {Setting::DataOffset, "Calibration offset (\u00B0C):", "0"},
    {Setting::DataGain, "Calibration gain:", "1"},
};

QString Celsius(long double value) {
    return platform::FormatSettings::Current().FormatTemperature(value) + QStringLiteral("\u00B0C");
}

} // namespace

TAlarmDialog::TAlarmDialog(TKelvoxCore& core, QWidget* parent) : QDialog(parent), Core_(core) {
    setObjectName(QStringLiteral("AlarmDialog"));
    setWindowTitle(QStringLiteral("Kelvox - Alarm and calibration"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    layout->addLayout(form);
    const TSettingsModel& settings = core.Settings();
    for (const FieldDef& f : kFields) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QStringLiteral("ed") + QLatin1String(DefOf(f.Id).Key));
        edit->setPlaceholderText(QString::fromUtf8(f.Placeholder));
        if (f.Id != Setting::AlarmClearDelay || settings.Has(f.Id))
            edit->setText(settings.Text(f.Id));
        form->addRow(QString::fromUtf8(f.Caption), edit);
        Fields_.emplace_back(f.Id, edit);
        if (f.Id == Setting::DataOffset || f.Id == Setting::DataGain)
            connect(edit, &QLineEdit::textChanged, this, &TAlarmDialog::ShowReading);
    }
    lbReading = new QLabel(this);
    lbReading->setObjectName(QStringLiteral("lbReading"));
    layout->addWidget(lbReading);
    lbError = new QLabel(this);
    lbError->setObjectName(QStringLiteral("lbError"));
    lbError->setWordWrap(true);
    lbError->setStyleSheet(QStringLiteral("color: #c00000"));
    layout->addWidget(lbError);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &TAlarmDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TAlarmDialog::reject);
    connect(&core.Link(), &TLink::DisplayChanged, this, &TAlarmDialog::ShowReading);
    ShowReading();
}

QLineEdit* TAlarmDialog::Field(Setting id) const {
    for (const auto& [key, edit] : Fields_)
        if (key == id)
            return edit;
    return nullptr;
}

void TAlarmDialog::ShowReading() {
    const TLink& link = Core_.Link();
    if (!link.Live()) {
        lbReading->setText(QStringLiteral("Reading: none yet"));
        return;
    }
    // As the fields would calibrate it; the calibration in force while
    // they hold no number.
    const auto number = [](QLineEdit* edit, double fallback) {
        QString t = edit->text().trimmed();
        t.replace(u',', u'.');
        bool ok = false;
        const double v = t.toDouble(&ok);
        return ok ? v : t.isEmpty() ? fallback : std::nan("");
    };
    const double gain = number(Field(Setting::DataGain), 1);
    const double offset = number(Field(Setting::DataOffset), 0);
    const long double raw = link.RawTemperature();
    lbReading->setText(std::isfinite(gain) && std::isfinite(offset)
                           ? QStringLiteral("Reading: %1 from the thermometer, %2 calibrated")
                                 .arg(Celsius(raw), Celsius(gain * raw + offset))
                           : QStringLiteral("Reading: %1 from the thermometer").arg(Celsius(raw)));
}

void TAlarmDialog::accept() {
    QList<std::pair<Setting, QString>> given;
    for (const auto& [id, edit] : Fields_)
        if (id != Setting::AlarmClearDelay || !edit->text().trimmed().isEmpty())
            given.append({id, edit->text().trimmed()});
    const QStringList problems = Core_.Settings().CheckValues(given);
    if (!problems.isEmpty()) {
        lbError->setText(problems.front());
        for (const auto& [id, edit] : Fields_)
            if (problems.front().startsWith(TSettingsModel::NameOf(id) + u':'))
                edit->setFocus();
        return;
    }
    lbError->clear();
    TSettingsModel& settings = Core_.Settings();
    for (const auto& [id, text] : given) {
        if (DefOf(id).Type == SettingType::Integer)
            settings.SetInteger(id, text.toInt());
        else
            settings.SetText(id, text);
    }
    // An emptied clear delay follows the delay (the model cannot unset a key).
    if (Field(Setting::AlarmClearDelay)->text().trimmed().isEmpty() &&
        settings.Has(Setting::AlarmClearDelay))
        settings.SetInteger(Setting::AlarmClearDelay, settings.Integer(Setting::AlarmDelay));
    QDialog::accept();
}
