#include "platform/Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <stdexcept>

namespace platform {

namespace {

[[noreturn]] void fail(const QString& what) {
    throw std::runtime_error(what.toStdString());
}

// The program as one quoted argument of an Exec key: inside the quotes '"',
// '`', '$' and '\' take a backslash, then the value's own escaping doubles
// every backslash, and a literal '%' is written "%%".
QString execValue(const QString& program) {
    QString quoted;
    for (const QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted.replace(u'\\', QStringLiteral("\\\\"));
    quoted.replace(u'%', QStringLiteral("%%"));
    return u'"' + quoted + u'"';
}

} // namespace

QString AutostartEntryPath() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/org.kelvox.Kelvox.desktop");
}

bool AutostartEnabled() {
    return QFileInfo::exists(AutostartEntryPath());
}

void SetAutostart(bool enabled, const QString& program) {
    const QString path = AutostartEntryPath();
    if (!enabled) {
        QFile entry(path);
        if (entry.exists() && !entry.remove())
            fail(QStringLiteral("Cannot remove \"%1\". %2").arg(path, entry.errorString()));
        return;
    }
    // A line end in the path would end the key and start another.
    if (QDir::isRelativePath(program) || program.contains(u'\n') || program.contains(u'\r'))
        fail(QStringLiteral("Cannot start \"%1\" with the desktop session").arg(program));
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        fail(QStringLiteral("Cannot create the folder of \"%1\".").arg(path));
    const QByteArray text = QStringLiteral("[Desktop Entry]\n"
                                           "Type=Application\n"
                                           "Name=Kelvox\n"
                                           "Comment=Serial thermometer in the notification area\n"
                                           "Exec=%1\n"
                                           "Icon=org.kelvox.Kelvox\n"
                                           "Terminal=false\n"
                                           "X-GNOME-Autostart-enabled=true\n")
                                .arg(execValue(program))
                                .toUtf8();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        fail(QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
}

} // namespace platform
