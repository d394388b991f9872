// The daily temperature log: one line per send, appended to
// <application directory>/Temperature(<short date>).log with CR LF ends.
// Main thread (it reads the current formats).
#pragma once

#include "platform/AppPaths.h"
#include "platform/FormatSettings.h"

#include <QDateTime>
#include <QString>

// "<short date>\t<long time>\t<temperature text>" without a line end.
QString TemperatureLogLine(const platform::FormatSettings& formats, const QDateTime& when,
                           long double temperature);

// Appends line and CR LF to the file at path, creating the file when it is
// missing. The lines already there are never rewritten, and the line is
// appended whole or not at all (a full disk leaves no fragment). Returns
// false on any error, a path that is not a regular file included, with the
// cause in *error when given.
bool AppendTemperatureLogLine(const QString& path, const QString& line, QString* error = nullptr);

// Appends the line for temperature to the file of now's day in paths'
// directory; one clock reading, now, gives the file name, the date and the
// time (so a send at midnight does not put one day's date into the other
// day's file). Never raises: the log is a convenience and must never disturb
// the upload. Returns whether the line was written; when not, *failure (when
// given) names the file and the cause.
bool AppendToTemperatureLog(const platform::AppPaths& paths, const QDateTime& now,
                            long double temperature, QString* failure = nullptr);
