// The daily temperature log: one line per send, appended to
// <application directory>/Temperature(<short date>).log with CR LF ends.
// Main thread (it reads the replaceable clock and the current formats).
#pragma once

#include "platform/FormatSettings.h"

#include <QDateTime>
#include <QString>

// "<short date>\t<long time>\t<temperature text>" without a line end.
QString TemperatureLogLine(const platform::FormatSettings& formats, const QDateTime& when,
                           long double temperature);

// Appends line and CR LF to the file at path, creating the file when it is
// missing. The line goes out in one write on a file opened for appending, so
// the lines already there are never rewritten and a concurrent reader sees
// either the whole line or none of it. Returns false on any error.
bool AppendTemperatureLogLine(const QString& path, const QString& line);

// Appends the line for temperature to today's file, with one clock reading
// for the file name, the date and the time (so a send at midnight does not
// put one day's date into the other day's file). Errors are swallowed: the
// log is a convenience and must never disturb the upload. Returns whether
// the line was written, for tests.
bool AppendToTemperatureLog(long double temperature);
