// The temperature alarms: too high, too low and no readings ("stale"), each
// one episode at a time. A limit counts as crossed from the first reading
// beyond it until the value is back inside by the hysteresis (so a value
// hovering at the limit stays crossed); the alarm fires once it has been
// crossed for the delay, and clears once the value has stayed back inside
// by the hysteresis for the clear delay. A stale alarm fires when no valid
// reading came for its limit and clears with the next reading.
//
// Driven by the readings and by the core's clock: nothing ticks. A pending
// delay, clear delay or stale limit arms one single-shot deadline, which
// looks at the clock again when it fires. The alarms active at a stop are
// kept in a small state file of the application directory, so that the
// next start knows them: no second alarm for that episode, and its clear
// still comes (and says how long the whole episode lasted).
//
// Main thread only.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <array>
#include <functional>
#include <optional>

enum class AlarmKind { Ok, High, Low, Stale };

// "ok", "high", "low", "stale": the word of MQTT's <Topic>/alarm and of the
// command's KELVOX_ALARM.
QString AlarmWord(AlarmKind kind);
// Every word, in the order above (the options of Home Assistant's enum).
QStringList AlarmWords();

// The [Alarm] section's values, taken apart.
struct AlarmConfig {
    std::optional<double> High; // °C; none: off
    std::optional<double> Low;  // °C; none: off
    double Hysteresis = 0.5;    // °C
    int DelaySec = 60;          // crossed this long before the alarm fires
    int ClearDelaySec = 60;     // back inside this long before it clears
    int StaleSec = 0;           // no valid reading this long: stale (0: off)

    bool operator==(const AlarmConfig&) const = default;
};

// One alarm that began or ended, as everything that tells a person takes it.
struct AlarmChange {
    AlarmKind Kind = AlarmKind::Ok;  // the alarm that began or ended
    bool Active = false;             // began (true) or ended
    bool SwitchedOff = false;        // ended because its limit was switched off
    double Temperature = 0;          // the reading that decided (none: NaN)
    double Limit = 0;                // °C; for a stale alarm its seconds
    QDateTime Since;                 // when the episode began
    QDateTime When;                  // when it began or ended
    AlarmKind State = AlarmKind::Ok; // the state after the change
};

// The event log line of a change:
// "ERR  Temperature high: 27.3°C, limit 27.0°C",
// "OK  Temperature back in range: 26.4°C, after 1 h 12 min".
QString AlarmLogLine(const AlarmChange& change);
// A short text of a duration: "45 s", "12 min", "1 h 12 min", "2 d 3 h".
QString AlarmDuration(qint64 seconds);
// What is active, for a tooltip or a status line: "temperature high since
// 10:15:00"; empty when nothing is.
QString AlarmSummary(const AlarmChange& active);

class TAlarm : public QObject {
    Q_OBJECT
public:
    // statePath: the file that keeps the active alarms across a restart.
    TAlarm(std::function<QDateTime()> clock, QString statePath, QObject* parent = nullptr);

    // Reads the state file: the alarms active at the last stop are active
    // again, without a change being signalled (StateChanged only). Returns
    // them, for the start's log line. Call before the first Configure.
    QList<AlarmChange> Restore();
    // Takes the limits, at start and at every change. An active alarm whose
    // limit is switched off ends (signalled); pending delays start over.
    void Configure(const AlarmConfig& config);
    const AlarmConfig& Config() const { return Config_; }

    // A valid (calibrated) reading taken at `when`.
    void Reading(double value, const QDateTime& when);

    // The state word: stale before high before low, ok when none is active.
    AlarmKind State() const;
    // The alarm of the state (Kind Ok when none is active).
    AlarmChange Current() const;

    // The one deadline: armed while a delay, a clear delay or a stale limit
    // is pending.
    QTimer* Deadline() { return &Deadline_; }
    // When the deadline is due by the clock (invalid: not armed).
    QDateTime Due() const { return Deadline_.isActive() ? Due_ : QDateTime(); }
    // The deadline fired: acts on what is due by the clock now.
    void OnDeadline();

signals:
    // An alarm began or ended.
    void Changed(const AlarmChange& change);
    // State() changed (also by Restore).
    void StateChanged(AlarmKind state);
    // A line for the event log (the state file cannot be written).
    void LogLine(const QString& line);

private:
    struct Episode {
        bool Active = false;
        QDateTime Since;  // active: when the limit was first crossed
        double Value = 0; // active: the reading it fired on
        double Limit = 0;
        QDateTime Pending; // crossed since (inactive) / back inside since (active)
        double PendingValue = 0;
    };
    Episode& Of(AlarmKind kind) { return Episodes_[static_cast<int>(kind)]; }
    const Episode& Of(AlarmKind kind) const { return Episodes_[static_cast<int>(kind)]; }
    // Moves a limit's episode on by one reading.
    void Track(AlarmKind kind, double value, const QDateTime& when);
    // Fires and clears what is due at `now`, then arms the deadline.
    void Evaluate(const QDateTime& now);
    void Begin(AlarmKind kind, double value, double limit, const QDateTime& since,
               const QDateTime& now);
    void End(AlarmKind kind, double value, const QDateTime& now, bool switchedOff);
    void Arm(const QDateTime& now);
    void Save();

    std::function<QDateTime()> Clock_;
    QString StatePath_;
    AlarmConfig Config_;
    bool Configured_ = false;
    std::array<Episode, 4> Episodes_; // indexed by AlarmKind (Ok unused)
    QDateTime LastValid_;             // the last valid reading, or the start
    QTimer Deadline_;
    QDateTime Due_;
    AlarmKind Reported_ = AlarmKind::Ok; // the state last signalled
    bool SaveFailed_ = false;            // said once until a save works
};
