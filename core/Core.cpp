#include "core/Core.h"

#include "core/NetModule.h"
#include "core/PortSearch.h"

#include "platform/AppPaths.h"
#include "platform/Clock.h"
#include "platform/IniFile.h"
#include "platform/MessageBox.h"
#include "platform/OutputEcho.h"
#include "platform/PortMap.h"
#include "platform/PortNames.h"
#include "serial/AfComPort.h"

#include <QFile>
#include <QSysInfo>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace {

std::function<QDateTime()> clockOf(const CoreDeps& deps) {
    if (deps.Clock)
        return deps.Clock;
    return [] { return platform::Now(); };
}

} // namespace

TKelvoxCore::TKelvoxCore(CoreDeps deps, QObject* parent)
    : QObject(parent), Clock_(clockOf(deps)), Paths_(std::move(deps.Paths)), Log_(Paths_, Clock_) {
    setObjectName(QStringLiteral("Core"));
    if (Paths_.Dir.isEmpty())
        throw std::invalid_argument("the core needs the application directory");
    Settings_.SetWindowless(deps.Headless);
    Link_ = new TLink(Settings_, Log_, Clock_, this);
    TUploader::Fetcher fetch = deps.Fetch;
    if (!fetch)
        fetch = NewModuleFetcher();
    const int minuteMs = deps.MinuteMs > 0 ? deps.MinuteMs : platform::MinuteMs();
    Upload_ =
        new TUploader(Settings_, Log_, *Link_, std::move(fetch), minuteMs, Paths_, Clock_, this);

    // Every converted reading goes into the history; the end of the live
    // reading (a failed line, silence, a closed port) breaks its line.
    History_ = new TemperatureHistory(this);
    connect(Link_, &TLink::Reading, History_, [this](long double value, const QDateTime& when) {
        History_->AddReading(when.toMSecsSinceEpoch(), static_cast<double>(value));
    });
    connect(Link_, &TLink::ReadingLost, History_, &TemperatureHistory::BreakLine);
    connect(Link_, &TLink::LiveChanged, History_, [this](bool live) {
        if (!live)
            History_->BreakLine();
    });

    // MQTT is one more consumer of the readings, beside the upload.
    Mqtt_ = new TMqttPublisher(this);
    // Whether a reading is live is the link's to say, never the value's.
    connect(Link_, &TLink::Reading, Mqtt_, &TMqttPublisher::Reading);
    connect(Link_, &TLink::LiveChanged, Mqtt_, [this](bool live) {
        if (!live)
            Mqtt_->ReadingLost();
    });
    connect(Link_, &TLink::StateChanged, Mqtt_, &TMqttPublisher::SetLinkState);
    Mqtt_->SetLinkState(Link_->State());
    connect(Mqtt_, &TMqttPublisher::LogLine, &Log_, &TEventLog::Add);

    // The alarms take the readings as every other part does, calibrated.
    Alarm_ = new TAlarm(Clock_, Paths_.Dir + QStringLiteral("/kelvox.alarm"), this);
    Command_ = new TAlarmCommand(this);
    connect(Link_, &TLink::Reading, Alarm_, [this](long double value, const QDateTime& when) {
        Alarm_->Reading(static_cast<double>(value), when);
    });
    connect(Alarm_, &TAlarm::Changed, this, [this](const AlarmChange& change) {
        Log_.Add(AlarmLogLine(change));
        Command_->Run(change);
    });
    connect(Alarm_, &TAlarm::LogLine, &Log_, &TEventLog::Add);
    connect(Alarm_, &TAlarm::StateChanged, Mqtt_,
            [this](AlarmKind state) { Mqtt_->SetAlarmState(AlarmWord(state)); });
    Mqtt_->SetAlarmState(AlarmWord(Alarm_->State()));
    connect(Command_, &TAlarmCommand::LogLine, &Log_, &TEventLog::Add);
    // The options dialog changes the model directly.
    connect(&Settings_, &TSettingsModel::Changed, this, [this](Setting id) {
        if (Applied_ && (id >= Setting::AlarmHigh && id <= Setting::DataGain))
            ApplyAlarmSettings();
    });

    // The time-series output takes every reading, with its own fetcher.
    TUploader::Fetcher seriesFetch = deps.TimeSeriesFetch;
    if (!seriesFetch)
        seriesFetch = NewModuleFetcher();
    TimeSeries_ =
        new TTimeSeries(Log_, std::move(seriesFetch), Paths_.Dir + QStringLiteral("/backlog"),
                        QSysInfo::machineHostName(), InstanceName(), Clock_, this);
    connect(Link_, &TLink::Reading, TimeSeries_, &TTimeSeries::Reading);
    connect(TimeSeries_, &TTimeSeries::StatusChanged, Mqtt_, [this] {
        const TimeSeriesStatus status = TimeSeries_->Status();
        Mqtt_->SetBacklog(status.State == TimeSeriesState::Off ? std::nullopt
                                                               : std::optional(status.Backlog));
    });
}

