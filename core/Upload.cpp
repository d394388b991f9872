#include "core/Upload.h"

#include "core/EventLog.h"
#include "core/Link.h"
#include "core/Settings.h"
#include "core/TemperatureLog.h"
#include "platform/FormatSettings.h"

#include <QUrl>
#include <algorithm>
#include <limits>
#include <utility>

TUploader::TUploader(TSettingsModel& settings, TEventLog& log, TLink& link, Fetcher fetch,
                     int minuteMs, platform::AppPaths paths, std::function<QDateTime()> clock,
                     QObject* parent)
    : QObject(parent), Settings_(settings), Log_(log), Link_(link), Fetch_(std::move(fetch)),
      MinuteMs_(std::max(minuteMs, 1)), Paths_(std::move(paths)), Clock_(std::move(clock)) {
    Timer_.setObjectName(QStringLiteral("Timer1"));
    PeriodMs_ = MinuteMs_;
    Timer_.setInterval(PeriodMs_);
    connect(&Timer_, &QTimer::timeout, this, [this] {
        SinceLast_.start();
        if (std::exchange(ShortWait_, false))
            Timer_.setInterval(PeriodMs_);
        Send(/*manual=*/false);
    });
    connect(&Settings_, &TSettingsModel::Changed, this, [this](Setting id) {
        if (id == Setting::Period)
            ApplyPeriod(/*restart=*/!Reloading_);
    });
    Timer_.start();
    SinceLast_.start();
}

void TUploader::ApplyPeriod(bool restart) {
    if (Stopped_)
        return;
    const int minutes = Settings_.Integer(Setting::Period);
    // Without overflowing the timer's int of milliseconds.
    const long long ms = static_cast<long long>(minutes) * MinuteMs_;
    const int interval =
        static_cast<int>(std::clamp<long long>(ms, 0, std::numeric_limits<int>::max()));
    const bool running = Timer_.isActive();
    const bool unchanged = running && PeriodMs_ == interval;
    PeriodMs_ = interval;
    if (minutes == 0) {
        ShortWait_ = false;
        Timer_.stop();
        Timer_.setInterval(interval);
        return;
    }
    if (!restart && unchanged)
        return;
    // Also from period 0: the last send is what the new period counts
    // from, not the moment automatic sending was switched on again.
    ShortWait_ = !restart;
    if (!ShortWait_)
        SinceLast_.start();
    Timer_.start(ShortWait_ ? static_cast<int>(std::max<qint64>(interval - SinceLast_.elapsed(), 0))
                            : interval);
}

// A log that cannot be written (a full disk, a lost directory) is said once,
// not at every send, and its recovery once, so the event log shows the gap.
void TUploader::AppendTemperatureLine(long double temperature) {
    QString failure;
    const bool ok = AppendToTemperatureLog(Paths_, Clock_(), temperature, &failure);
    if (!ok && !TemperatureLogFailed_)
        Log_.Add(QStringLiteral("ERR  Temperature log cannot be written (%1)").arg(failure));
    else if (ok && TemperatureLogFailed_)
        Log_.Add(QStringLiteral("OK  Temperature log is written again"));
    TemperatureLogFailed_ = !ok;
}

TUploader::~TUploader() {
    // The fetcher may be shared: its answer must not reach a dead uploader.
    if (Busy_ && Fetch_)
        Fetch_->Abort();
}

QString TUploader::TargetFor(const QString& target, long double temperature,
                             const QDateTime& when) {
    const QString value = platform::FormatSettings::Current().FormatTemperature(temperature);
    if (!target.contains(QLatin1String("{value}")) && !target.contains(QLatin1String("{time}")))
        return target + value;
    QString url = target;
    url.replace(QLatin1String("{value}"), QString::fromLatin1(QUrl::toPercentEncoding(value)));
    url.replace(QLatin1String("{time}"),
                QString::fromLatin1(QUrl::toPercentEncoding(when.toUTC().toString(Qt::ISODate))));
    return url;
}

TSpool& TUploader::BacklogSpool() {
    if (!Backlog_) {
        const qint64 limit =
            static_cast<qint64>(std::max(Settings_.Integer(Setting::TimeSeriesSpoolLimitMB), 1)) *
            1024 * 1024;
        Backlog_ = std::make_unique<TSpool>(Paths_.Dir + QStringLiteral("/backlog"),
                                            QStringLiteral("upload"), limit,
                                            [this](const QString& line) { Log_.Add(line); });
        Backlog_->Open();
    }
    return *Backlog_;
}

