#include "app/TemperatureLog.h"

#include "platform/AppPaths.h"
#include "platform/Clock.h"
#include "platform/FileStore.h"

QString TemperatureLogLine(const platform::FormatSettings& formats, const QDateTime& when,
                           long double temperature) {
    return formats.FormatShortDate(when) + u'\t' + formats.FormatLongTime(when) + u'\t' +
           formats.FormatTemperature(temperature);
}

bool AppendTemperatureLogLine(const QString& path, const QString& line) {
    QString error;
    return platform::AppendWhole(path, line.toUtf8() + "\r\n", &error);
}

bool AppendToTemperatureLog(long double temperature) {
    try {
        const QDateTime now = platform::Now();
        const auto& formats = platform::FormatSettings::Current();
        return AppendTemperatureLogLine(platform::TemperatureLogPath(now),
                                        TemperatureLogLine(formats, now, temperature));
    } catch (...) {
        return false;
    }
}
