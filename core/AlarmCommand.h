// The command of the [Alarm] section, run on every change of the alarm
// state: a program and its arguments, split as a shell would split them but
// run without one, with KELVOX_ALARM, KELVOX_TEMPERATURE, KELVOX_LIMIT and
// KELVOX_SINCE in its environment. Its output goes to the event log (a few
// lines of each run, so a chatty command cannot flood it). Nothing waits
// for it: the process runs beside the program and reports through the
// event loop. One run at a time: a change that comes while a run is under
// way is kept (the latest one only) and run once that run has ended, so
// the command always learns the state the program ends up in. A run that
// goes on for TimeLimitMs is ended.
//
// Main thread only.
#pragma once

#include "core/Alarm.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>
#include <optional>

// The words of a command line as a POSIX shell splits them: blanks
// separate, '...' is taken as it is, "..." and a backslash escape; nothing
// else of a shell (no variables, no globbing). Nothing, with *error set,
// for an unmatched quote.
std::optional<QStringList> SplitCommandLine(const QString& command, QString* error);

class TAlarmCommand : public QObject {
    Q_OBJECT
public:
    static constexpr int TimeLimitMs = 60000;
    // Output lines of one run that reach the event log, and their length.
    static constexpr int MaxLines = 20;
    static constexpr int MaxLineChars = 300;

    explicit TAlarmCommand(QObject* parent = nullptr);
    // A run still under way when the program ends is ended with it.
    ~TAlarmCommand() override;

    // The command line; empty: none.
    void SetCommand(const QString& command) { Command_ = command; }
    // Runs the command for this change (later, when a run is under way).
    void Run(const AlarmChange& change);
    bool Running() const { return Process_ != nullptr; }

signals:
    void LogLine(const QString& line);
    // A run ended (also one that could not start).
    void Finished();

private:
    void Start(const AlarmChange& change);
    void Output();
    void Done();

    QString Command_;
    QProcess* Process_ = nullptr;
    QString Program_;    // of the run under way, for its lines
    QByteArray Partial_; // output after its last line feed
    int Lines_ = 0;      // lines of this run logged
    int Dropped_ = 0;    // and not logged
    std::optional<AlarmChange> Next_;
    QTimer Limit_;
};
