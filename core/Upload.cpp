#include "core/Upload.h"

#include "core/EventLog.h"
#include "core/Link.h"
#include "core/Settings.h"
#include "core/TemperatureLog.h"
#include "platform/FormatSettings.h"

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
    ShortWait_ = !restart && running;
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

void TUploader::Stop() {
    Stopped_ = true;
    Timer_.stop();
    Pending_ = false;
    if (Busy_) {
        Busy_ = false;
        if (Fetch_)
            Fetch_->Abort();
        Finish(BusyManual_, BusyTemperature_, QStringLiteral("cancelled, the program is closing"));
    }
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
    // The temperature text appended unescaped; the fetch encodes what may
    // not stand in a URL only on the wire.
    const std::string url =
        target.toStdString() +
        platform::FormatSettings::Current().FormatTemperature(temperature).toStdString();
    Busy_ = true;
    BusyManual_ = manual;
    BusyTemperature_ = temperature;
    Fetch_->Start(url, [this](const FetchResult& result) {
        Busy_ = false;
        QString cause;
        if (!result.Ok)
            cause = result.Error.empty() ? QStringLiteral("no response")
                                         : QString::fromStdString(result.Error);
        Finish(BusyManual_, BusyTemperature_, cause);
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
