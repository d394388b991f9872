#include "core/TimeSeries.h"

#include "core/EventLog.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>
#include <algorithm>
#include <cmath>

namespace {

// The line protocol's escapes: a measurement escapes commas and spaces, a
// tag value also equals signs.
QString escaped(QString text, bool tag) {
    text.replace(u'\\', QStringLiteral("\\\\"));
    text.replace(u',', QStringLiteral("\\,"));
    text.replace(u' ', QStringLiteral("\\ "));
    if (tag)
        text.replace(u'=', QStringLiteral("\\="));
    return text;
}

// What a refusal's body says: InfluxDB and VictoriaMetrics answer with
// {"error": ...} or {"code": ..., "message": ...}; anything else as text.
QString reasonOf(const std::string& body) {
    const QByteArray bytes = QByteArray::fromStdString(body.substr(0, 4096));
    const QJsonObject json = QJsonDocument::fromJson(bytes).object();
    for (const char* key : {"error", "message"})
        if (json.value(QLatin1String(key)).isString())
            return json.value(QLatin1String(key)).toString().simplified().left(300);
    return QString::fromUtf8(bytes).simplified().left(300);
}

QString sinceText(qint64 ms, const QDateTime& now) {
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(ms);
    return when.date() == now.date() ? when.toString(QStringLiteral("HH:mm"))
                                     : when.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

} // namespace

QString TimeSeriesStatusText(const TimeSeriesStatus& status, const QDateTime& now) {
    QString backlog;
    if (status.Backlog > 0) {
        backlog = QStringLiteral("backlog %1").arg(status.Backlog);
        if (status.OldestMs)
            backlog += QStringLiteral(" since ") + sinceText(*status.OldestMs, now);
    }
    switch (status.State) {
    case TimeSeriesState::Off:
        return backlog.isEmpty() ? QStringLiteral("off") : QStringLiteral("off, ") + backlog;
    case TimeSeriesState::Sending:
        return QStringLiteral("sending");
    case TimeSeriesState::Backlog:
        return backlog.isEmpty() ? QStringLiteral("sending") : backlog;
    case TimeSeriesState::Failed:
        return QStringLiteral("failed: ") + status.Cause +
               (backlog.isEmpty() ? QString() : QStringLiteral(", ") + backlog);
    }
    return {};
}

QStringList TimeSeriesSettingsProblems(const TimeSeriesSettings& settings) {
    // A control character would end a header line or a line of the
    // protocol early; what follows it would be taken as something else.
    const auto hasControl = [](const QString& text) {
        return std::any_of(text.begin(), text.end(),
                           [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
    };
    QStringList problems;
    const QString url = settings.Url.trimmed();
    if (url.isEmpty())
        return problems; // off: nothing else matters
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        problems << QStringLiteral("URL: '%1' is not an http:// or https:// address").arg(url);
    else if (parsed.host().isEmpty())
        problems << QStringLiteral("URL: '%1' names no host").arg(url);
    else if (hasControl(url) || url.contains(u' '))
        problems << QStringLiteral("URL: the address holds a space or a control character");
    if (hasControl(settings.Token))
        problems << QStringLiteral("Token: the token holds a control character");
    if (settings.Measurement.trimmed().isEmpty())
        problems << QStringLiteral("Measurement: the measurement is empty");
    else if (hasControl(settings.Measurement))
        problems << QStringLiteral("Measurement: the measurement holds a control character");
    return problems;
}

QString TimeSeriesWriteUrl(const QString& url) {
    const QString trimmed = url.trimmed();
    const qsizetype query = trimmed.indexOf(u'?');
    if (query >= 0) {
        const QUrlQuery items(trimmed.mid(query + 1));
        if (items.hasQueryItem(QStringLiteral("precision")))
            return trimmed;
        return trimmed + (trimmed.endsWith(u'?') || trimmed.endsWith(u'&') ? QString() : "&") +
               QStringLiteral("precision=ms");
    }
    return trimmed + QStringLiteral("?precision=ms");
}

TTimeSeries::TTimeSeries(TEventLog& log, std::shared_ptr<UrlFetcher> fetch, QString spoolDir,
                         QString host, QString instance, std::function<QDateTime()> clock,
                         QObject* parent)
    : QObject(parent), Log_(log), Fetch_(std::move(fetch)), SpoolDir_(std::move(spoolDir)),
      Host_(std::move(host)), Instance_(std::move(instance)), Clock_(std::move(clock)) {
    BatchTimer_.setSingleShot(true);
    RetryTimer_.setSingleShot(true);
    SyncTimer_.setSingleShot(true);
    connect(&BatchTimer_, &QTimer::timeout, this, &TTimeSeries::SendPending);
    connect(&RetryTimer_, &QTimer::timeout, this, &TTimeSeries::SendFromSpool);
    connect(&SyncTimer_, &QTimer::timeout, this, [this] {
        if (Spool_)
            Spool_->Sync();
    });
}

TTimeSeries::~TTimeSeries() {
    // The fetcher's answer must not reach a dead object.
    if (Busy_ && Fetch_)
        Fetch_->Abort();
}

void TTimeSeries::Apply(const TimeSeriesSettings& settings) {
    if (Stopped_)
        return;
    const bool wasOn = !Settings_.Url.trimmed().isEmpty();
    const bool changed = settings.Url != Settings_.Url || settings.Token != Settings_.Token ||
                         settings.Measurement != Settings_.Measurement;
    Settings_ = settings;
    // Settings it cannot use leave the output off (the check of the file
    // has said why).
    if (!TimeSeriesSettingsProblems(Settings_).isEmpty())
        Settings_.Url.clear();
    const bool on = !Settings_.Url.trimmed().isEmpty();
    const qint64 limit = static_cast<qint64>(std::max(Settings_.SpoolLimitMB, 1)) * 1024 * 1024;
    if (Spool_)
        Spool_->SetLimit(limit);
    if (!on) {
        if (wasOn) {
            // Nothing is sent while off; what was not acknowledged waits in
            // the spool for the output to be switched on again.
            BatchTimer_.stop();
            RetryTimer_.stop();
            if (Busy_) {
                Busy_ = false;
                Fetch_->Abort();
                if (!BusyFromSpool_)
                    Keep(std::exchange(InFlight_, {}));
            }
            Keep(std::exchange(Pending_, {}));
            if (Spool_)
                Spool_->Sync();
            SyncTimer_.stop();
            Outage_ = Spool_ && !Spool_->Empty();
            Log_.Add(QStringLiteral("OK  Time series output switched off."));
            emit StatusChanged();
        }
        return;
    }
    if (!Spool_) {
        Spool_ = std::make_unique<TSpool>(SpoolDir_, QStringLiteral("timeseries"), limit,
                                          [this](const QString& line) { Log_.Add(line); });
        Spool_->Open();
        Outage_ = !Spool_->Empty();
        if (Outage_) {
            OutageSince_ = Spool_->OldestMs().value_or(Clock_().toMSecsSinceEpoch());
            Replayed_ = 0;
            Log_.Add(QStringLiteral("OK  Time series: %1 readings since %2 wait in the backlog.")
                         .arg(Spool_->Count())
                         .arg(SpoolTimeText(OutageSince_)));
        }
    }
    if (!wasOn)
        Log_.Add(QStringLiteral("OK  Time series output switched on."));
    if ((changed || !wasOn) && Outage_ && !Busy_) {
        // New settings may be the fix: no waiting out the back-off.
        RetryMs_ = FirstRetryMs;
        RetryTimer_.start(0);
    }
    emit StatusChanged();
}

void TTimeSeries::Reading(long double value, const QDateTime& when) {
    if (Stopped_ || Settings_.Url.trimmed().isEmpty() || !std::isfinite(value))
        return;
    const SpoolRecord record{when.toMSecsSinceEpoch(), static_cast<double>(value)};
    if (Outage_) {
        Keep({record});
        emit StatusChanged();
        return;
    }
    if (Pending_.empty())
        PendingSince_.start();
    Pending_.push_back(record);
    Schedule();
}

// The batch goes when its first reading has waited long enough, or at once
// when it is full; never while a request is under way (its end comes here).
void TTimeSeries::Schedule() {
    if (Busy_ || Outage_ || Pending_.empty())
        return;
    const qint64 waited = PendingSince_.isValid() ? PendingSince_.elapsed() : 0;
    const int due = Pending_.size() >= MaxBatch
                        ? 0
                        : static_cast<int>(std::max<qint64>(BatchDelayMs - waited, 0));
    if (!BatchTimer_.isActive() || BatchTimer_.remainingTime() > due)
        BatchTimer_.start(due);
}

void TTimeSeries::SendPending() {
    if (Busy_ || Outage_ || Pending_.empty())
        return;
    const std::size_t n = std::min(Pending_.size(), MaxBatch);
    std::vector<SpoolRecord> batch(Pending_.begin(), Pending_.begin() + n);
    Pending_.erase(Pending_.begin(), Pending_.begin() + n);
    if (!Pending_.empty())
        PendingSince_.start(); // near enough: the rest follows at once
    Post(std::move(batch), /*fromSpool=*/false);
}

void TTimeSeries::SendFromSpool() {
    if (Busy_ || !Outage_ || !Spool_ || Settings_.Url.trimmed().isEmpty())
        return;
    std::vector<SpoolRecord> batch = Spool_->Peek(MaxBatch);
    while (batch.empty() && !Spool_->Empty()) {
        Spool_->Consume(); // nothing but damaged records
        batch = Spool_->Peek(MaxBatch);
    }
    if (batch.empty()) {
        EndOutage();
        return;
    }
    Post(std::move(batch), /*fromSpool=*/true);
}

QByteArray TTimeSeries::Body(const std::vector<SpoolRecord>& records) const {
    const QByteArray series =
        (escaped(Settings_.Measurement.trimmed(), false) + QStringLiteral(",host=") +
         escaped(Host_, true) +
         (Instance_.isEmpty() ? QString()
                              : QStringLiteral(",instance=") + escaped(Instance_, true)) +
         QStringLiteral(" celsius="))
            .toUtf8();
    QByteArray body;
    body.reserve(static_cast<qsizetype>(records.size()) * (series.size() + 24));
    for (const SpoolRecord& r : records) {
        body += series;
        // Always a float field: "21" alone would be one too, but be plain.
        body += QByteArray::number(r.Value, 'g', 15);
        body += ' ';
        body += QByteArray::number(r.TimeMs);
        body += '\n';
    }
    return body;
}

void TTimeSeries::Post(std::vector<SpoolRecord> records, bool fromSpool) {
    FetchRequest request;
    request.Url = TimeSeriesWriteUrl(Settings_.Url).toStdString();
    request.Method = "POST";
    if (!Settings_.Token.isEmpty())
        request.Headers.push_back("Authorization: Token " + Settings_.Token.toStdString());
    request.Headers.push_back("Content-Type: text/plain; charset=utf-8");
    request.Body = Body(records).toStdString();
    Busy_ = true;
    BusyFromSpool_ = fromSpool;
    InFlightCount_ = records.size();
    InFlight_ = fromSpool ? std::vector<SpoolRecord>{} : std::move(records);
    if (!Fetch_) {
        QTimer::singleShot(0, this, [this] {
            FetchResult none;
            none.Error = "no HTTP client";
            Answered(none);
        });
        return;
    }
    Fetch_->Start(request, [this](const FetchResult& result) { Answered(result); });
}

void TTimeSeries::Answered(const FetchResult& result) {
    if (!Busy_)
        return;
    Busy_ = false;
    if (result.Ok) {
        Delivered();
        return;
    }
    // InfluxDB keeps the rest of a batch and names what it will never take
    // (beyond the retention policy, a field of another type).
    static const QRegularExpression dropped(QStringLiteral("dropped=(\\d+)"));
    const QString why = reasonOf(result.Body);
    if (result.Status == 400 && why.contains(QStringLiteral("partial write"))) {
        const QRegularExpressionMatch match = dropped.match(why);
        Log_.Add(QStringLiteral("ERR  Time series: the receiver refused %1 of %2 readings for "
                                "good (%3).")
                     .arg(match.hasMatch() ? match.captured(1) : QStringLiteral("some"))
                     .arg(InFlightCount_)
                     .arg(why));
        Delivered();
        return;
    }
    QString cause =
        result.Error.empty() ? QStringLiteral("no response") : QString::fromStdString(result.Error);
    // A wrong token, bucket or database: the user's to fix, and the
    // receiver's words say which.
    const bool usersToFix = result.Status >= 400 && result.Status < 500;
    if (usersToFix && !why.isEmpty())
        cause += QStringLiteral(": ") + why;
    Failed(cause, usersToFix);
}

void TTimeSeries::Delivered() {
    RetryMs_ = FirstRetryMs;
    if (BusyFromSpool_) {
        Spool_->Consume();
        Replayed_ += static_cast<qint64>(InFlightCount_);
    }
    InFlight_.clear();
    const bool hadCause = !Cause_.isEmpty();
    Cause_.clear();
    UsersToFix_ = false;
    if (Outage_) {
        if (Spool_->Empty())
            EndOutage();
        else
            SendFromSpool(); // the backlog goes as fast as the receiver takes it
        emit StatusChanged();
        return;
    }
    Schedule();
    if (hadCause)
        emit StatusChanged();
}

void TTimeSeries::Failed(const QString& cause, bool usersToFix) {
    const bool newCause = cause != Cause_ || usersToFix != UsersToFix_;
    Cause_ = cause;
    UsersToFix_ = usersToFix;
    if (!BusyFromSpool_) {
        std::vector<SpoolRecord> kept = std::exchange(InFlight_, {});
        kept.insert(kept.end(), Pending_.begin(), Pending_.end());
        Pending_.clear();
        BatchTimer_.stop();
        if (!Outage_) {
            Outage_ = true;
            Keep(kept);
            BeginOutage();
        } else {
            Keep(kept);
        }
    } else if (newCause && usersToFix) {
        // A wrong token or bucket is the user's to fix: said each time it changes.
        Log_.Add(QStringLiteral("ERR  Time series: the receiver refuses the readings (%1); they "
                                "are kept in the backlog.")
                     .arg(Cause_));
    }
    RetryTimer_.start(RetryMs_);
    RetryMs_ = std::min(RetryMs_ * 2, LastRetryMs);
    emit StatusChanged();
}

void TTimeSeries::BeginOutage() {
    OutageSince_ = Clock_().toMSecsSinceEpoch();
    Replayed_ = 0;
    Log_.Add(QStringLiteral("ERR  Time series: the receiver does not take the readings (%1); %2 "
                            "readings are kept in the backlog until it does.")
                 .arg(Cause_)
                 .arg(Spool_->Count()));
}

void TTimeSeries::EndOutage() {
    Outage_ = false;
    RetryTimer_.stop();
    SyncTimer_.stop();
    Log_.Add(QStringLiteral("OK  Time series: the backlog is sent (%1 readings, kept since %2).")
                 .arg(Replayed_)
                 .arg(SpoolTimeText(OutageSince_)));
    Replayed_ = 0;
    emit StatusChanged();
}

// Into the spool, and onto the device within a minute.
void TTimeSeries::Keep(const std::vector<SpoolRecord>& records) {
    if (records.empty() || !Spool_)
        return;
    QString error;
    if (!Spool_->Append(records, &error)) {
        Lost_ += static_cast<qint64>(records.size());
        if (!SpoolFailed_)
            Log_.Add(QStringLiteral("ERR  Time series backlog cannot be written (%1); readings "
                                    "are lost until it can.")
                         .arg(error));
        SpoolFailed_ = true;
        return;
    }
    if (SpoolFailed_) {
        Log_.Add(QStringLiteral("OK  Time series backlog is written again; %1 readings were lost.")
                     .arg(Lost_));
        SpoolFailed_ = false;
        Lost_ = 0;
    }
    if (!SyncTimer_.isActive())
        SyncTimer_.start(SyncDelayMs);
}

void TTimeSeries::Stop() {
    if (Stopped_)
        return;
    Stopped_ = true;
    BatchTimer_.stop();
    RetryTimer_.stop();
    SyncTimer_.stop();
    if (Busy_) {
        Busy_ = false;
        if (Fetch_)
            Fetch_->Abort();
    }
    // Not acknowledged: sent again at the next start.
    std::vector<SpoolRecord> kept = std::exchange(InFlight_, {});
    kept.insert(kept.end(), Pending_.begin(), Pending_.end());
    Pending_.clear();
    Keep(kept);
    SyncTimer_.stop();
    if (Spool_)
        Spool_->Sync();
}

TimeSeriesStatus TTimeSeries::Status() {
    TimeSeriesStatus status;
    if (Spool_) {
        status.Backlog = Spool_->Count();
        status.OldestMs = Spool_->OldestMs();
    }
    status.Cause = Cause_;
    if (Settings_.Url.trimmed().isEmpty())
        status.State = TimeSeriesState::Off;
    else if (UsersToFix_ && !Cause_.isEmpty())
        status.State = TimeSeriesState::Failed;
    else if (Outage_ && status.Backlog > 0)
        status.State = TimeSeriesState::Backlog;
    else
        status.State = TimeSeriesState::Sending;
    return status;
}