AlarmConfig TKelvoxCore::AlarmConfigNow() const {
    AlarmConfig c;
    c.High = Settings_.Decimal(Setting::AlarmHigh);
    c.Low = Settings_.Decimal(Setting::AlarmLow);
    if (c.High && c.Low && *c.Low >= *c.High)
        c.Low.reset(); // the check of the settings says so
    c.Hysteresis = Settings_.Decimal(Setting::AlarmHysteresis).value_or(0.5);
    c.DelaySec = Settings_.Integer(Setting::AlarmDelay);
    c.ClearDelaySec = Settings_.Has(Setting::AlarmClearDelay)
                          ? Settings_.Integer(Setting::AlarmClearDelay)
                          : c.DelaySec;
    c.StaleSec = Settings_.Integer(Setting::AlarmStale);
    return c;
}

void TKelvoxCore::ApplyAlarmSettings() {
    const double gain = Settings_.Decimal(Setting::DataGain).value_or(1);
    const double offset = Settings_.Decimal(Setting::DataOffset).value_or(0);
    Link_->SetCalibration(gain, offset);
    // Said at start when it is not the identity, and at every change.
    const QString calibration =
        gain == 1 && offset == 0 ? QString()
                                 : QStringLiteral("temperature = %1 \u00D7 reading %2 %3\u00B0C")
                                       .arg(QString::number(gain, 'g', 6),
                                            offset < 0 ? QStringLiteral("-") : QStringLiteral("+"),
                                            QString::number(std::abs(offset), 'g', 6));
    if (calibration != Calibration_ || (!Applied_ && !calibration.isEmpty()))
        Log_.Add(calibration.isEmpty()
                     ? QStringLiteral("OK  Calibration off: the readings as the "
                                      "thermometer sends them")
                     : QStringLiteral("OK  Calibration in force: ") + calibration);
    Calibration_ = calibration;
    Command_->SetCommand(Settings_.Text(Setting::AlarmCommand));
    Alarm_->Configure(AlarmConfigNow());
    Applied_ = true;
}

TimeSeriesSettings TKelvoxCore::TimeSeriesSettingsNow() const {
    TimeSeriesSettings series;
    series.Url = Settings_.Text(Setting::TimeSeriesURL);
    series.Token = Settings_.Text(Setting::TimeSeriesToken);
    series.Measurement = Settings_.Text(Setting::TimeSeriesMeasurement);
    series.SpoolLimitMB = Settings_.Integer(Setting::TimeSeriesSpoolLimitMB);
    return series;
}

void TKelvoxCore::SetTimeSeriesSettings(const TimeSeriesSettings& series) {
    Settings_.SetText(Setting::TimeSeriesURL, series.Url);
    Settings_.SetText(Setting::TimeSeriesToken, series.Token);
    Settings_.SetText(Setting::TimeSeriesMeasurement, series.Measurement);
    Settings_.SetInteger(Setting::TimeSeriesSpoolLimitMB, series.SpoolLimitMB);
    TimeSeries_->Apply(TimeSeriesSettingsNow());
}

