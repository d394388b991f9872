// The temperature history behind the chart: the converted readings of the
// last seven days, kept as one point per minute (lowest, highest and last
// reading of that minute), so its size depends neither on the reading rate
// nor on how long the program runs. Lives on the main thread; only the
// reading of the logs runs on a worker thread of its own.
#pragma once

#include "core/LinkState.h"
#include "core/TemperatureLogReader.h"

#include <QObject>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

// One minute of readings. Minute counts minutes since the epoch (UTC), so a
// change of daylight saving time neither folds nor tears the line.
struct HistoryPoint {
    std::int64_t Minute = 0;
    double Min = 0;
    double Max = 0;
    double Last = 0;
    // The line continues from the previous point: neither a failed reading
    // nor a time without readings lies between the two.
    bool Joined = false;
};

class TemperatureHistory : public QObject {
    Q_OBJECT
public:
    static constexpr std::int64_t kSpanMinutes = 7 * 24 * 60;

    enum class Change {
        LastUpdated, // the newest point took another reading
        Appended,    // a new newest point (older ones may have left the front)
        Reset,       // anything else: points inserted or removed in between
    };

    explicit TemperatureHistory(QObject* parent = nullptr) : QObject(parent) {}
    // Cancels a reading of the logs still under way; never waits for it.
    ~TemperatureHistory() override;

    // Oldest first; at most kSpanMinutes points, all within kSpanMinutes of
    // the newest.
    const std::deque<HistoryPoint>& Points() const { return Points_; }
    // The newest reading failed: the line is broken after the last point.
    bool LastFailed() const { return BreakPending_; }

    // A converted reading taken at msecs (NoReading included: a live reading is
    // one, whatever its value); anything not finite breaks the line instead. Two minutes in a row
    // with readings are joined. A reading before the newest point means the clock went back: the
    // points after it are dropped, as their time has not come.
    void AddReading(std::int64_t msecs, double value);

    // The next reading starts a new line (a failed reading, a closed port).
    void BreakLine() { BreakPending_ = true; }

    // Points made from earlier readings (read back from the temperature
    // logs, in time order), not yet put in front of the live ones.
    struct Earlier {
        std::deque<HistoryPoint> Points;
        bool LastFailed = false; // the newest of those readings failed
    };
    // The line breaks where the readings themselves have a gap: a reading
    // more than half as late again as the usual spacing around it (the
    // median of the five neighbouring spacings), and at least a minute
    // late. So sends of any period make one line, whatever the period is
    // now, and a missed send breaks it. Any thread: it touches no object.
    static Earlier PointsFrom(const std::vector<HistorySample>& samples);

    // Puts earlier points in front of what is there. Those at or after the
    // first point's minute are left out: the live readings already cover
    // that time.
    void FillEarlier(const Earlier& earlier);
    void FillEarlier(const std::vector<HistorySample>& samples) {
        FillEarlier(PointsFrom(samples));
    }
    // The gaps come from the readings now; the upload period is not needed.
    void FillEarlier(const std::vector<HistorySample>& samples, int /*joinMinutes*/) {
        FillEarlier(samples);
    }

    // Reads the day logs the query names on a worker thread and puts their
    // points in front (FillEarlier, on this object's thread) once they are
    // read; returns at once, so the chart shows the live points meanwhile.
    // Ignored while an earlier call is still reading.
    void LoadEarlier(const TemperatureLogQuery& query);
    bool Loading() const { return Load_ != nullptr; }

signals:
    void Changed(TemperatureHistory::Change change);

private:
    struct LoadState;

    std::shared_ptr<LoadState> Load_; // while the logs are read
    std::deque<HistoryPoint> Points_;
    bool BreakPending_ = false;
};
