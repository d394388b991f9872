// The program without its windows: the settings model, the event log, the
// serial link, the upload, the temperature history, and the start and the
// close that tie them together. The windows are views of it (they show its
// state, edit its settings and forward their handlers to it); the headless
// program runs it alone on a QCoreApplication.
//
// One instance per run, created by RunProgram (core/Program.h) after the
// application object.
// Main thread only.
#pragma once

#include "core/Alarm.h"
#include "core/AlarmCommand.h"
#include "core/EventLog.h"
#include "core/Link.h"
#include "core/MqttPublisher.h"
#include "core/Settings.h"
#include "core/TemperatureHistory.h"
#include "core/TimeSeries.h"
#include "core/Upload.h"
#include "platform/AppPaths.h"

#include <QDateTime>
#include <QObject>
#include <functional>

// What the core is given when it is built, so that tests can build it with
// their own parts. Empty members take the real ones.
struct CoreDeps {
    std::function<QDateTime()> Clock;   // the wall clock
    TUploader::Fetcher Fetch;           // the HTTP GET of the upload
    int MinuteMs = 0;                   // one period minute (0: KELVOX_MINUTE_MS or 60000)
    platform::AppPaths Paths;           // the program's files, as main() looked them up
    TUploader::Fetcher TimeSeriesFetch; // the time-series output's POSTs (its own)
    bool Headless = false;              // no windows: their keys are not filled in
};

struct HeardPort;

class TKelvoxCore : public QObject {
    Q_OBJECT
public:
    // deps.Paths must name the application directory.
    explicit TKelvoxCore(CoreDeps deps, QObject* parent = nullptr);
    ~TKelvoxCore() override;

    TSettingsModel& Settings() { return Settings_; }
    TEventLog& Log() { return Log_; }
    TLink& Link() { return *Link_; }
    TUploader& Upload() { return *Upload_; }
    TemperatureHistory& History() { return *History_; }
    TMqttPublisher& Mqtt() { return *Mqtt_; }
    TAlarm& Alarm() { return *Alarm_; }
    TAlarmCommand& AlarmCommand() { return *Command_; }
    // The [Alarm] settings of the model.
    AlarmConfig AlarmConfigNow() const;
    TTimeSeries& TimeSeries() { return *TimeSeries_; }
    const platform::AppPaths& Paths() const { return Paths_; }
    // The core's clock.
    QDateTime Now() const { return Clock_(); }
    // The [MQTT] settings of the model.
    MqttSettings MqttSettingsNow() const;
    void SetMqttSettings(const MqttSettings& settings);
    // The [TimeSeries] settings of the model.
    TimeSeriesSettings TimeSeriesSettingsNow() const;
    void SetTimeSeriesSettings(const TimeSeriesSettings& settings);

    // Reads kelvox.ini into the settings (a file that exists but cannot be
    // read is reported in a message and left alone; the defaults serve),
    // takes its [Ports] table, and applies the values: port number, upload
    // period, and the automatic connect. Throws std::runtime_error naming
    // the file, line and key of a value that cannot be used.
    void Start();

    // Remembers the port found by a search under its stable name: writes
    // "[Ports] COM<n>=<name>" into kelvox.ini in one replacement that keeps
    // everything else, takes the new port table and emits PortsChanged.
    // Nothing when the port offers no such name. Throws std::runtime_error
    // when the file cannot be written.
    void RememberStableName(const HeardPort& port);

    // Writes the changed settings to kelvox.ini in one replacement. Throws
    // std::runtime_error when it cannot be written. A key also edited on
    // disk meanwhile gets the program's value and an event log line.
    void SaveSettings();

    // Reads kelvox.ini again and applies it at once: target URL, period
    // (a changed one makes the next send due one new period after the last
    // one), check boxes, [Ports], [MQTT] and COM (an open port is closed and
    // reopened only when the device it names changed; a closed one is opened
    // when it changed and AutoConnect is on). A file that cannot be read or
    // holds a value that cannot be used changes nothing; the problems go to
    // the event log. Empty when the settings were taken, else the first
    // problem ("kelvox.ini line 7, [Data] AutoConnect: ...").
    QString Reload();

    // The close: no send starts any more, the settings and the event log are
    // saved (each on its own, a failure of one does not stop the other),
    // then Closed is emitted. Failures are shown in a message, or, when
    // `quiet` (a close that a signal asked for: nobody may be there to
    // answer a box), written to standard error and the event log. Once.
    void Close(bool quiet);
    bool Closing() const { return Closing_; }
    // True when the close could not save the settings or the event log.
    bool SaveFailedAtClose() const { return SaveFailedAtClose_; }

signals:
    // The settings were read and applied (the windows take their place and
    // check boxes from the model now).
    void Loaded();
    // The table of mapped ports was replaced (the port list is stale).
    void PortsChanged();
    // Before the settings are written: the windows put their geometry into
    // the model.
    void AboutToSave();
    // The close begins (nothing has been saved yet).
    void CloseStarted();
    // The close has saved what it could: the cue to leave the event loop.
    void Closed();

private:
    // After the settings were read (at start, or by a reload): the upload
    // period, MQTT, and the views.
    void ApplyLoaded(bool reload);
    void ReportCloseFailure(bool quiet, std::exception_ptr error);
    // Gives the link its calibration and the alarm its limits and command
    // (at start, at a reload and when the options change them).
    void ApplyAlarmSettings();

    std::function<QDateTime()> Clock_;
    platform::AppPaths Paths_;
    TSettingsModel Settings_;
    TEventLog Log_;
    TLink* Link_ = nullptr;
    TUploader* Upload_ = nullptr;
    TemperatureHistory* History_ = nullptr;
    TMqttPublisher* Mqtt_ = nullptr;
    TAlarm* Alarm_ = nullptr;
    TAlarmCommand* Command_ = nullptr;
    bool Applied_ = false; // the settings were applied once
    QString Calibration_;  // the calibration's text in force
    TTimeSeries* TimeSeries_ = nullptr;
    bool Closing_ = false;
    bool SaveFailedAtClose_ = false;
};
