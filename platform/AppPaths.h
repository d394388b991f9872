// Where the program keeps its files.
//
// The application directory is KELVOX_HOME when that is set, else the
// directory of the running executable when it is writable and not a system
// location (a portable copy), else $XDG_DATA_HOME/kelvox
// (~/.local/share/kelvox). The program looks it up once at start
// (ResolveAppPaths) and hands the result to whatever reads or writes its
// files, so that a flush neither reads the environment nor touches the
// directory. Any thread.
#pragma once

#include <QDateTime>
#include <QString>

namespace platform {

// The application directory and the program's files in it. A value: any
// thread.
struct AppPaths {
    QString Dir; // no trailing separator

    QString IniPath() const; // <Dir>/kelvox.ini
    // <Dir>/kelvox - <file-safe short date>.log
    QString EventLogPath(const QDateTime& when) const;
    // <Dir>/Temperature(<file-safe short date>).log
    QString TemperatureLogPath(const QDateTime& when) const;
    // Makes the directory again when it went while the program runs (as at
    // start); true when it had to and could. A write that failed is worth
    // one more try then.
    bool Restore() const;
};

// Looks the application directory up now (the environment and the
// executable's place) and, with `create`, creates it when missing. main()
// does this once and hands the result down.
AppPaths ResolveAppPaths(bool create = true);

// No trailing separator. Without create, a missing directory is only named.
QString AppDir(bool create = true);
// True for /usr, /opt and /bin and every directory below them (/usr/local
// included): places of installed programs, never of their data.
bool IsSystemLocation(const QString& dir);
QString AppBaseName(); // "kelvox"

// Length of one "minute" of the upload period in milliseconds:
// KELVOX_MINUTE_MS when it holds an integer from 1 to INT_MAX / 100 (100
// minutes, the longest period, must fit the timer's int), else 60000.
int MinuteMs();

} // namespace platform
