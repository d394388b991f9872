// Reading the daily temperature logs back for the history: the lines the
// program writes come back, broken and foreign lines are skipped, either
// decimal separator reads, and only the last seven days' files count.
#include "core/TemperatureHistory.h"
#include "core/TemperatureLogReader.h"
#include "core/TemperatureLog.h"
#include "platform/AppPaths.h"
#include "support/Formats.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class TemperatureLogReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Home.isValid());
        Saved = platform::FormatSettings::Current();
        platform::FormatSettings::SetCurrent(CommaFormats());
    }
    void TearDown() override { platform::FormatSettings::SetCurrent(Saved); }
    static void Write(const QString& path, const QByteArray& text) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    static std::int64_t Ms(QDate day, QTime time) {
        return QDateTime(day, time).toMSecsSinceEpoch();
    }

    // The values in tenths of a degree, free of rounding.
    static std::vector<long> Tenths(const std::vector<HistorySample>& samples) {
        std::vector<long> out;
        for (const HistorySample& x : samples)
            out.push_back(std::lround(x.Value * 10));
        return out;
    }

    QTemporaryDir Home;
    platform::FormatSettings Saved;
};

} // namespace

TEST_F(TemperatureLogReaderTest, ReadsTheWrittenLinesAndSkipsBrokenOnes) {
    const QDate day(2026, 12, 3);
    const QString path = Home.filePath("day.log");
    // What the program writes, then damage of every kind.
    const auto fs = CommaFormats();
    ASSERT_TRUE(AppendTemperatureLogLine(
        path, TemperatureLogLine(fs, QDateTime(day, QTime(8, 0, 5)), 21.4L)));
    QFile log(path);
    ASSERT_TRUE(log.open(QIODevice::Append));
    log.write("03.12.2026\t08:05:05\t-100,0\r\n"      // a failed reading, kept as such
              "03.12.2026\t08:10:05\t22.5\r\n"        // written with a decimal point
              "03.12.2026\t08:15:05\t1 234,5\n"       // grouped, LF only
              "partial03.12.2026\t08:20:05\t23,0\r\n" // glued to a cut line
              "04.12.2026\t08:25:05\t23,0\r\n"        // another day's date
              "03.12.2026\t8h25\t23,0\r\n"            // not a time
              "03.12.2026\t25:00:00\t23,0\r\n"        // no such time
              "03.12.2026\t08:30:05\tNAN\r\n"         // not a number
              "03.12.2026\t08:35:05\t23,0x\r\n"       // stray character
              "03.12.2026\t08:40:05\t23,0\textra\r\n" // a field too many
              "\r\n"
              "03.12.2026\t08:45:05\t-3,5"); // last line without its end
    log.close();

    const std::vector<HistorySample> s = ReadTemperatureLogDay(path, day, fs);
    EXPECT_EQ(Tenths(s), (std::vector<long>{214, -1000, 225, 12345, -35}));
    EXPECT_EQ(s.at(0).MSecs, Ms(day, QTime(8, 0, 5)));
    EXPECT_EQ(s.at(4).MSecs, Ms(day, QTime(8, 45, 5)));

    // A 12-hour clock in a point locale.
    platform::FormatSettings us;
    us.LongTimeFormat = "%I:%M:%S %p";
    Write(path, "12/03/26\t02:15:00 PM\t19.5\r\n12/03/26\t02:16:00 PM\t19,6\r\n");
    const std::vector<HistorySample> u = ReadTemperatureLogDay(path, day, us);
    EXPECT_EQ(Tenths(u), (std::vector<long>{195, 196}));
    EXPECT_EQ(u.at(0).MSecs, Ms(day, QTime(14, 15)));
}

