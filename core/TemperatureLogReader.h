// Reads the daily temperature logs back, to fill the history chart with the
// days before the program started. Tolerant: a line that does not read as
// "<date>\t<time>\t<temperature>" of its file's day is skipped. Bounded: a
// day file bigger than any real day's log (a foreign or damaged file) is
// read only in its last kTailBytes, and no line costs a time-zone lookup, so
// a week of such files takes well under a second. The query functions touch
// no global state and may run on any thread.
#pragma once

#include "platform/FormatSettings.h"

#include <QDate>
#include <QDateTime>
#include <QString>
#include <atomic>
#include <cstdint>
#include <vector>

// A reading with its time, as read back from a temperature log.
struct HistorySample {
    std::int64_t MSecs = 0; // since the epoch
    double Value = 0;
};

// A day at one send a second makes about 2 MB of lines.
constexpr std::int64_t kTemperatureLogTailBytes = 4 << 20;

// Where and what to read; filled on the main thread (the formats are a copy
// of the program's current ones), then handed to any thread.
struct TemperatureLogQuery {
    QString Dir; // the application directory
    QDateTime Now;
    int Days = 7;
    platform::FormatSettings Formats;
};

// The readings in one day's file, in file order. A line counts when its date
// is the day's date text, its time reads with the long time format (or as
// H:MM:SS) and its temperature converts (written with either decimal
// separator, as a log may outlive a change of locale). A missing, unreadable
// or non-regular file yields nothing; a FIFO in its place is never waited on.
std::vector<HistorySample> ReadTemperatureLogDay(const QString& path, const QDate& day,
                                                 const platform::FormatSettings& formats);

// The readings of the query's days up to Now from the day files in Dir, in
// time order, none older than Days x 24 hours and none after Now. Stops
// early with what it has when *cancel turns true.
std::vector<HistorySample> ReadTemperatureLogs(const TemperatureLogQuery& query,
                                               const std::atomic<bool>* cancel = nullptr);
