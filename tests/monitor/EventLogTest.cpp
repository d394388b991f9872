// The event log reaches its file while the program runs, each line in the
// file of its own day, and the exit adds nothing twice.
#include "monitor/EventLog.h"
#include "platform/AppPaths.h"
#include "platform/FormatSettings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

QByteArray read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(EventLog, LinesReachTheirDaysFileWithinASecondAndOnlyOnce) {
    QTemporaryDir home;
    qputenv("KELVOX_HOME", home.path().toLocal8Bit());
    const platform::FormatSettings saved = platform::FormatSettings::Current();
    platform::FormatSettings::SetCurrent(platform::FormatSettings());
    QDateTime now(QDate(2026, 7, 3), QTime(23, 59, 59));
    TEventLog log([&now] { return now; });

    log.Add("OK  before midnight");
    now = now.addSecs(2);
    log.Add("OK  after midnight");
    const QString first = platform::EventLogPath(QDateTime(QDate(2026, 7, 3), QTime(12, 0)));
    const QString second = platform::EventLogPath(now);
    ASSERT_NE(first, second);
    // No exit, no flush call: the timer writes them.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !read(second).isEmpty(); }, 1000));
    EXPECT_EQ(read(first), "23:59:59 >  OK  before midnight\r\n");
    EXPECT_EQ(read(second), "00:00:01 >  OK  after midnight\r\n");
    EXPECT_EQ(log.Pending(), 0u);

    log.Flush(/*createToday=*/true); // the exit's flush
    EXPECT_EQ(read(second), "00:00:01 >  OK  after midnight\r\n");

    platform::FormatSettings::SetCurrent(saved);
    qunsetenv("KELVOX_HOME");
}
