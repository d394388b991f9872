#include "app/TemperatureLog.h"

#include "platform/AppPaths.h"
#include "platform/Clock.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

QString TemperatureLogLine(const platform::FormatSettings& formats, const QDateTime& when,
                           long double temperature) {
    return formats.FormatShortDate(when) + u'\t' + formats.FormatLongTime(when) + u'\t' +
           formats.FormatTemperature(temperature);
}

bool AppendTemperatureLogLine(const QString& path, const QString& line) {
    const QByteArray bytes = line.toUtf8() + "\r\n";
    const QByteArray name = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    qsizetype done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += n;
    }
    if (::close(fd) != 0 && errno != EINTR)
        ok = false;
    return ok;
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
