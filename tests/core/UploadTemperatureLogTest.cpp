// The daily temperature log written by every send.
#include "core/EventLog.h"
#include "core/Link.h"
#include "core/Settings.h"
#include "core/TemperatureLog.h"
#include "core/Upload.h"
#include "support/Formats.h"
#include "support/FullDisk.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

class TemperatureLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        savedFormats = platform::FormatSettings::Current();
        platform::FormatSettings::SetCurrent(CommaFormats());
    }
    void TearDown() override { platform::FormatSettings::SetCurrent(savedFormats); }
    platform::AppPaths Paths() const { return {home.path()}; }

    QTemporaryDir home;
    platform::FormatSettings savedFormats;
};

TEST_F(TemperatureLogTest, LineHoldsDateTimeAndTemperatureText) {
    const QDateTime when(QDate(2026, 7, 12), QTime(9, 5, 3));
    EXPECT_EQ(TemperatureLogLine(CommaFormats(), when, 25.6L), "12.07.2026\t09:05:03\t25,6");
    EXPECT_EQ(TemperatureLogLine(CommaFormats(), when, -100.0L), "12.07.2026\t09:05:03\t-100,0");
    platform::FormatSettings dot;
    dot.ShortDateFormat = "%m/%d/%y";
    EXPECT_EQ(TemperatureLogLine(dot, when, 0.0L), "07/12/26\t09:05:03\t0.0");
}

TEST_F(TemperatureLogTest, AppendKeepsWhatIsThereAndCreatesMissingFiles) {
    const QString path = home.filePath("t.log");
    ASSERT_TRUE(AppendTemperatureLogLine(path, "a"));
    EXPECT_EQ(ReadAll(path), "a\r\n");

    // Earlier lines (even one without its line end) are never rewritten.
    QFile existing(path);
    ASSERT_TRUE(existing.open(QIODevice::Append));
    existing.write("partial");
    existing.close();
    ASSERT_TRUE(AppendTemperatureLogLine(path, "b"));
    ASSERT_TRUE(AppendTemperatureLogLine(path, QString::fromUtf8("1\u00A0234,5")));
    EXPECT_EQ(ReadAll(path), "a\r\npartialb\r\n1\xC2\xA0"
                             "234,5\r\n");
}

TEST_F(TemperatureLogTest, AFullDiskAddsNoFragmentOfALine) {
    const QString path = home.filePath("t.log");
    ASSERT_TRUE(AppendTemperatureLogLine(path, "12.07.2026\t10:00:00\t21,0"));
    {
        FullDisk full(40);
        EXPECT_FALSE(AppendTemperatureLogLine(path, "12.07.2026\t10:01:00\t21,5"));
    }
    ASSERT_TRUE(AppendTemperatureLogLine(path, "12.07.2026\t10:02:00\t21,6"));
    EXPECT_EQ(ReadAll(path), "12.07.2026\t10:00:00\t21,0\r\n12.07.2026\t10:02:00\t21,6\r\n");
}

TEST_F(TemperatureLogTest, UnwritablePlacesFailQuietly) {
    // A path whose parent is a regular file cannot be created, even by root.
    const QString file = home.filePath("plain");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_FALSE(AppendTemperatureLogLine(file + "/t.log", "x"));
    EXPECT_EQ(ReadAll(file), "");

    // A read-only directory (root writes there anyway).
    const QString locked = home.filePath("locked");
    ASSERT_TRUE(QDir().mkpath(locked));
    ASSERT_EQ(chmod(QFile::encodeName(locked).constData(), 0555), 0);
    const bool wrote = AppendTemperatureLogLine(locked + "/t.log", "x");
    if (geteuid() != 0) {
        EXPECT_FALSE(wrote);
        EXPECT_FALSE(QFile::exists(locked + "/t.log"));
    }
    chmod(QFile::encodeName(locked).constData(), 0755);
}

TEST_F(TemperatureLogTest, TodaysFileGrowsOneLinePerSendAndANewDayStartsANewFile) {
    ASSERT_TRUE(
        AppendToTemperatureLog(Paths(), QDateTime(QDate(2026, 7, 12), QTime(10, 0, 0)), 21.0L));
    ASSERT_TRUE(
        AppendToTemperatureLog(Paths(), QDateTime(QDate(2026, 7, 12), QTime(10, 1, 0)), 21.5L));
    ASSERT_TRUE(
        AppendToTemperatureLog(Paths(), QDateTime(QDate(2026, 7, 12), QTime(23, 59, 59)), -100.0L));
    const QString today = home.filePath("Temperature(12.07.2026).log");
    EXPECT_EQ(ReadAll(today), "12.07.2026\t10:00:00\t21,0\r\n"
                              "12.07.2026\t10:01:00\t21,5\r\n"
                              "12.07.2026\t23:59:59\t-100,0\r\n");

    ASSERT_TRUE(
        AppendToTemperatureLog(Paths(), QDateTime(QDate(2026, 7, 13), QTime(0, 0, 1)), 20.0L));
    EXPECT_EQ(ReadAll(home.filePath("Temperature(13.07.2026).log")),
              "13.07.2026\t00:00:01\t20,0\r\n");
    EXPECT_EQ(ReadAll(today).count('\n'), 3);
}

TEST_F(TemperatureLogTest, DateWithSlashesGivesAValidFileName) {
    platform::FormatSettings slashes = CommaFormats();
    slashes.ShortDateFormat = "%m/%d/%y";
    platform::FormatSettings::SetCurrent(slashes);
    ASSERT_TRUE(
        AppendToTemperatureLog(Paths(), QDateTime(QDate(2026, 7, 12), QTime(8, 0, 0)), 19.9L));
    EXPECT_EQ(ReadAll(home.filePath("Temperature(07-12-26).log")), "07/12/26\t08:00:00\t19,9\r\n");
}

TEST_F(TemperatureLogTest, OneClockReadingForNameDateAndTime) {
    // The uploader's clock moves on by a day at every reading: file name,
    // date and time must still agree.
    int calls = 0;
    TSettingsModel settings;
    settings.SetCheck(Setting::GeneTemp, true);
    const auto clock = [&calls] {
        return QDateTime(QDate(2026, 7, 1).addDays(calls++), QTime(23, 59, 59));
    };
    TEventLog log(Paths(), clock);
    TLink link(settings, log, clock);
    TUploader upload(settings, log, link, {}, 60000, Paths(), clock);
    link.Feed("+22.2C\r");
    upload.Send(false);
    const QStringList files = QDir(home.path()).entryList({"Temperature(*"}, QDir::Files);
    ASSERT_EQ(files.size(), 1);
    const QString date = files[0].mid(12, 10);
    EXPECT_EQ(ReadAll(home.filePath(files[0])), (date + "\t23:59:59\t22,2\r\n").toUtf8());
}

TEST_F(TemperatureLogTest, UnusableHomeLosesTheLineWithoutRaising) {
    const QString file = home.filePath("plain");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_FALSE(AppendToTemperatureLog(platform::AppPaths{file + "/sub"},
                                        QDateTime(QDate(2026, 7, 12), QTime(8, 0, 0)), 19.9L));
    EXPECT_EQ(ReadAll(file), "");
}

} // namespace
