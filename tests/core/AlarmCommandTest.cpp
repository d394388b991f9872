// The alarm command, a script of the test: it runs beside the program with
// the alarm in its environment and its output in the event log, and a
// change that comes while it runs never starts it twice: one more run
// follows, with the latest state.
#include "core/AlarmCommand.h"
#include "support/Pump.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

namespace {

AlarmChange Change(AlarmKind kind, bool active, double value, double limit) {
    return {.Kind = kind,
            .Active = active,
            .Temperature = value,
            .Limit = limit,
            .Since = QDateTime(QDate(2026, 7, 3), QTime(12, 0), QTimeZone::utc()),
            .When = {},
            .State = active ? kind : AlarmKind::Ok};
}

TEST(AlarmCommand, AChangeDuringARunMakesOneMoreRunWithTheLatestState) {
    QTemporaryDir dir;
    const QString script = dir.filePath("on alarm.sh"), runs = dir.filePath("runs");
    QFile f(script);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(
        "#!/bin/sh\n"
        "echo \"start $KELVOX_ALARM $KELVOX_TEMPERATURE $KELVOX_LIMIT $KELVOX_SINCE\" >> \"$1\"\n"
        "sleep 1\n"
        "echo end >> \"$1\"\n"
        "echo \"said $KELVOX_ALARM\"\n"
        "[ \"$KELVOX_ALARM\" != low ] || exit 3\n");
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    TAlarmCommand command;
    QStringList log;
    QObject::connect(&command, &TAlarmCommand::LogLine, [&](const QString& l) { log << l; });
    QSignalSpy finished(&command, &TAlarmCommand::Finished);
    // Quoted as a shell would take it; no shell runs it.
    command.SetCommand(QStringLiteral("\"%1\" '%2'").arg(script, runs));
    QElapsedTimer took;
    took.start();
    command.Run(Change(AlarmKind::High, true, 27.3, 27.0));
    EXPECT_LT(took.elapsed(), 900); // the script sleeps 1 s: nobody waited for it
    EXPECT_TRUE(command.Running());
    command.Run(Change(AlarmKind::High, false, 26.4, 27.0));
    command.Run(Change(AlarmKind::Low, true, 4.8, 5.0));
    ASSERT_TRUE(PumpUntil([&] { return finished.count() == 2; }));
    QTest::qWait(1500); // no third run
    EXPECT_EQ(finished.count(), 2);
    QFile out(runs);
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(out.readAll()),
              QStringLiteral("start high 27.3 27.0 2026-07-03T12:00:00Z\nend\n"
                             "start low 4.8 5.0 2026-07-03T12:00:00Z\nend\n"));
    EXPECT_EQ(log, (QStringList{QStringLiteral("OK  Alarm command on alarm.sh: said high"),
                                QStringLiteral("OK  Alarm command on alarm.sh: said low"),
                                QStringLiteral("ERR  Alarm command on alarm.sh ended with exit "
                                               "code 3")}));
}

} // namespace
