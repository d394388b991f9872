#include "gui/HistoryAxis.h"

#include "core/TemperatureHistory.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>

namespace {

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// The locale's time of day without seconds: "%H:%M:%S" -> "%H:%M",
// "%r" -> "%I:%M %p".
std::string shortTimeFormat(std::string format) {
    for (std::size_t at; (at = format.find("%T")) != std::string::npos;)
        format.replace(at, 2, "%H:%M:%S");
    for (std::size_t at; (at = format.find("%r")) != std::string::npos;)
        format.replace(at, 2, "%I:%M:%S %p");
    if (const std::size_t at = format.find("%S"); at != std::string::npos) {
        const bool separated = at > 0 && format[at - 1] != '%' && format[at - 1] != ' ';
        format.erase(separated ? at - 1 : at, separated ? 3 : 2);
    }
    return format;
}

// A step of 1, 2 or 5 times a power of ten, at least `rough`.
double niceStep(double rough) {
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * power >= rough)
            return m * power;
    return 10 * power;
}

} // namespace

HistorySpanInfo HistorySpanInfoOf(HistorySpan span) {
    switch (span) {
    case HistorySpan::Hour:
        return {60, 2};
    case HistorySpan::Day:
        return {24 * 60, 20};
    case HistorySpan::Week:
        break;
    }
    return {TemperatureHistory::kSpanMinutes, 120};
}

std::int64_t HistoryMinuteOf(const QDateTime& t) {
    return floorDiv(t.toMSecsSinceEpoch(), 60000);
}

QDateTime HistoryTimeOfMinute(std::int64_t minute) {
    return QDateTime::fromMSecsSinceEpoch(minute * 60000);
}

HistoryRange HistoryRangeOf(HistorySpan span, std::int64_t newestMinute) {
    const HistorySpanInfo info = HistorySpanInfoOf(span);
    const std::int64_t end = (floorDiv(newestMinute, info.Step) + 1) * info.Step;
    return {end - info.Minutes - info.Step, end};
}

platform::FormatSettings HistoryShortTimeFormats(const platform::FormatSettings& formats) {
    platform::FormatSettings shortTime = formats;
    shortTime.LongTimeFormat = shortTimeFormat(formats.LongTimeFormat);
    return shortTime;
}

int HistoryTickMinutes(HistorySpan span, int labelWidth, int viewWidth) {
    // The plot is the view less the value labels and margins.
    const int room = std::max(viewWidth - 80, 100) / (labelWidth + 16);
    static const int hour[] = {5, 10, 15, 20, 30, 60};
    static const int day[] = {60, 120, 180, 240, 360, 480, 720, 1440};
    static const int week[] = {1440, 2880, 10080};
    const auto candidates = span == HistorySpan::Hour  ? std::span<const int>(hour)
                            : span == HistorySpan::Day ? std::span<const int>(day)
                                                       : std::span<const int>(week);
    const std::int64_t minutes = HistorySpanInfoOf(span).Minutes;
    for (int every : candidates)
        if (minutes / every + 1 <= room)
            return every;
    return candidates.back();
}

std::vector<HistoryTimeTick> HistoryTimeTicks(HistorySpan span, HistoryRange range, int tickMinutes,
                                              const platform::FormatSettings& formats) {
    // Ticks within the span and clear of the ends, where a label centred on
    // its tick would stick out.
    const std::int64_t margin = (range.End - range.Start) / 20;
    const std::int64_t first =
        std::max(range.End - HistorySpanInfoOf(span).Minutes, range.Start + margin);
    const std::int64_t last = range.End - margin;
    const platform::FormatSettings shortTime = HistoryShortTimeFormats(formats);
    const int everyDays = std::max(tickMinutes / 1440, 1);
    const int everyMinutes = std::min(tickMinutes, 1440);
    std::vector<HistoryTimeTick> ticks;
    const QDate lastDay = HistoryTimeOfMinute(range.End).date();
    for (QDate day = HistoryTimeOfMinute(first).date(); day <= lastDay; day = day.addDays(1)) {
        if (day.toJulianDay() % everyDays != 0)
            continue;
        for (int m = 0; m < 24 * 60; m += everyMinutes) {
            const QDateTime at(day, QTime(m / 60, m % 60));
            const std::int64_t minute = HistoryMinuteOf(at);
            if (minute <= first || minute >= last)
                continue;
            const QString label = (m == 0 && span != HistorySpan::Hour)
                                      ? formats.FormatShortDate(at)
                                      : shortTime.FormatLongTime(at);
            // The axis keys its ticks by label.
            const bool repeated = std::any_of(ticks.begin(), ticks.end(),
                                              [&](const auto& t) { return t.Label == label; });
            if (!label.isEmpty() && !repeated)
                ticks.push_back({label, minute});
        }
    }
    return ticks;
}

HistoryValueAxis HistoryValueAxisOf(bool hasData, double low, double high) {
    double lo = hasData ? low : 15.0;
    double hi = hasData ? high : 25.0;
    if (hi - lo < 1.0) {
        const double mid = (lo + hi) / 2;
        lo = mid - 0.5;
        hi = mid + 0.5;
    }
    HistoryValueAxis axis{};
    axis.Step = niceStep((hi - lo) / 5);
    axis.Min = std::floor(lo / axis.Step) * axis.Step;
    axis.Max = std::ceil(hi / axis.Step) * axis.Step;
    // Room between the line and the frame.
    if (lo - axis.Min < axis.Step / 4)
        axis.Min -= axis.Step;
    if (axis.Max - hi < axis.Step / 4)
        axis.Max += axis.Step;
    // About five to ten.
    const double steps = (axis.Max - axis.Min) / axis.Step;
    axis.Ticks = steps >= 0 && steps <= 20 ? static_cast<int>(std::lround(steps)) : 0;
    return axis;
}
