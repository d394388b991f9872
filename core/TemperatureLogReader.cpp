#include "core/TemperatureLogReader.h"

#include "platform/AppPaths.h"
#include "platform/SysRetry.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QTime>
#include <algorithm>
#include <array>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>

namespace {

constexpr qsizetype kChunkBytes = 1 << 20;
constexpr int kLinesBetweenCancelChecks = 4096;

bool cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load(std::memory_order_relaxed);
}

// The whole file, or its last maxBytes from the first full line on. Empty
// for anything but a readable regular file: opened without blocking, so a
// FIFO in the file's place is never waited on.
QByteArray readTail(const QString& path, std::int64_t maxBytes, const std::atomic<bool>* cancel) {
    const QByteArray name = QFile::encodeName(path);
    const platform::UniqueFd fd(platform::RetryOnEintr(
        [&] { return ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY); }));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    // One byte more than kept: it tells whether the kept part starts a line.
    const bool cut = st.st_size > maxBytes;
    const std::int64_t from = cut ? st.st_size - maxBytes - 1 : 0;
    const std::int64_t want = st.st_size - from;
    QByteArray data;
    data.resize(want);
    std::int64_t got = 0;
    while (got < want && !cancelled(cancel)) {
        const auto n = platform::RetryOnEintr([&] {
            return ::pread(fd.Get(), data.data() + got,
                           static_cast<size_t>(std::min<std::int64_t>(want - got, kChunkBytes)),
                           from + got);
        });
        if (n <= 0)
            break; // an error or a file cut meanwhile: what was read counts
        got += n;
    }
    data.truncate(got);
    if (cut) {
        const qsizetype lineStart = data.indexOf('\n');
        data.remove(0, lineStart < 0 ? data.size() : lineStart + 1);
    }
    return data;
}

// H:MM:SS or HH:MM:SS, the 24-hour time most logs carry.
bool readPlainTime(QByteArrayView t, int& seconds) {
    auto digit = [&](qsizetype i) { return t[i] >= '0' && t[i] <= '9' ? t[i] - '0' : -100; };
    const qsizetype h = t.size() - 6; // digits of the hour
    if ((h != 1 && h != 2) || t[h] != ':' || t[h + 3] != ':')
        return false;
    const int hour = h == 1 ? digit(0) : digit(0) * 10 + digit(1);
    const int minute = digit(h + 1) * 10 + digit(h + 2);
    const int second = digit(h + 4) * 10 + digit(h + 5);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return false;
    seconds = (hour * 60 + minute) * 60 + second;
    return true;
}

