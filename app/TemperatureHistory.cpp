#include "app/TemperatureHistory.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

using Change = TemperatureHistory::Change;

std::int64_t minuteOf(std::int64_t msecs) {
    // Floor division: a time before the epoch still falls into its own minute.
    return msecs >= 0 ? msecs / 60000 : -((-msecs + 59999) / 60000);
}

// Adds one reading to points. breakPending carries a failure (or the start)
// forward to the next point. Returns whether anything changed and how.
bool addTo(std::deque<HistoryPoint>& points, bool& breakPending, std::int64_t minute, double value,
           std::int64_t joinMinutes, Change& change) {
    if (value == TemperatureHistory::kFailed || !std::isfinite(value)) {
        breakPending = true;
        return false;
    }
    bool reset = false;
    while (!points.empty() && points.back().Minute > minute) {
        points.pop_back();
        reset = true;
    }
    if (!points.empty() && points.back().Minute == minute) {
        HistoryPoint& p = points.back();
        p.Min = std::min(p.Min, value);
        p.Max = std::max(p.Max, value);
        p.Last = value;
        change = reset ? Change::Reset : Change::LastUpdated;
    } else {
        const bool joined =
            !breakPending && !points.empty() && minute - points.back().Minute <= joinMinutes;
        points.push_back({minute, value, value, value, joined});
        change = reset ? Change::Reset : Change::Appended;
    }
    breakPending = false;
    while (points.front().Minute <= points.back().Minute - TemperatureHistory::kSpanMinutes)
        points.pop_front();
    return true;
}

} // namespace

void TemperatureHistory::AddReading(std::int64_t msecs, double value) {
    Change change{};
    if (addTo(Points_, BreakPending_, minuteOf(msecs), value, 1, change))
        emit Changed(change);
}

void TemperatureHistory::FillEarlier(const std::vector<HistorySample>& samples, int joinMinutes) {
    const std::int64_t limit =
        Points_.empty() ? std::numeric_limits<std::int64_t>::max() : Points_.front().Minute;
    std::deque<HistoryPoint> earlier;
    bool breakPending = false;
    Change ignored{};
    for (const HistorySample& s : samples) {
        const std::int64_t minute = minuteOf(s.MSecs);
        if (minute < limit)
            addTo(earlier, breakPending, minute, s.Value, std::max(joinMinutes, 1), ignored);
    }
    if (earlier.empty())
        return;
    if (Points_.empty())
        BreakPending_ = breakPending;
    Points_.insert(Points_.begin(), earlier.begin(), earlier.end());
    while (Points_.front().Minute <= Points_.back().Minute - kSpanMinutes)
        Points_.pop_front();
    emit Changed(Change::Reset);
}
