#include "core/TemperatureLog.h"

#include "platform/FileStore.h"

#include <exception>

QString TemperatureLogLine(const platform::FormatSettings& formats, const QDateTime& when,
                           long double temperature) {
    return formats.FormatShortDate(when) + u'\t' + formats.FormatLongTime(when) + u'\t' +
           formats.FormatTemperature(temperature);
}

bool AppendTemperatureLogLine(const QString& path, const QString& line, QString* error) {
    QString cause;
    const bool ok = platform::AppendWhole(path, line.toUtf8() + "\r\n", &cause);
    if (!ok && error)
        *error = cause;
    return ok;
}

bool AppendToTemperatureLog(const platform::AppPaths& paths, const QDateTime& now,
                            long double temperature, QString* failure) {
    QString path;
    QString cause;
    try {
        const auto& formats = platform::FormatSettings::Current();
        path = paths.TemperatureLogPath(now);
        const QString line = TemperatureLogLine(formats, now, temperature);
        if (AppendTemperatureLogLine(path, line, &cause) ||
            (paths.Restore() && AppendTemperatureLogLine(path, line, &cause)))
            return true;
    } catch (const std::exception& e) {
        cause = QString::fromLocal8Bit(e.what());
    } catch (...) {
        cause = QStringLiteral("unknown error");
    }
    if (failure)
        *failure = path.isEmpty() ? cause : path + QStringLiteral(": ") + cause;
    return false;
}
