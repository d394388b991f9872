#include "platform/AppPaths.h"

#include "platform/FormatSettings.h"

#include <QDir>
#include <QFileInfo>
#include <limits>
#include <unistd.h>

namespace platform {
namespace {

QString executableDir() {
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    const QString target = exe.symLinkTarget();
    if (target.isEmpty())
        return {};
    return QFileInfo(target).absolutePath();
}

bool writableDir(const QString& dir) {
    return !dir.isEmpty() && ::access(QFile::encodeName(dir).constData(), W_OK | X_OK) == 0;
}

} // namespace

bool IsSystemLocation(const QString& dir) {
    const QString clean = QDir::cleanPath(dir);
    for (const char* root : {"/usr", "/opt", "/bin"}) {
        const QString r = QString::fromLatin1(root);
        if (clean == r || clean.startsWith(r + u'/'))
            return true;
    }
    return false;
}

QString AppDir(bool create) {
    const QString home = qEnvironmentVariable("KELVOX_HOME");
    if (!home.isEmpty()) {
        const QString dir = QDir::cleanPath(QDir(home).absolutePath());
        if (create)
            QDir().mkpath(dir);
        return dir;
    }
    // Root may write to /usr/bin, yet an installed program must not keep its
    // settings and logs there; a portable copy keeps them beside itself.
    const QString exeDir = executableDir();
    if (writableDir(exeDir) && !IsSystemLocation(exeDir))
        return exeDir;
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty() || QDir::isRelativePath(data))
        data = QDir::homePath() + QStringLiteral("/.local/share");
    const QString dir = QDir::cleanPath(data + QStringLiteral("/kelvox"));
    if (create)
        QDir().mkpath(dir);
    return dir;
}

QString AppBaseName() {
    return QStringLiteral("kelvox");
}

AppPaths ResolveAppPaths(bool create) {
    return {AppDir(create)};
}

bool AppPaths::Restore() const {
    return !Dir.isEmpty() && !QFileInfo(Dir).isDir() && QDir().mkpath(Dir);
}

QString AppPaths::IniPath() const {
    return Dir + u'/' + AppBaseName() + QStringLiteral(".ini");
}

QString AppPaths::EventLogPath(const QDateTime& when) const {
    return Dir + u'/' + AppBaseName() + QStringLiteral(" - ") +
           FileSafeDate(FormatSettings::Current().FormatShortDate(when)) + QStringLiteral(".log");
}

QString AppPaths::TemperatureLogPath(const QDateTime& when) const {
    return Dir + QStringLiteral("/Temperature(") +
           FileSafeDate(FormatSettings::Current().FormatShortDate(when)) + QStringLiteral(").log");
}

int MinuteMs() {
    constexpr int kDefault = 60000;
    // The period field goes up to 100 minutes and the timer holds an int of
    // milliseconds, so a longer "minute" could not be represented.
    constexpr int kMax = std::numeric_limits<int>::max() / 100;
    bool ok = false;
    const int value = qEnvironmentVariableIntValue("KELVOX_MINUTE_MS", &ok);
    if (!ok || value < 1 || value > kMax)
        return kDefault;
    return value;
}

} // namespace platform
