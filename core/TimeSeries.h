// The time-series output: every reading becomes one point of the line
// protocol (InfluxDB 1.x and 2, VictoriaMetrics),
//   <measurement>,host=<host>[,instance=<instance>] celsius=<value> <ms>
// stamped with the time it arrived, and goes to the receiver by HTTP POST
// in batches within 5 s of arriving.
//
// While the receiver acknowledges, nothing is written to disk. From the
// first failure on, every unacknowledged reading goes to a spool in the
// application directory (core/Spool.h) before anything relies on it, and
// the spool is replayed oldest first, in batches of up to 5,000 points,
// once the receiver answers again; readings that arrive meanwhile join its
// end. A point sent twice (an acknowledgement lost) has the same series and
// time, so the receiver keeps one.
//
// Answers: 2xx done; a 400 that says "partial write ... dropped=N" is done
// too, with one event log line for the points the receiver will never take;
// any other 4xx (a wrong token, bucket or database) keeps the points and
// shows the cause; 5xx, time-outs, refused and reset connections are tried
// again after 1 s, doubling up to 5 min. A timer runs only while there is
// something to send or to put on the device.
//
// Main thread only. Its fetcher is its own: one request at a time.
#pragma once

#include "core/Spool.h"
#include "core/UrlFetcher.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class TEventLog;

struct TimeSeriesSettings {
    QString Url; // the write endpoint; empty: off
    QString Token;
    QString Measurement = QStringLiteral("temperature");
    int SpoolLimitMB = 50;
};

enum class TimeSeriesState { Off, Sending, Backlog, Failed };

struct TimeSeriesStatus {
    TimeSeriesState State = TimeSeriesState::Off;
    qint64 Backlog = 0;             // readings in the spool
    std::optional<qint64> OldestMs; // the oldest of them
    QString Cause;                  // why the last send failed (Backlog, Failed)
};

// The words of the options lamp, the status line and the tooltip:
// "sending", "backlog 12 since 10:15", "failed: HTTP 401, backlog 12 since
// 10:15", "off". Times in the local zone; another day's with its date.
QString TimeSeriesStatusText(const TimeSeriesStatus& status, const QDateTime& now);

// Everything wrong with the settings, one sentence each, led by its key
// name ("URL: ..."); empty when the output can use them. A token is never
// quoted.
QStringList TimeSeriesSettingsProblems(const TimeSeriesSettings& settings);

// The write URL with precision=ms added when it names no precision.
QString TimeSeriesWriteUrl(const QString& url);

class TTimeSeries : public QObject {
    Q_OBJECT
public:
    static constexpr int BatchDelayMs = 4500; // a reading waits at most this long
    static constexpr std::size_t MaxBatch = 5000;
    static constexpr int FirstRetryMs = 1000;
    static constexpr int LastRetryMs = 300000;
    static constexpr int SyncDelayMs = 60000; // appended readings reach the device within

    // spoolDir: where the backlog lives (created at its first record).
    // host, instance: the series' tags (instance may be empty).
    TTimeSeries(TEventLog& log, std::shared_ptr<UrlFetcher> fetch, QString spoolDir, QString host,
                QString instance, std::function<QDateTime()> clock, QObject* parent = nullptr);
    ~TTimeSeries() override;

    // Switches the output on, off or to other settings. A backlog an
    // earlier run left is taken when the output is first switched on, and
    // sent at once; so is a waiting one when the settings change.
    void Apply(const TimeSeriesSettings& settings);
    // One converted reading, stamped with when it arrived.
    void Reading(long double value, const QDateTime& when);
    // The program is closing: the request under way is abandoned, readings
    // not acknowledged yet go to the spool, and the spool to the device.
    void Stop();

    TimeSeriesStatus Status();

signals:
    // The state, the backlog or the cause changed.
    void StatusChanged();

private:
    void Schedule();
    void SendPending();
    void SendFromSpool();
    void Post(std::vector<SpoolRecord> records, bool fromSpool);
    void Answered(const FetchResult& result);
    void Delivered();
    void Failed(const QString& cause, bool usersToFix);
    void Keep(const std::vector<SpoolRecord>& records);
    void BeginOutage();
    void EndOutage();
    QByteArray Body(const std::vector<SpoolRecord>& records) const;

    TEventLog& Log_;
    std::shared_ptr<UrlFetcher> Fetch_;
    QString SpoolDir_;
    QString Host_;
    QString Instance_;
    std::function<QDateTime()> Clock_;
    TimeSeriesSettings Settings_;
    std::unique_ptr<TSpool> Spool_; // from the first switch on
    QTimer BatchTimer_;
    QTimer RetryTimer_;
    QTimer SyncTimer_;
    int RetryMs_ = FirstRetryMs;
    bool Stopped_ = false;
    // Readings waiting in memory (no outage), and the request under way.
    std::vector<SpoolRecord> Pending_;
    QElapsedTimer PendingSince_;
    bool Busy_ = false;
    bool BusyFromSpool_ = false;
    std::vector<SpoolRecord> InFlight_; // the request's readings, when from memory
    std::size_t InFlightCount_ = 0;
    // The outage: readings go through the spool while it lasts.
    bool Outage_ = false;
    qint64 OutageSince_ = 0; // UTC ms
    qint64 Replayed_ = 0;    // readings of the backlog delivered since it began
    QString Cause_;
    bool UsersToFix_ = false;
    bool SpoolFailed_ = false;
    qint64 Lost_ = 0; // readings the spool could not take
};
