// The alarm state machine on a clock the test sets: one episode gives one
// alarm and one clear however the value hovers, a spike shorter than the
// delay gives none, a silent thermometer gives a stale alarm, and an alarm
// active at a stop is known at the next start.
#include "core/Alarm.h"
#include "platform/FormatSettings.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class Alarm : public ::testing::Test {
protected:
    void SetUp() override {
        platform::FormatSettings::SetCurrent(platform::FormatSettings()); // '.' decimals
        Make();
    }
    void Make() {
        A = std::make_unique<TAlarm>([this] { return Now; }, Dir.filePath("kelvox.alarm"));
        QObject::connect(A.get(), &TAlarm::Changed, A.get(),
                         [this](const AlarmChange& c) { Lines << AlarmLogLine(c); });
    }
    // Readings every `step` seconds for `seconds`, alternating between the values.
    void Feed(std::initializer_list<double> values, int seconds, int step = 10) {
        const std::vector<double> v(values);
        for (int t = 0, i = 0; t < seconds; t += step, ++i) {
            A->Reading(v[i % v.size()], Now);
            Advance(step);
        }
    }
    // Moves the clock and lets the deadline fire when it is due.
    void Advance(int seconds) {
        const QDateTime to = Now.addSecs(seconds);
        while (A->Due().isValid() && A->Due() <= to) {
            Now = std::max(Now, A->Due());
            A->OnDeadline();
        }
        Now = to;
    }

    QTemporaryDir Dir;
    QDateTime Now{QDate(2026, 7, 3), QTime(14, 0, 0)};
    std::unique_ptr<TAlarm> A;
    QStringList Lines;
};

TEST_F(Alarm, AValueHoveringAtALimitGivesOneAlarmAndOneClear) {
    AlarmConfig c;
    c.High = 27.0;
    c.DelaySec = c.ClearDelaySec = 60;
    A->Configure(c);
    Feed({26.9, 27.1}, 50 * 60); // at the limit for 50 minutes
    Feed({26.4, 26.7}, 20 * 60); // back below the limit, not by the hysteresis
    EXPECT_EQ(Lines, QStringList{QStringLiteral("ERR  Temperature high: 27.1°C, limit 27.0°C")});
    EXPECT_EQ(A->State(), AlarmKind::High);
    Feed({26.4}, 50); // back inside, shorter than the clear delay
    Feed({26.6}, 10);
    Feed({26.4, 26.3}, 120);
    EXPECT_EQ(Lines, (QStringList{QStringLiteral("ERR  Temperature high: 27.1°C, limit 27.0°C"),
                                  QStringLiteral("OK  Temperature back in range: 26.3°C, after "
                                                 "1 h 10 min")}));
    EXPECT_EQ(A->State(), AlarmKind::Ok);

    // In range and no stale limit: nothing left that could change by itself.
    EXPECT_FALSE(A->Deadline()->isActive());
}

TEST_F(Alarm, ASpikeShorterThanTheDelayGivesNone) {
    AlarmConfig c;
    c.High = 27.0;
    c.DelaySec = 60;
    A->Configure(c);
    Feed({22.0}, 60);
    Feed({29.5}, 50, 5);
    EXPECT_TRUE(A->Deadline()->isActive());
    Feed({22.0}, 600);
    EXPECT_TRUE(Lines.isEmpty());
    EXPECT_FALSE(A->Deadline()->isActive());
}

TEST_F(Alarm, NoReadingsForTheStaleLimitGiveOneStaleAlarm) {
    AlarmConfig c;
    c.StaleSec = 300;
    A->Configure(c); // counted from the start: no reading has come yet
    Feed({21.0}, 120);
    Advance(289);
    EXPECT_TRUE(Lines.isEmpty());
    Advance(3601);
    EXPECT_EQ(Lines, QStringList{QStringLiteral("ERR  Temperature stale: no reading since "
                                                "14:01:50, limit 5 min")});
    EXPECT_EQ(A->State(), AlarmKind::Stale);
    EXPECT_FALSE(A->Deadline()->isActive()); // nothing to wait for until a reading
    A->Reading(21.5, Now);
    EXPECT_EQ(Lines.last(),
              QStringLiteral("OK  Temperature readings back: 21.5°C, after 1 h 5 min"));
    EXPECT_EQ(A->State(), AlarmKind::Ok);
    EXPECT_TRUE(A->Deadline()->isActive());
}

TEST_F(Alarm, AnAlarmActiveAtAStopIsKnownAtTheStartAndStillClears) {
    AlarmConfig c;
    c.High = 27.0;
    c.DelaySec = c.ClearDelaySec = 60;
    A->Configure(c);
    Feed({27.3}, 120);
    ASSERT_EQ(Lines.size(), 1);
    A.reset(); // the stop
    Now = Now.addSecs(600);

    Make();
    QSignalSpy changed(A.get(), &TAlarm::Changed);
    const QList<AlarmChange> restored = A->Restore();
    A->Configure(c);
    ASSERT_EQ(restored.size(), 1);
    EXPECT_EQ(restored.front().Kind, AlarmKind::High);
    EXPECT_EQ(A->State(), AlarmKind::High);
    Feed({27.4}, 300); // still high: no second alarm
    EXPECT_EQ(changed.count(), 0);
    Feed({26.0}, 120);
    EXPECT_EQ(Lines, (QStringList{QStringLiteral("ERR  Temperature high: 27.3°C, limit 27.0°C"),
                                  QStringLiteral("OK  Temperature back in range: 26.0°C, after "
                                                 "17 min")}));
}

} // namespace
