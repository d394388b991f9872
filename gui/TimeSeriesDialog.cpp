#include "gui/TimeSeriesDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

TTimeSeriesLamp::TTimeSeriesLamp(QWidget* parent) : TStateShape(parent) {
    setFixedSize(sizeHint());
    SetState(TimeSeriesState::Off);
}

void TTimeSeriesLamp::SetState(TimeSeriesState state) {
    switch (state) {
    case TimeSeriesState::Sending:
        SetBrushColor(0x008000); // green
        break;
    case TimeSeriesState::Backlog:
        SetBrushColor(0x00C0FF); // yellow
        break;
    case TimeSeriesState::Failed:
        SetBrushColor(0x0000FF); // red
        break;
    case TimeSeriesState::Off:
        SetBrushColor(0x808080); // grey
        break;
    }
}

TTimeSeriesDialog::TTimeSeriesDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("fTimeSeries"));
    setWindowTitle(QStringLiteral("Time series"));
    edUrl = new QLineEdit(this);
    edUrl->setPlaceholderText(QStringLiteral("http://host:8086/write?db=home"));
    edToken = new QLineEdit(this);
    edToken->setEchoMode(QLineEdit::Password);
    edMeasurement = new QLineEdit(this);
    edMeasurement->setPlaceholderText(QStringLiteral("temperature"));
    seLimit = new QSpinBox(this);
    seLimit->setRange(1, 1024 * 1024);
    seLimit->setSuffix(QStringLiteral(" MB"));
    shState = new TTimeSeriesLamp(this);
    lbState = new QLabel(this);
    lbState->setWordWrap(true);
    lbError = new QLabel(this);
    lbError->setWordWrap(true);
    lbError->setStyleSheet(QStringLiteral("color: #c00000"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Write URL:"), edUrl);
    form->addRow(QStringLiteral("Token:"), edToken);
    form->addRow(QStringLiteral("Measurement:"), edMeasurement);
    form->addRow(QStringLiteral("Backlog limit:"), seLimit);
    auto* state = new QHBoxLayout;
    state->addWidget(shState);
    state->addWidget(lbState, 1);
    auto* buttons = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    bApply = buttons->button(QDialogButtonBox::Apply);
    bApply->setVisible(false);
    connect(buttons, &QDialogButtonBox::accepted, this, &TTimeSeriesDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TTimeSeriesDialog::reject);
    connect(bApply, &QPushButton::clicked, this, [this] {
        if (OnApply && Validate())
            OnApply(Settings());
    });
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(state);
    layout->addWidget(lbError);
    layout->addWidget(buttons);
    setMinimumWidth(420);
    SetSettings({});
}

void TTimeSeriesDialog::SetSettings(const TimeSeriesSettings& settings) {
    edUrl->setText(settings.Url);
    edToken->setText(settings.Token);
    edMeasurement->setText(
        settings.Measurement == QLatin1String("temperature") ? QString() : settings.Measurement);
    seLimit->setValue(settings.SpoolLimitMB);
}

TimeSeriesSettings TTimeSeriesDialog::Settings() const {
    TimeSeriesSettings settings;
    settings.Url = edUrl->text().trimmed();
    settings.Token = edToken->text();
    const QString measurement = edMeasurement->text().trimmed();
    settings.Measurement = measurement.isEmpty() ? QStringLiteral("temperature") : measurement;
    settings.SpoolLimitMB = seLimit->value();
    return settings;
}

void TTimeSeriesDialog::Follow(TTimeSeries& output, std::function<QDateTime()> clock) {
    auto show = [this, &output, clock] {
        const TimeSeriesStatus status = output.Status();
        const QString text = TimeSeriesStatusText(status, clock());
        shState->SetState(status.State);
        shState->setToolTip(QStringLiteral("Time series: ") + text);
        lbState->setText(text);
    };
    show();
    connect(&output, &TTimeSeries::StatusChanged, this, show);
}

bool TTimeSeriesDialog::Validate() {
    const QStringList problems = TimeSeriesSettingsProblems(Settings());
    if (problems.isEmpty()) {
        lbError->clear();
        return true;
    }
    // "Key: sentence"; the key names the field to correct.
    const QString key = problems.front().section(u':', 0, 0);
    lbError->setText(problems.front().section(u':', 1).trimmed());
    (key == QLatin1String("URL")     ? edUrl
     : key == QLatin1String("Token") ? edToken
                                     : edMeasurement)
        ->setFocus();
    return false;
}

void TTimeSeriesDialog::accept() {
    if (Validate())
        QDialog::accept();
}
