#include "app/TemperatureLogReader.h"

#include "platform/AppPaths.h"
#include "platform/FileStore.h"

#include <QFile>
#include <QTime>
#include <algorithm>
#include <ctime>

namespace {

// Far more than a day of lines at one send a second; a bigger file is not a
// temperature log and only its start is read.
constexpr qsizetype kMaxFileBytes = 64 << 20;

bool readTime(const QString& text, const std::string& format, QTime& out) {
    const QByteArray bytes = text.toLocal8Bit();
    std::tm tm{};
    const char* rest = ::strptime(bytes.constData(), format.c_str(), &tm);
    if (!rest || *rest != '\0')
        return false;
    out = QTime(tm.tm_hour, tm.tm_min, tm.tm_sec);
    return out.isValid();
}

// The log writes one decimal place, so the decimal separator stands right
// before the last digit. A log written under another locale is read too:
// there the separator is a point or a comma, and the grouping before it is
// any of the usual group characters.
bool readTemperature(const QString& text, const platform::FormatSettings& fs, double& out) {
    const QString& dec = fs.DecimalSeparator;
    QString number;
    const qsizetype n = text.size();
    if (n >= 2 && text[n - 1].isDigit() && text.chopped(1).endsWith(dec)) {
        QString whole = text.left(n - 1 - dec.size());
        if (!fs.ThousandSeparator.isEmpty())
            whole.remove(fs.ThousandSeparator);
        number = whole + dec + text[n - 1];
    } else if (n >= 2 && text[n - 1].isDigit() && (text[n - 2] == u'.' || text[n - 2] == u',')) {
        QString whole = text.left(n - 2);
        for (const QChar group :
             {QChar(u' '), QChar(0x00A0), QChar(0x202F), QChar(u'.'), QChar(u','), QChar(u'\'')})
            whole.remove(group);
        number = whole + dec + text[n - 1];
    } else {
        number = text;
    }
    long double value = 0;
    if (!fs.TextToFloat(number.toLocal8Bit().toStdString(), value))
        return false;
    out = static_cast<double>(value);
    return true;
}

} // namespace

std::vector<HistorySample> ReadTemperatureLogDay(const QString& path, const QDate& day,
                                                 const platform::FormatSettings& formats) {
    std::vector<HistorySample> samples;
    const QByteArray data = platform::ReadWholeFile(path, kMaxFileBytes).Data;
    const QString dateText = formats.FormatShortDate(QDateTime(day, QTime(12, 0)));
    qsizetype pos = 0;
    while (pos < data.size()) {
        qsizetype end = data.indexOf('\n', pos);
        if (end < 0)
            end = data.size();
        QByteArrayView line(data.constData() + pos, end - pos);
        pos = end + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        const QStringList fields = QString::fromUtf8(line).split(u'\t');
        QTime time;
        double value = 0;
        if (fields.size() != 3 || fields[0] != dateText ||
            !readTime(fields[1], formats.LongTimeFormat, time) ||
            !readTemperature(fields[2], formats, value))
            continue;
        samples.push_back({QDateTime(day, time).toMSecsSinceEpoch(), value});
    }
    return samples;
}

std::vector<HistorySample> ReadTemperatureLogs(const QDateTime& now, int days) {
    const platform::FormatSettings& formats = platform::FormatSettings::Current();
    const std::int64_t last = now.toMSecsSinceEpoch();
    const std::int64_t first = last - std::int64_t(days) * 24 * 3600 * 1000;
    std::vector<HistorySample> all;
    for (QDate day = now.addDays(-days).date(); day <= now.date(); day = day.addDays(1)) {
        const QDateTime noon(day, QTime(12, 0));
        for (const HistorySample& s :
             ReadTemperatureLogDay(platform::TemperatureLogPath(noon), day, formats))
            if (s.MSecs > first && s.MSecs <= last)
                all.push_back(s);
    }
    // Stable: readings of the same second keep their file order.
    std::stable_sort(all.begin(), all.end(), [](const HistorySample& a, const HistorySample& b) {
        return a.MSecs < b.MSecs;
    });
    return all;
}
