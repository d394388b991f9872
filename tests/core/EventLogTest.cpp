// The event log reaches its file while the program runs, each line in the
// file of its own day, and the exit adds nothing twice; headless, every line
// is echoed to standard output.
#include "core/EventLog.h"
#include "core/Program.h"
#include "platform/AppPaths.h"
#include "platform/FormatSettings.h"
#include "platform/OutputEcho.h"
#include "support/FullDisk.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

QByteArray read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(EventLog, LinesReachTheirDaysFileWithinASecondAndOnlyOnce) {
    QTemporaryDir home;
    const platform::AppPaths paths{home.path()};
    const platform::FormatSettings saved = platform::FormatSettings::Current();
    platform::FormatSettings::SetCurrent(platform::FormatSettings());
    QDateTime now(QDate(2026, 7, 3), QTime(23, 59, 59));
    TEventLog log(paths, [&now] { return now; });

    log.Add("OK  before midnight");
    now = now.addSecs(2);
    log.Add("OK  after midnight");
    const QString first = paths.EventLogPath(QDateTime(QDate(2026, 7, 3), QTime(12, 0)));
    const QString second = paths.EventLogPath(now);
    ASSERT_NE(first, second);
    // No exit, no flush call: the timer writes them.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !read(second).isEmpty(); }, 1000));
    EXPECT_EQ(read(first), "23:59:59 >  OK  before midnight\r\n");
    EXPECT_EQ(read(second), "00:00:01 >  OK  after midnight\r\n");
    EXPECT_EQ(log.Pending(), 0u);

    log.Flush(/*createToday=*/true); // the exit's flush
    EXPECT_EQ(read(second), "00:00:01 >  OK  after midnight\r\n");

    // The directory removed while the program runs is made again.
    ASSERT_TRUE(QDir(home.path()).removeRecursively());
    log.Add("OK  back");
    log.Flush();
    EXPECT_EQ(read(second), "00:00:01 >  OK  back\r\n");

    platform::FormatSettings::SetCurrent(saved);
}

// More lines than are kept wait for a full disk: the notice of the outage
// stays, and one line in place of the lost ones counts them.
TEST(EventLog, ALongOutageKeepsItsNoticeAndCountsTheLostLines) {
    QTemporaryDir home;
    const platform::AppPaths paths{home.path()};
    const platform::FormatSettings saved = platform::FormatSettings::Current();
    platform::FormatSettings::SetCurrent(platform::FormatSettings());
    QDateTime now(QDate(2026, 7, 3), QTime(10, 0));
    TEventLog log(paths, [&now] { return now; });
    {
        const FullDisk full(0);
        log.Add("OK  first");
        ASSERT_TRUE(QTest::qWaitFor([&] { return log.Pending() == 2; }, 2000)); // the notice
        for (int i = 0; i < 11000; ++i, now = now.addMSecs(100))
            log.Add(QStringLiteral("OK  line %1").arg(i));
    }
    log.Flush();
    const QList<QByteArray> lines = read(paths.EventLogPath(now)).split('\n');
    ASSERT_EQ(lines.size(), 10001); // and the empty one after the last
    EXPECT_TRUE(lines[0].startsWith("10:00:00 >  ERR  1003 lines of the event log were lost"));
    EXPECT_TRUE(lines[0].endsWith("logged from 10:00:00 to 10:01:40.\r")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith("ERR  The event log cannot be written; its lines are kept until "
                                  "it can.\r"));
    EXPECT_EQ(lines[2], "10:01:40 >  OK  line 1002\r");
    platform::FormatSettings::SetCurrent(saved);
}

TEST(EventLog, LinesCarryTheTimeAndAreEchoedWhenHeadless) {
    QTemporaryDir home;
    const platform::FormatSettings saved = platform::FormatSettings::Current();
    platform::FormatSettings::SetCurrent(platform::FormatSettings());
    TEventLog log(platform::AppPaths{home.path()},
                  [] { return QDateTime(QDate(2026, 7, 3), QTime(14, 5, 9)); });
    QStringList shown;
    QObject::connect(&log, &TEventLog::LineAdded, [&](const QString& line) { shown << line; });
    log.Add("OK  first");
    EchoEventLog(log); // as the headless program does

    QTemporaryDir dir;
    const QByteArray capture = (dir.path() + "/stdout.txt").toLocal8Bit();
    std::fflush(stdout);
    const int out = ::dup(1);
    const int fd = ::open(capture.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ::dup2(fd, 1);
    log.Add("ERR  second");
    platform::FlushEcho();
    ::dup2(out, 1);
    ::close(out);
    ::close(fd);
    EXPECT_EQ(read(dir.path() + "/stdout.txt"), "14:05:09 >  ERR  second\n");
    EXPECT_EQ(shown, (QStringList{"14:05:09 >  OK  first", "14:05:09 >  ERR  second"}));
    platform::FormatSettings::SetCurrent(saved);
}