MqttSettings TKelvoxCore::MqttSettingsNow() const {
    MqttSettings mqtt;
    mqtt.Broker = Settings_.Text(Setting::MqttBroker);
    mqtt.User = Settings_.Text(Setting::MqttUser);
    mqtt.Password = Settings_.Text(Setting::MqttPassword);
    mqtt.Topic = Settings_.Text(Setting::MqttTopic);
    mqtt.Discovery = Settings_.Check(Setting::MqttDiscovery);
    mqtt.DiscoveryPrefix = Settings_.Text(Setting::MqttDiscoveryPrefix);
    return mqtt;
}

void TKelvoxCore::SetMqttSettings(const MqttSettings& mqtt) {
    Settings_.SetText(Setting::MqttBroker, mqtt.Broker);
    Settings_.SetText(Setting::MqttUser, mqtt.User);
    Settings_.SetText(Setting::MqttPassword, mqtt.Password);
    Settings_.SetText(Setting::MqttTopic, mqtt.Topic);
    Settings_.SetCheck(Setting::MqttDiscovery, mqtt.Discovery);
    Settings_.SetText(Setting::MqttDiscoveryPrefix, mqtt.DiscoveryPrefix);
    Mqtt_->Apply(mqtt);
}

TKelvoxCore::~TKelvoxCore() {
    // The link's port first: its handlers log and use the history.
    delete Link_;
    Link_ = nullptr;
}

void TKelvoxCore::Start() {
    const platform::IniFile ini(Paths_.IniPath());
    if (!ini.ReadError().isEmpty()) {
        platform::MessageRequest warning;
        warning.Text =
            ini.ReadError() + QStringLiteral(" The program starts with default settings and leaves "
                                             "the file as it is.");
        warning.Caption = platform::ApplicationTitle();
        warning.Icon = platform::MsgIcon::Warning;
        platform::ShowMessage(warning);
    }

    // Mapped ports first: the port number read below may be one of them.
    std::map<int, std::string> mapped = platform::ReadMappedPorts(ini);
    const bool anyMapped = !mapped.empty();
    platform::SetMappedPorts(std::move(mapped));
    if (anyMapped)
        emit PortsChanged();

    const QList<SettingProblem> problems = Settings_.Load(ini);
    if (AnyRefused(problems)) {
        QStringList texts;
        for (const SettingProblem& problem : problems)
            texts << problem.Text;
        throw std::runtime_error(texts.join(u'\n').toStdString());
    }
    // What a start takes in place of the file's text is said, as --check
    // and a reload say it.
    for (const SettingProblem& problem : problems)
        Log_.Add(QStringLiteral("ERR  ") + problem.Text + u'.');
    // Before the limits are applied: an alarm of the last run whose limit
    // is still set goes on without a second alarm.
    for (const AlarmChange& active : Alarm_->Restore())
        Log_.Add(QStringLiteral("ERR  Alarm from the last run still active: %1")
                     .arg(AlarmSummary(active)));
    // The port is closed here, so the number is only stored.
    Link_->SetComNumber(Settings_.Integer(Setting::COM));
    Link_->LookAtPort();
    ApplyLoaded(/*reload=*/false);
    // After "Reconnect automatically" is known: with it on, a port that is
    // not there yet is a failed open that is retried, not a question.
    if (Settings_.Check(Setting::AutoConnect))
        Link_->Toggle(TLink::Caller::Program);
}

