// The upload of the current temperature (an HTTP GET of the target URL with
// the temperature text appended) every period, or at once when asked, and
// the daily temperature log line of each send.
//
// Main thread only. The request is synchronous: the caller waits until the
// server has answered or the fetch's time-outs (10 s to connect, 20 s in
// all) have struck.
#pragma once

#include "net/uHTML.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <string>

class TEventLog;
class TLink;
class TSettingsModel;

class TUploader : public QObject {
    Q_OBJECT
public:
    using Fetcher = std::function<FetchResult(const std::string& url)>;

    TUploader(TSettingsModel& settings, TEventLog& log, TLink& link, Fetcher fetch, int minuteMs,
              QObject* parent = nullptr);

    // The upload period; interval = period x minute, stopped at period 0.
    QTimer* Timer() { return &Timer_; }

    // One send: automatic (the timer's) or manual (the Send button, SIGUSR1).
    // A send that did not reach the server with status 200 or 302 is logged
    // as an error either way, with its cause; a successful one is logged
    // only when manual. The temperature log gets its line whatever the
    // outcome; its first failed line and its first line after a failure are
    // logged. Nothing once Stop() was called.
    void Send(bool manual);
    // No send starts from here on (the program is closing).
    void Stop();
    bool Stopped() const { return Stopped_; }
    // Puts the timer in line with the period setting (restarting its
    // countdown when forced or when the interval changed).
    void ApplyPeriod(bool restart);

signals:
    // A send ended: its time, and the cause of its failure (empty: success).
    void Sent(const QDateTime& when, const QString& failure);

private:
    void AppendTemperatureLine(long double temperature);

    TSettingsModel& Settings_;
    TEventLog& Log_;
    TLink& Link_;
    Fetcher Fetch_;
    int MinuteMs_;
    QTimer Timer_;
    bool Stopped_ = false;
    bool TemperatureLogFailed_ = false;
};
