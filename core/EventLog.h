// The event log: "<long time> >  <text>" lines, kept by the program's core
// and written to the day's file ("kelvox - <date>.log", CR LF line ends) within
// a second of being added, so that a kill, a crash or a power cut loses at
// most the last second, and memory does not grow with the run's length.
// Each line goes to the file of the day it was logged on; the runs of one
// day follow each other in the file. The window shows the lines and headless
// mode echoes them, both through LineAdded.
//
// Main thread only.
#pragma once

#include "platform/AppPaths.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <vector>

class TEventLog : public QObject {
    Q_OBJECT
public:
    // Lines that could not be written (a full disk) wait at most this many;
    // the oldest go first beyond it, except the line that says the log
    // cannot be written. One line in their place says how many went and
    // when they were logged.
    static constexpr std::size_t MaxPending = 10000;
    static constexpr int FlushDelayMs = 500;
    static constexpr int RetryDelayMs = 5000;

    // The day files go into paths' directory; clock stamps the lines.
    TEventLog(platform::AppPaths paths, std::function<QDateTime()> clock,
              QObject* parent = nullptr);

    // Adds one line now; its text is the line without the time stamp.
    void Add(const QString& text);

    // Appends every line not written yet to its day's file at once. With
    // createToday, today's file is created even when nothing waits (the
    // exit does so). Throws std::runtime_error naming the file when one
    // cannot be written; the lines stay waiting then.
    void Flush(bool createToday = false);

    std::size_t Pending() const { return Pending_.size(); }

signals:
    // One line was added: `line` as shown and written, `text` without time.
    void LineAdded(const QString& line, const QString& text);

private:
    enum class Kind { Plain, Outage, Lost };
    struct Entry {
        QDateTime When;
        QString Line;
        Kind Type = Kind::Plain;
        std::size_t Lost = 0; // Kind::Lost: how many lines it stands for, logged
        QDateTime LostUntil;  // from When until LostUntil
    };
    void Append(const QString& text, Kind kind);
    void DropOldest(); // makes room for one more line
    platform::AppPaths Paths_;
    std::function<QDateTime()> Clock_;
    std::vector<Entry> Pending_;
    QTimer FlushTimer_;
    bool FlushFailed_ = false;
};