QString TKelvoxCore::Reload() {
    platform::RefreshTimeZone(); // a reload is also the cue for a changed zone
    const platform::IniFile ini(Paths_.IniPath());
    const int oldNumber = Link_->ComNumber();
    const std::string oldDevice = platform::ComPortPath(oldNumber);
    // All or nothing: a value that cannot be used leaves every setting as
    // it was, the port table included.
    QList<SettingProblem> problems;
    if (!ini.ReadError().isEmpty()) {
        problems.append({ini.ReadError(), /*Refused=*/true});
    } else {
        // A changed period keeps the rhythm of the sends.
        Upload_->SetReloading(true);
        problems = Settings_.Load(ini);
        Upload_->SetReloading(false);
    }
    if (AnyRefused(problems)) {
        QString first;
        for (const SettingProblem& problem : problems) {
            Log_.Add(QStringLiteral("ERR  ") + problem.Text +
                     (problem.Text.endsWith(u'.') ? QStringLiteral(" ") : QStringLiteral(". ")) +
                     QStringLiteral("The settings stay as they were."));
            if (problem.Refused && first.isEmpty())
                first = problem.Text;
        }
        if (first.endsWith(u'.'))
            first.chop(1);
        return first;
    }
    // Taken, with what is used in place of each value that is not.
    for (const SettingProblem& problem : problems)
        Log_.Add(QStringLiteral("ERR  ") + problem.Text + u'.');
    platform::SetMappedPorts(platform::ReadMappedPorts(ini));
    emit PortsChanged();
    const int newNumber = Settings_.Integer(Setting::COM);
    const bool deviceChanged =
        newNumber != oldNumber || platform::ComPortPath(newNumber) != oldDevice;
    if (Link_->Open() && deviceChanged) {
        Link_->Port()->Close();
        Link_->SetComNumber(newNumber);
        Link_->LookAtPort();
        Link_->Reopen();
    } else if (!Link_->Open()) {
        Link_->SetComNumber(newNumber);
        Link_->LookAtPort();
        // A port named anew (say, by kelvox --find --save) is connected as
        // at start, instead of waiting for a restart.
        if (deviceChanged && Settings_.Check(Setting::AutoConnect))
            Link_->Reopen();
    }
    ApplyLoaded(/*reload=*/true);
    Log_.Add(QStringLiteral("OK  Settings reloaded."));
    return {};
}

void TKelvoxCore::ApplyLoaded(bool reload) {
    ApplyAlarmSettings();
    Upload_->ApplyPeriod(/*restart=*/!reload);
    Mqtt_->Apply(MqttSettingsNow());
    TimeSeries_->Apply(TimeSeriesSettingsNow());
    emit Loaded();
}

void TKelvoxCore::RememberStableName(const HeardPort& port) {
    if (!OffersStableName(port))
        return;
    SavePortFound(Paths_, port, /*asPort=*/false);
    emit PortsChanged();
}

void TKelvoxCore::SaveSettings() {
    emit AboutToSave();
    // The port chooser sets the port's number directly.
    Settings_.SetInteger(Setting::COM, Link_->ComNumber());
    Paths_.Restore();
    platform::IniFile ini(Paths_.IniPath());
    const QStringList both = Settings_.Save(ini);
    for (const QString& key : both)
        Log_.Add(QStringLiteral("ERR  %1 was also changed in the settings file; this program's "
                                "value was written over it.")
                     .arg(key));
}

void TKelvoxCore::ReportCloseFailure(bool quiet, std::exception_ptr error) {
    SaveFailedAtClose_ = true;
    if (!quiet) {
        platform::HandleApplicationException(error);
        return;
    }
    const QString text = platform::ExceptionText(error);
    Log_.Add(QStringLiteral("ERR  ") + text);
    std::fprintf(stderr, "%skelvox: %s\n", platform::ErrorPrefix().toLatin1().constData(),
                 text.toLocal8Bit().constData());
    std::fflush(stderr);
}

void TKelvoxCore::Close(bool quiet) {
    if (Closing_)
        return;
    Closing_ = true;
    emit CloseStarted();
    // No send may start from here on (a message box below runs a nested
    // event loop where the timer and a signal could ask for one).
    Upload_->Stop();
    // Readings not acknowledged yet go to the backlog, on the device.
    TimeSeries_->Stop();
    // Each step is guarded on its own: a settings file that cannot be
    // written must neither keep the event log from being saved nor keep the
    // program from ending.
    try {
        SaveSettings();
    } catch (...) {
        ReportCloseFailure(quiet, std::current_exception());
    }
    try {
        Log_.Flush(/*createToday=*/true);
    } catch (...) {
        ReportCloseFailure(quiet, std::current_exception());
    }
    emit Closed();
}
