// The upload of the current temperature (an HTTP GET of the target URL with
// the temperature text appended) every period, or at once when asked, and
// the daily temperature log line of each send.
//
// A target URL may instead hold {value} and {time} (ISO 8601, UTC), which
// are replaced, encoded for a query. With {time}, a periodic send that
// failed is kept in a backlog (core/Spool.h) and sent again, with its own
// value and time, oldest first, once a send succeeds; without it nothing
// is sent again, since an old value without its time would be a wrong one.
//
// Main thread only. The request runs beside the event loop: nothing waits
// for the server, whose answer (or the fetch's time-outs, 10 s to connect,
// 20 s in all) ends the send later. One request at a time: a send asked for
// while one is under way is made once that one has ended, and any number of
// such asks make that one send.
#pragma once

#include "core/Spool.h"
#include "core/UrlFetcher.h"
#include "platform/AppPaths.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <memory>

class TEventLog;
class TLink;
class TSettingsModel;

class TUploader : public QObject {
    Q_OBJECT
public:
    // Null: no HTTP client (every send to a target fails).
    using Fetcher = std::shared_ptr<UrlFetcher>;

    // minuteMs: the length of one period minute (> 0). The temperature log
    // goes into paths' directory, its lines stamped by clock.
    TUploader(TSettingsModel& settings, TEventLog& log, TLink& link, Fetcher fetch, int minuteMs,
              platform::AppPaths paths, std::function<QDateTime()> clock,
              QObject* parent = nullptr);
    ~TUploader() override;

    // The upload period; interval = period x minute, stopped at period 0.
    QTimer* Timer() { return &Timer_; }

    // One send: automatic (the timer's) or manual (the Send button, SIGUSR1).
    // It takes the reading and the target URL when its request starts. A
    // send that did not reach the server with status 200 or 302 is logged
    // as an error either way, with its cause; a successful one is logged
    // only when manual. The temperature log gets its line whatever the
    // outcome; its first failed line and its first line after a failure are
    // logged. While a request is under way, the asks wait as one follow-up
    // send (manual if any of them was). Nothing once Stop() was called.
    void Send(bool manual);
    // True while a request is under way.
    bool Busy() const { return Busy_; }
    // No send starts from here on (the program is closing): a waiting
    // follow-up is dropped and the request under way is cancelled, which
    // ends its send as failed.
    void Stop();
    bool Stopped() const { return Stopped_; }
    // Puts the timer in line with the period setting. With restart, the
    // countdown of a whole period starts now. Without, an unchanged period
    // leaves the countdown alone, and a changed one makes the next send due
    // one new period after the last one (at once when that time is past).
    void ApplyPeriod(bool restart);
    // While a reload reads the settings, a changed period is applied
    // without restart.
    void SetReloading(bool on) { Reloading_ = on; }

    // Periodic sends that failed and wait to be sent again ({time} only).
    qint64 Backlog() const { return Backlog_ ? Backlog_->Count() : 0; }

    // The URL of one send: {value} and {time} replaced and encoded, or,
    // with neither, the temperature text appended as it is.
    static QString TargetFor(const QString& target, long double temperature, const QDateTime& when);

signals:
    // A send ended: its time, and the cause of its failure (empty: success).
    void Sent(const QDateTime& when, const QString& failure);

private:
    void Begin(bool manual);
    void Finish(bool manual, long double temperature, const QString& cause);
    void AppendTemperatureLine(long double temperature);
    // Sends the oldest kept send again, when there is one and nothing is
    // under way.
    void ResendNext();
    TSpool& BacklogSpool();

    TSettingsModel& Settings_;
    TEventLog& Log_;
    TLink& Link_;
    Fetcher Fetch_;
    int MinuteMs_;
    platform::AppPaths Paths_;
    std::function<QDateTime()> Clock_;
    QTimer Timer_;
    int PeriodMs_ = 0;        // the period's interval
    bool ShortWait_ = false;  // Timer_ runs a shorter first wait, then PeriodMs_
    QElapsedTimer SinceLast_; // since the last automatic send or a restart
    bool Reloading_ = false;
    bool Stopped_ = false;
    // The request under way: whether its send is manual, and its reading.
    bool Busy_ = false;
    bool BusyManual_ = false;
    long double BusyTemperature_ = 0;
    // A follow-up send was asked for while busy (and whether manually).
    bool Pending_ = false;
    bool PendingManual_ = false;
    bool TemperatureLogFailed_ = false;
    QDateTime BusyTime_;              // when the send under way was made
    bool BusyResend_ = false;         // the request under way sends a kept one again
    std::unique_ptr<TSpool> Backlog_; // from the first failed send with {time}
    qint64 Resent_ = 0;
};
