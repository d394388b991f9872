// Reads the daily temperature logs back, to fill the history chart with the
// days before the program started. Tolerant: a line that does not read as
// "<date>\t<time>\t<temperature>" of its file's day is skipped. Main thread
// (it uses the current formats, whose names come from the process locale).
#pragma once

#include "app/TemperatureHistory.h"
#include "platform/FormatSettings.h"

#include <QDate>
#include <QDateTime>
#include <QString>
#include <vector>

// The readings in one day's file, in file order. A line counts when its date
// is the day's date text, its time reads with the long time format and its
// temperature converts (written with either decimal separator, as a log may
// outlive a change of locale). A missing, unreadable or non-regular file
// yields nothing; a FIFO in its place is never waited on.
std::vector<HistorySample> ReadTemperatureLogDay(const QString& path, const QDate& day,
                                                 const platform::FormatSettings& formats);

// The readings of the `days` days up to now from the day files in the
// application directory, in time order, none older than `days` x 24 hours
// and none after now.
std::vector<HistorySample> ReadTemperatureLogs(const QDateTime& now, int days);
