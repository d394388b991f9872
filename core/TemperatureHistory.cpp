#include "core/TemperatureHistory.h"

#include "core/TemperatureLogReader.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <thread>

namespace {

using Change = TemperatureHistory::Change;

std::int64_t minuteOf(std::int64_t msecs) {
    // Floor division: a time before the epoch still falls into its own minute.
    return msecs >= 0 ? msecs / 60000 : -((-msecs + 59999) / 60000);
}

// Adds one reading to points. breakPending carries a failure (or the start)
// forward to the next point; joinable says whether a new point may continue
// the line from the one before; fromLog: NoReading is the log's mark of a
// failed send, not a reading. Returns whether anything changed and how.
bool addTo(std::deque<HistoryPoint>& points, bool& breakPending, std::int64_t minute, double value,
           bool joinable, bool fromLog, Change& change) {
    if ((fromLog && value == static_cast<double>(NoReading)) || !std::isfinite(value)) {
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
        const bool joined = joinable && !breakPending && !points.empty();
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
    const bool joinable = !Points_.empty() && minuteOf(msecs) - Points_.back().Minute <= 1;
    if (addTo(Points_, BreakPending_, minuteOf(msecs), value, joinable, false, change))
        emit Changed(change);
}

TemperatureHistory::Earlier
TemperatureHistory::PointsFrom(const std::vector<HistorySample>& samples) {
    constexpr std::int64_t kMinGapMs = 60000;
    const std::size_t n = samples.size();
    // spacing[i]: from reading i - 1 to reading i (a failed one counts: it
    // was a send all the same).
    std::vector<std::int64_t> spacing(n, 0);
    for (std::size_t i = 1; i < n; ++i)
        spacing[i] = samples[i].MSecs - samples[i - 1].MSecs;
    Earlier earlier;
    bool breakPending = false;
    Change ignored{};
    for (std::size_t i = 0; i < n; ++i) {
        bool joinable = false;
        if (i > 0) {
            std::int64_t around[5];
            std::size_t count = 0;
            for (std::size_t k = std::max<std::size_t>(i, 3) - 2; k <= std::min(i + 2, n - 1); ++k)
                around[count++] = spacing[k];
            std::nth_element(around, around + count / 2, around + count);
            const std::int64_t usual = around[count / 2];
            joinable = spacing[i] <= std::max(usual + usual / 2, kMinGapMs);
        }
        addTo(earlier.Points, breakPending, minuteOf(samples[i].MSecs), samples[i].Value, joinable,
              true, ignored);
    }
    earlier.LastFailed = breakPending;
    return earlier;
}

void TemperatureHistory::FillEarlier(const Earlier& earlier) {
    const std::int64_t limit =
        Points_.empty() ? std::numeric_limits<std::int64_t>::max() : Points_.front().Minute;
    const auto end = std::lower_bound(
        earlier.Points.begin(), earlier.Points.end(), limit,
        [](const HistoryPoint& p, std::int64_t minute) { return p.Minute < minute; });
    if (end == earlier.Points.begin())
        return;
    if (Points_.empty())
        BreakPending_ = earlier.LastFailed;
    Points_.insert(Points_.begin(), earlier.Points.begin(), end);
    while (Points_.front().Minute <= Points_.back().Minute - kSpanMinutes)
        Points_.pop_front();
    emit Changed(Change::Reset);
}

// Shared by the history and the worker reading its logs. The worker hands
// its points over only while Receiver is set, under Lock, so the history
// cannot be destroyed between the check and the posting; a posted call
// dies with the history.
struct TemperatureHistory::LoadState {
    std::atomic<bool> Cancel{false};
    std::mutex Lock;
    TemperatureHistory* Receiver = nullptr;
};

TemperatureHistory::~TemperatureHistory() {
    if (Load_) {
        Load_->Cancel = true;
        const std::lock_guard<std::mutex> lock(Load_->Lock);
        Load_->Receiver = nullptr;
    }
}

void TemperatureHistory::LoadEarlier(const TemperatureLogQuery& query) {
    if (Load_)
        return;
    auto state = std::make_shared<LoadState>();
    state->Receiver = this;
    // Worker thread: reads and builds the points; only the merge is left to
    // this object's thread. Detached: a program that ends meanwhile neither
    // waits for a slow disk nor is touched by it afterwards.
    auto work = [state, query] {
        pthread_setname_np(pthread_self(), "kelvox-history");
        auto earlier =
            std::make_shared<Earlier>(PointsFrom(ReadTemperatureLogs(query, &state->Cancel)));
        const std::lock_guard<std::mutex> lock(state->Lock);
        if (!state->Receiver || state->Cancel)
            return;
        TemperatureHistory* history = state->Receiver;
        QMetaObject::invokeMethod(
            history,
            [history, state, earlier] {
                if (history->Load_ != state)
                    return;
                history->Load_.reset();
                history->FillEarlier(*earlier);
            },
            Qt::QueuedConnection);
    };
    Load_ = state;
    try {
        std::thread(work).detach();
    } catch (const std::system_error&) {
        // No thread to be had: read here rather than lose the days.
        Load_.reset();
        FillEarlier(PointsFrom(ReadTemperatureLogs(query)));
    }
}