void TUploader::ResendNext() {
    const QString target = Settings_.Text(Setting::TargetURL);
    if (Stopped_ || Busy_ || !Fetch_ || !target.contains(QLatin1String("{time}")))
        return;
    TSpool& backlog = BacklogSpool();
    std::vector<SpoolRecord> next = backlog.Peek(1);
    while (next.empty() && !backlog.Empty()) {
        backlog.Consume(); // a damaged record
        next = backlog.Peek(1);
    }
    if (next.empty())
        return;
    // Not a send of its own: its lines were logged when it failed.
    Busy_ = true;
    BusyResend_ = true;
    const QString url =
        TargetFor(target, next.front().Value, QDateTime::fromMSecsSinceEpoch(next.front().TimeMs));
    Fetch_->Start(url.toStdString(), [this](const FetchResult& result) {
        Busy_ = false;
        BusyResend_ = false;
        if (result.Ok) {
            Backlog_->Consume();
            ++Resent_;
            if (Backlog_->Empty()) {
                Log_.Add(QStringLiteral("OK  %1 missed sends were sent again with their times.")
                             .arg(Resent_));
                Resent_ = 0;
            }
        }
        if (Pending_ && !Stopped_) {
            Pending_ = false;
            Begin(std::exchange(PendingManual_, false));
        } else if (result.Ok) {
            ResendNext();
        }
    });
}

void TUploader::Stop() {
    Stopped_ = true;
    Timer_.stop();
    Pending_ = false;
    if (Busy_) {
        Busy_ = false;
        if (Fetch_)
            Fetch_->Abort();
        if (!std::exchange(BusyResend_, false))
            Finish(BusyManual_, BusyTemperature_,
                   QStringLiteral("cancelled, the program is closing"));
    }
    if (Backlog_)
        Backlog_->Sync();
}

void TUploader::Send(bool manual) {
    if (Stopped_)
        return;
    if (Busy_) {
        // Never a queue: the follow-up takes the reading of its own start.
        Pending_ = true;
        PendingManual_ = PendingManual_ || manual;
        return;
    }
    Begin(manual);
}

// Without a live reading the no-reading value is sent, so the server keeps
// its rhythm and can tell the gap from a temperature.
void TUploader::Begin(bool manual) {
    const long double temperature = Link_.Temperature();
    const QString target = Settings_.Text(Setting::TargetURL);
    if (target.trimmed().isEmpty()) {
        // "http://" alone would ask port 80 of this machine.
        Finish(manual, temperature, QStringLiteral("no target URL"));
        return;
    }
    if (!Fetch_) {
        Finish(manual, temperature, QStringLiteral("no HTTP client"));
        return;
    }
    // Appended, the temperature text goes unescaped; the fetch encodes what
    // may not stand in a URL only on the wire.
    const QDateTime when = Clock_();
    const std::string url = TargetFor(target, temperature, when).toStdString();
    const bool keepsTime = target.contains(QLatin1String("{time}"));
    Busy_ = true;
    BusyManual_ = manual;
    BusyTemperature_ = temperature;
    BusyTime_ = when;
    Fetch_->Start(url, [this, keepsTime](const FetchResult& result) {
        Busy_ = false;
        QString cause;
        if (!result.Ok)
            cause = result.Error.empty() ? QStringLiteral("no response")
                                         : QString::fromStdString(result.Error);
        // A periodic value with its time is worth sending later; on the
        // device within the minute (a send is at most once a minute).
        if (!cause.isEmpty() && keepsTime && !BusyManual_) {
            QString error;
            TSpool& backlog = BacklogSpool();
            if (backlog.Append(
                    {{BusyTime_.toMSecsSinceEpoch(), static_cast<double>(BusyTemperature_)}},
                    &error))
                backlog.Sync();
            else
                Log_.Add(QStringLiteral("ERR  The missed send cannot be kept (%1)").arg(error));
        }
        Finish(BusyManual_, BusyTemperature_, cause);
        // The server answers again: what it missed follows.
        if (cause.isEmpty() && keepsTime)
            ResendNext();
    });
}

void TUploader::Finish(bool manual, long double temperature, const QString& cause) {
    if (!cause.isEmpty())
        Log_.Add(QStringLiteral("ERR  Information cannot nepodařilo odeslat! (%1)").arg(cause));
    else if (manual)
        Log_.Add(QStringLiteral("OK  Information successfully send"));

    if (Settings_.Check(Setting::GeneTemp))
        AppendTemperatureLine(temperature);
    emit Sent(Clock_(), cause);

    if (Pending_ && !Stopped_ && !Busy_) {
        Pending_ = false;
        const bool pendingManual = PendingManual_;
        PendingManual_ = false;
        Begin(pendingManual);
    }
}