// Any other time with the locale's format (a 12-hour clock, say).
bool readTime(QByteArrayView field, const std::string& format, int& seconds) {
    const QByteArray bytes = QString::fromUtf8(field).toLocal8Bit();
    std::tm tm{};
    const char* rest = ::strptime(bytes.constData(), format.c_str(), &tm);
    if (!rest || *rest != '\0')
        return false;
    const QTime time(tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (!time.isValid())
        return false;
    seconds = time.msecsSinceStartOfDay() / 1000;
    return true;
}

// "-12,5" or "21.4": the usual text, converted as the general way below
// would, without its copies.
bool readPlainTemperature(QByteArrayView t, double& out) {
    const qsizetype n = t.size();
    const qsizetype first = !t.isEmpty() && t[0] == '-' ? 1 : 0;
    if (n - first < 3 || n - first > 17 || (t[n - 2] != '.' && t[n - 2] != ','))
        return false;
    std::uint64_t tenths = 0;
    for (qsizetype i = first; i < n; ++i) {
        if (i == n - 2)
            continue;
        if (t[i] < '0' || t[i] > '9')
            return false;
        tenths = tenths * 10 + static_cast<std::uint64_t>(t[i] - '0');
    }
    // Rounded once from long double, as the locale's conversion does.
    const long double v = static_cast<long double>(tenths) / 10.0L;
    out = static_cast<double>(first ? -v : v);
    return true;
}

// The log writes one decimal place, so the decimal separator stands right
// before the last digit. A log written under another locale is read too:
// there the separator is a point or a comma, and the grouping before it is
// any of the usual group characters.
bool readTemperature(QByteArrayView field, const platform::FormatSettings& fs, double& out) {
    if (readPlainTemperature(field, out))
        return true;
    const QString text = QString::fromUtf8(field);
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

// A date text as it stands in a file name ('/' and '\' as '-').
QByteArray fileSafe(QByteArrayView date) {
    QByteArray out(date.data(), date.size());
    for (char& c : out)
        if (c == '/' || c == '\\' || c == '\0')
            c = '-';
    return out;
}

// The lines of one day's file. The line's date must be the day's date text,
// compared as it stands in file names, so that a file found under another
// locale's date format is checked against its own dates.
class DayLines {
public:
    DayLines(const QDate& day, QByteArray dateKey, const platform::FormatSettings& formats)
        : Day_(day), DateKey_(std::move(dateKey)), Formats_(formats) {
        HourStart_.fill(kUnknown);
    }

    // Appends the readings of data to out; false when cancelled.
    bool Read(const QByteArray& data, std::vector<HistorySample>& out,
              const std::atomic<bool>* cancel) {
        qsizetype pos = 0;
        for (int lines = 0; pos < data.size(); ++lines) {
            if (lines % kLinesBetweenCancelChecks == 0 && cancelled(cancel))
                return false;
            qsizetype end = data.indexOf('\n', pos);
            if (end < 0)
                end = data.size();
            QByteArrayView line(data.constData() + pos, end - pos);
            pos = end + 1;
            if (line.endsWith('\r'))
                line.chop(1);
            HistorySample sample;
            if (ReadLine(line, sample))
                out.push_back(sample);
        }
        return true;
    }

private:
    static constexpr std::int64_t kUnknown = std::numeric_limits<std::int64_t>::min();

    bool ReadLine(QByteArrayView line, HistorySample& out) {
        const qsizetype tab1 = line.indexOf('\t');
        const qsizetype tab2 = tab1 < 0 ? -1 : line.sliced(tab1 + 1).indexOf('\t');
        if (tab2 < 0)
            return false;
        const QByteArrayView date = line.first(tab1);
        const QByteArrayView time = line.sliced(tab1 + 1, tab2);
        const QByteArrayView value = line.sliced(tab1 + 1 + tab2 + 1);
        int seconds = 0;
        if (value.contains('\t') || date.size() != DateKey_.size() || fileSafe(date) != DateKey_ ||
            !(readPlainTime(time, seconds) || readTime(time, Formats_.LongTimeFormat, seconds)) ||
            !readTemperature(value, Formats_, out.Value))
            return false;
        out.MSecs = HourStart(seconds / 3600) + (seconds % 3600) * 1000;
        return true;
    }

    // The time zone is asked once per hour of the day, not once per line:
    // daylight saving time changes on the hour.
    std::int64_t HourStart(int hour) {
        std::int64_t& start = HourStart_[static_cast<std::size_t>(hour)];
        if (start == kUnknown)
            start = QDateTime(Day_, QTime(hour, 0)).toMSecsSinceEpoch();
        return start;
    }

    QDate Day_;
    QByteArray DateKey_;
    const platform::FormatSettings& Formats_;
    std::array<std::int64_t, 24> HourStart_{};
};

std::vector<HistorySample> readDay(const QString& path, const QDate& day, const QByteArray& dateKey,
                                   const platform::FormatSettings& formats,
                                   const std::atomic<bool>* cancel) {
    std::vector<HistorySample> samples;
    DayLines(day, dateKey, formats)
        .Read(readTail(path, kTemperatureLogTailBytes, cancel), samples, cancel);
    return samples;
}

QByteArray dateKeyOf(const QDate& day, const platform::FormatSettings& formats) {
    return platform::FileSafeDate(formats.FormatShortDate(QDateTime(day, QTime(12, 0)))).toUtf8();
}

// The order of day, month and year in a strftime date format ("dmy"), or
// an empty text when it has no plain numeric order.
QString numericOrder(const std::string& format) {
    QString order;
    for (std::size_t i = 0; i + 1 < format.size(); ++i) {
        if (format[i] != '%')
            continue;
        char c = format[++i];
        if (c == 'E' || c == 'O' || c == '-' || c == '_' || c == '0') // modifiers and flags
            c = i + 1 < format.size() ? format[++i] : '\0';
        if (c == 'd' || c == 'e')
            order += u'd';
        else if (c == 'm')
            order += u'm';
        else if (c == 'y' || c == 'Y')
            order += u'y';
        else if (c == 'D')
            order += QStringLiteral("mdy");
        else if (c == 'F')
            order += QStringLiteral("ymd");
    }
    return order.size() == 3 && order.contains(u'd') && order.contains(u'm') ? order : QString();
}

// The day a file name's date text stands for when it was written under
// another locale's short date: three numbers, read in the current locale's
// order first, then as d-m-y, m-d-y and y-m-d; the first reading that falls
// between firstDay and lastDay counts (a wrong order lands months or years
// away).
QDate dayOfDateText(const QString& text, const QString& currentOrder, const QDate& firstDay,
                    const QDate& lastDay) {
    QStringList numbers;
    QString number;
    for (const QChar c : text + u' ') {
        if (c >= u'0' && c <= u'9') {
            number += c;
        } else if (!number.isEmpty()) {
            numbers << number;
            number.clear();
        }
    }
    if (numbers.size() != 3)
        return {};
    for (const QString& order :
         {currentOrder, QStringLiteral("dmy"), QStringLiteral("mdy"), QStringLiteral("ymd")}) {
        if (order.isEmpty())
            continue;
        int day = 0, month = 0;
        QString year;
        for (int i = 0; i < 3; ++i) {
            if (order[i] == u'y')
                year = numbers[i];
            else if (numbers[i].size() > 2)
                day = month = -1;
            else
                (order[i] == u'd' ? day : month) = numbers[i].toInt();
        }
        if (year.size() == 4) {
            const QDate d(year.toInt(), month, day);
            if (d.isValid() && d >= firstDay && d <= lastDay)
                return d;
        } else if (year.size() == 2) {
            for (const QDate& near : {firstDay, lastDay}) {
                const QDate d(near.year() / 100 * 100 + year.toInt(), month, day);
                if (d.isValid() && d >= firstDay && d <= lastDay)
                    return d;
            }
        }
    }
    return {};
}

struct DayFile {
    QString Name;
    QDate Day;
    QByteArray DateKey; // the date text of its lines, as in the name
};

// The day files of the query's days. The file name carries the short date
// of the locale it was written under, so after a change of locale the older
// files have other names: all "Temperature(<date>).log" in the directory
// are looked at, and those whose date is one of the days are taken.
std::vector<DayFile> dayFiles(const TemperatureLogQuery& query) {
    const QDate firstDay = query.Now.addDays(-query.Days).date();
    const QDate lastDay = query.Now.date();
    QHash<QString, QDate> current; // the names this locale gives the days
    for (QDate day = firstDay; day <= lastDay; day = day.addDays(1))
        current.insert(QString::fromUtf8(dateKeyOf(day, query.Formats)), day);
    const QString order = numericOrder(query.Formats.ShortDateFormat);
    const QString prefix = QStringLiteral("Temperature(");
    const QString suffix = QStringLiteral(").log");
    std::vector<DayFile> files;
    for (const QString& name : QDir(query.Dir).entryList({prefix + u'*' + suffix}, QDir::Files)) {
        const QString text = name.mid(prefix.size(), name.size() - prefix.size() - suffix.size());
        QDate day = current.value(text);
        if (!day.isValid())
            day = dayOfDateText(text, order, firstDay, lastDay);
        if (day.isValid())
            files.push_back({name, day, text.toUtf8()});
    }
    return files;
}

} // namespace

std::vector<HistorySample> ReadTemperatureLogDay(const QString& path, const QDate& day,
                                                 const platform::FormatSettings& formats) {
    return readDay(path, day, dateKeyOf(day, formats), formats, nullptr);
}

std::vector<HistorySample> ReadTemperatureLogs(const TemperatureLogQuery& query,
                                               const std::atomic<bool>* cancel) {
    const std::int64_t last = query.Now.toMSecsSinceEpoch();
    const std::int64_t first = last - std::int64_t(query.Days) * 24 * 3600 * 1000;
    std::vector<HistorySample> all;
    for (const DayFile& file : dayFiles(query)) {
        if (cancelled(cancel))
            break;
        for (const HistorySample& s :
             readDay(query.Dir + u'/' + file.Name, file.Day, file.DateKey, query.Formats, cancel))
            if (s.MSecs > first && s.MSecs <= last)
                all.push_back(s);
    }
    // Stable: readings of the same second keep their file order.
    std::stable_sort(all.begin(), all.end(), [](const HistorySample& a, const HistorySample& b) {
        return a.MSecs < b.MSecs;
    });
    return all;
}
