// The per-minute temperature history: readings of one minute make one
// point, failures and minutes without readings break the line, the clock
// going back drops what lies after it, seven days are the bound, and earlier
// readings from the logs go in front of the live ones.
#include "core/TemperatureHistory.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

using Change = TemperatureHistory::Change;

constexpr std::int64_t kStart = 29'000'000; // a minute since the epoch
std::int64_t at(std::int64_t minute, int second = 0) {
    return (kStart + minute) * 60000 + second * 1000;
}

std::vector<bool> joined(const TemperatureHistory& h) {
    std::vector<bool> flags;
    for (const HistoryPoint& p : h.Points())
        flags.push_back(p.Joined);
    return flags;
}

// What the history reported, in order.
std::vector<Change>& record(TemperatureHistory& h, std::vector<Change>& changes) {
    QObject::connect(&h, &TemperatureHistory::Changed,
                     [&changes](Change c) { changes.push_back(c); });
    return changes;
}

} // namespace

TEST(TemperatureHistoryTest, BucketsByMinuteAndBreaksTheLineAtGaps) {
    TemperatureHistory h;
    std::vector<Change> changes;
    record(h, changes);
    h.AddReading(at(0, 5), 20.0);
    h.AddReading(at(0, 40), 22.5);
    h.AddReading(at(0, 59), 21.0);
    h.AddReading(at(1, 0), 23.0);
    h.BreakLine(); // a failed line
    EXPECT_TRUE(h.LastFailed());
    h.AddReading(at(2, 10), 24.0);
    h.AddReading(at(5, 0), 25.0); // minutes 3 and 4 had no reading
    h.AddReading(at(6, 0), std::numeric_limits<double>::quiet_NaN());
    h.AddReading(at(6, 1), 26.0); // a later good reading of the same minute
    h.AddReading(at(7, 0), 27.0);

    const auto& p = h.Points();
    ASSERT_EQ(p.size(), 6u);
    EXPECT_EQ(p[0].Min, 20.0);
    EXPECT_EQ(p[0].Max, 22.5);
    EXPECT_EQ(p[0].Last, 21.0);
    EXPECT_EQ(joined(h), (std::vector<bool>{false, true, false, false, false, true}));
    EXPECT_FALSE(h.LastFailed());
    EXPECT_EQ(changes, (std::vector<Change>{Change::Appended, Change::LastUpdated,
                                            Change::LastUpdated, Change::Appended, Change::Appended,
                                            Change::Appended, Change::Appended, Change::Appended}));

    // The clock went back two minutes: the points after it are gone.
    h.AddReading(at(5, 30), 19.0);
    EXPECT_EQ(changes.back(), Change::Reset);
    ASSERT_EQ(h.Points().size(), 4u);
    EXPECT_EQ(h.Points().back().Minute, kStart + 5);
    EXPECT_EQ(h.Points().back().Last, 19.0);
    h.AddReading(at(5, 40), -100.0); // a dry-ice probe's reading is one
    EXPECT_EQ(h.Points().back().Min, -100.0);
}

TEST(TemperatureHistoryTest, KeepsSevenDaysAtMost) {
    TemperatureHistory h;
    const std::int64_t total = TemperatureHistory::kSpanMinutes + 30;
    for (std::int64_t m = 0; m < total; ++m)
        for (int s = 0; s < 60; s += 20) // three readings a minute
            h.AddReading(at(m, s), 20.0 + static_cast<double>(m % 7));
    ASSERT_EQ(h.Points().size(), static_cast<std::size_t>(TemperatureHistory::kSpanMinutes));
    EXPECT_EQ(h.Points().front().Minute, kStart + 30);
    EXPECT_EQ(h.Points().back().Minute, kStart + total - 1);
}

TEST(TemperatureHistoryTest, EarlierReadingsGoInFrontOfTheLiveOnes) {
    TemperatureHistory h;
    std::vector<Change> changes;
    record(h, changes);
    h.AddReading(at(100), 22.0);
    // Sends five minutes apart, one missed, a failed one, and lines that
    // overlap the live readings (left out).
    std::vector<HistorySample> sent;
    for (int m : {60, 65, 70, 80, 85, 90, 95, 100, 120})
        sent.push_back({at(m, 30), m == 85 ? static_cast<double>(NoReading) : 18.0 + m / 10.0});
    h.FillEarlier(sent, 6);
    EXPECT_EQ(changes.back(), Change::Reset);
    const auto& p = h.Points();
    ASSERT_EQ(p.size(), 7u);
    EXPECT_EQ(joined(h), (std::vector<bool>{false, true, true, false, false, true, false}));
    EXPECT_EQ(p.back().Last, 22.0);
}

TEST(TemperatureHistoryTest, EarlierReadingsBreakWhereTheyHaveAGap) {
    // A week of sends five minutes apart (a few seconds late at times), one
    // send missed and three hours without any: whatever the period is now,
    // the line breaks at those two places only.
    std::vector<HistorySample> sent;
    for (int m = 0; m < 7 * 24 * 60; m += 5)
        if (m != 3000 && (m < 6000 || m >= 6180))
            sent.push_back({at(m, m % 35 == 0 ? 4 : 1), 20.0});
    TemperatureHistory h;
    h.FillEarlier(sent);
    std::vector<std::int64_t> breaks;
    for (const HistoryPoint& p : h.Points())
        if (!p.Joined)
            breaks.push_back(p.Minute - kStart);
    EXPECT_EQ(breaks, (std::vector<std::int64_t>{0, 3005, 6180}));
}