TEST_F(TemperatureLogReaderTest, TakesTheLastSevenDaysOfDayFilesInTimeOrder) {
    const QDateTime now(QDate(2026, 12, 7), QTime(10, 0));
    auto dayFile = [this](QDate day) {
        return platform::AppPaths{Home.path()}.TemperatureLogPath(QDateTime(day, QTime(12, 0)));
    };
    auto line = [](QDate day, QTime time, const char* value) {
        return (CommaFormats().FormatShortDate(QDateTime(day, time)) + '\t' +
                time.toString("HH:mm:ss") + '\t' + value + "\r\n")
            .toUtf8();
    };
    const QDate today = now.date();
    const QDate weekAgo = today.addDays(-7);
    Write(dayFile(today), line(today, QTime(9, 0), "20,0") + line(today, QTime(8, 0), "19,0") +
                              line(today, QTime(10, 30), "21,0")); // after now: left out
    Write(dayFile(today.addDays(-3)), line(today.addDays(-3), QTime(23, 59), "18,0"));
    Write(dayFile(weekAgo),
          line(weekAgo, QTime(9, 0), "15,0") + line(weekAgo, QTime(11, 0), "16,0"));
    Write(dayFile(today.addDays(-8)), line(today.addDays(-8), QTime(12, 0), "14,0"));
    // A FIFO in place of a day's file is not waited on.
    ASSERT_EQ(::mkfifo(QFile::encodeName(dayFile(today.addDays(-1))).constData(), 0600), 0);

    const std::vector<HistorySample> s = ReadTemperatureLogs({Home.path(), now, 7, CommaFormats()});
    EXPECT_EQ(Tenths(s), (std::vector<long>{160, 180, 190, 200}));
    EXPECT_EQ(s.at(0).MSecs, Ms(weekAgo, QTime(11, 0)));
}

TEST_F(TemperatureLogReaderTest, ReadsOnlyTheEndOfAnOversizedDayFile) {
    // A damaged day file far bigger than any day's log: the lines written
    // last come back, its start is not even read.
    const QDate day(2026, 12, 3);
    const QString path = Home.filePath("day.log");
    Write(path, "03.12.2026\t00:00:01\t1,0\r\n");
    ASSERT_EQ(::truncate(QFile::encodeName(path).constData(), 80 << 20), 0); // zeros, sparse
    QFile log(path);
    ASSERT_TRUE(log.open(QIODevice::Append));
    log.write("\r\n03.12.2026\t23:59:00\t2,5\r\n");
    log.close();
    const std::vector<HistorySample> s = ReadTemperatureLogDay(path, day, CommaFormats());
    EXPECT_EQ(Tenths(s), (std::vector<long>{25}));
}

TEST_F(TemperatureLogReaderTest, FindsDayFilesNamedUnderAnotherLocale) {
    // Written before the locale changed: month first with a two-digit
    // year, and year first; the lines carry the same date text as the name.
    auto write = [&](const char* date, const char* lines) {
        Write(Home.filePath(QStringLiteral("Temperature(%1).log").arg(date)), lines);
    };
    write("12-06-26", "12/06/26\t09:00:00\t17.5\r\n12/05/26\t10:00:00\t1.0\r\n");
    write("2026-12-05", "2026-12-05\t08:00:00\t16,5\r\n");
    write("11-06-26", "11/06/26\t09:00:00\t9.0\r\n"); // a month back
    write("06.12.2026", "06.12.2026\t08:00:00\t17,0\r\n");
    const std::vector<HistorySample> s =
        ReadTemperatureLogs({Home.path(), QDateTime(QDate(2026, 12, 7), QTime(10, 0)), 7,
                             platform::FormatSettings::Current()});
    EXPECT_EQ(Tenths(s), (std::vector<long>{165, 170, 175}));
    EXPECT_EQ(s.at(2).MSecs, Ms(QDate(2026, 12, 6), QTime(9, 0)));
}

TEST_F(TemperatureLogReaderTest, TheHistoryGetsTheLogsWithoutWaitingForThem) {
    const QDateTime now(QDate(2026, 12, 7), QTime(10, 0));
    Write(platform::AppPaths{Home.path()}.TemperatureLogPath(now),
          "07.12.2026\t09:00:00\t19,0\r\n"
          "07.12.2026\t09:05:00\t19,5\r\n");
    TemperatureHistory h;
    h.AddReading(now.toMSecsSinceEpoch(), 21.0);
    h.LoadEarlier({Home.path(), now, 7, CommaFormats()});
    EXPECT_EQ(h.Points().size(), 1u); // the call did not read them
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.Points().size() == 3; }, 5000));
    EXPECT_EQ(h.Points().front().Minute, Ms(now.date(), QTime(9, 0)) / 60000);
    EXPECT_FALSE(h.Loading());
}
