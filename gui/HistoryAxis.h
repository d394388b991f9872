// The arithmetic behind the history window's axes: which minutes a span
// plots, where the time axis puts its labels and what they say, and the
// range and steps of the value axis. QtCore only, no widget; any thread
// (the formats are passed in).
#pragma once

#include "platform/FormatSettings.h"

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <vector>

enum class HistorySpan { Hour, Day, Week };

struct HistorySpanInfo {
    std::int64_t Minutes; // what the span shows
    std::int64_t Step;    // how far the time axis moves at a time
};
HistorySpanInfo HistorySpanInfoOf(HistorySpan span);

// Minutes since the epoch, rounded down also before 1970.
std::int64_t HistoryMinuteOf(const QDateTime& t);
QDateTime HistoryTimeOfMinute(std::int64_t minute);

// The plotted minutes: the span and one step more, ending at the step after
// the newest minute.
struct HistoryRange {
    std::int64_t Start;
    std::int64_t End;
};
HistoryRange HistoryRangeOf(HistorySpan span, std::int64_t newestMinute);

// The formats with the time of day cut to hours and minutes.
platform::FormatSettings HistoryShortTimeFormats(const platform::FormatSettings& formats);

// Minutes between two time labels: the smallest round step (minutes for the
// hour, hours for the day, days for the week) whose labels, each
// labelWidth wide, fit into a chart viewWidth wide.
int HistoryTickMinutes(HistorySpan span, int labelWidth, int viewWidth);

// The labels of the time axis at round local times, clear of the range's
// ends: the date at midnight (beyond the hour span), else the short time.
// A label the clock repeats (an hour going back) is given once.
struct HistoryTimeTick {
    QString Label;
    std::int64_t Minute;
};
std::vector<HistoryTimeTick> HistoryTimeTicks(HistorySpan span, HistoryRange range, int tickMinutes,
                                              const platform::FormatSettings& formats);

// The value axis over [low, high] (15-25 without data): a step of 1, 2 or
// 5 times a power of ten giving about five steps, ends on steps with room
// to the line, and the number of steps labelled (none for a range beyond
// what a double can span).
struct HistoryValueAxis {
    double Min;
    double Max;
    double Step;
    int Ticks;
};
HistoryValueAxis HistoryValueAxisOf(bool hasData, double low, double high);
