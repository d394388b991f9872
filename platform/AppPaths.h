// Where the program keeps its files.
//
// The application directory is KELVOX_HOME when that is set, else the
// directory of the running executable when it is writable and not a system
// location (a portable copy), else $XDG_DATA_HOME/kelvox
// (~/.local/share/kelvox). It is looked up on every call (cheap), so tests
// may point KELVOX_HOME elsewhere between cases, and it is created when
// missing. Any thread.
#pragma once

#include <QDateTime>
#include <QString>

namespace platform {

// No trailing separator. Without create, a missing directory is only named.
QString AppDir(bool create = true);
// True for /usr, /opt and /bin and every directory below them (/usr/local
// included): places of installed programs, never of their data.
bool IsSystemLocation(const QString& dir);
QString AppBaseName(); // "kelvox"
QString IniPath();     // <AppDir>/kelvox.ini
// <AppDir>/kelvox - <file-safe short date>.log
QString EventLogPath(const QDateTime& when);
// <AppDir>/Temperature(<file-safe short date>).log
QString TemperatureLogPath(const QDateTime& when);

// Length of one "minute" of the upload period in milliseconds:
// KELVOX_MINUTE_MS when it holds a positive integer, else 60000.
int MinuteMs();

} // namespace platform
