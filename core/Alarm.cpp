#include "core/Alarm.h"

#include "platform/FileStore.h"
#include "platform/FormatSettings.h"

#include <QFile>
#include <algorithm>
#include <climits>
#include <cmath>

namespace {

constexpr AlarmKind kLimits[] = {AlarmKind::High, AlarmKind::Low};

QString Celsius(double value) {
    return platform::FormatSettings::Current().FormatTemperature(value) + QStringLiteral("\u00B0C");
}

// The time of day, with the date when it is not the day of `now`.
QString TimeText(const QDateTime& when, const QDateTime& now) {
    const platform::FormatSettings& fs = platform::FormatSettings::Current();
    const QDateTime local = when.toLocalTime();
    if (local.date() == now.toLocalTime().date())
        return fs.FormatLongTime(local);
    return fs.FormatShortDate(local) + u' ' + fs.FormatLongTime(local);
}

std::optional<AlarmKind> KindOfWord(const QString& word) {
    for (AlarmKind k : {AlarmKind::High, AlarmKind::Low, AlarmKind::Stale})
        if (AlarmWord(k) == word)
            return k;
    return std::nullopt;
}

} // namespace

QString AlarmWord(AlarmKind kind) {
    switch (kind) {
    case AlarmKind::Ok:
        return QStringLiteral("ok");
    case AlarmKind::High:
        return QStringLiteral("high");
    case AlarmKind::Low:
        return QStringLiteral("low");
    case AlarmKind::Stale:
        return QStringLiteral("stale");
    }
    return {};
}

QStringList AlarmWords() {
    QStringList words;
    for (AlarmKind k : {AlarmKind::Ok, AlarmKind::High, AlarmKind::Low, AlarmKind::Stale})
        words << AlarmWord(k);
    return words;
}

QString AlarmDuration(qint64 seconds) {
    seconds = std::max<qint64>(0, seconds);
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return QStringLiteral("%1 min").arg(minutes);
    const qint64 hours = minutes / 60;
    if (hours < 24)
        return minutes % 60 == 0 ? QStringLiteral("%1 h").arg(hours)
                                 : QStringLiteral("%1 h %2 min").arg(hours).arg(minutes % 60);
    return hours % 24 == 0 ? QStringLiteral("%1 d").arg(hours / 24)
                           : QStringLiteral("%1 d %2 h").arg(hours / 24).arg(hours % 24);
}

QString AlarmLogLine(const AlarmChange& c) {
    const QString word = AlarmWord(c.Kind);
    if (c.Active) {
        if (c.Kind == AlarmKind::Stale)
            return QStringLiteral("ERR  Temperature stale: no reading since %1, limit %2")
                .arg(TimeText(c.Since, c.When), AlarmDuration(qint64(c.Limit)));
        return QStringLiteral("ERR  Temperature %1: %2, limit %3")
            .arg(word, Celsius(c.Temperature), Celsius(c.Limit));
    }
    // How long the episode lasted: until the value was back (not until the
    // clear delay had passed).
    const QString lasted = AlarmDuration(c.Since.secsTo(c.When));
    if (c.SwitchedOff)
        return QStringLiteral("OK  Temperature %1 alarm switched off, after %2").arg(word, lasted);
    if (c.Kind == AlarmKind::Stale)
        return QStringLiteral("OK  Temperature readings back: %1, after %2")
            .arg(Celsius(c.Temperature), lasted);
    return QStringLiteral("OK  Temperature back in range: %1, after %2")
        .arg(Celsius(c.Temperature), lasted);
}

QString AlarmSummary(const AlarmChange& a) {
    if (a.Kind == AlarmKind::Ok)
        return {};
    return QStringLiteral("temperature %1 since %2")
        .arg(AlarmWord(a.Kind), TimeText(a.Since, a.When.isValid() ? a.When : a.Since));
}

TAlarm::TAlarm(std::function<QDateTime()> clock, QString statePath, QObject* parent)
    : QObject(parent), Clock_(std::move(clock)), StatePath_(std::move(statePath)) {
    Deadline_.setObjectName(QStringLiteral("AlarmDeadline"));
    Deadline_.setSingleShot(true);
    // A coarse timer may fire 5 % early; OnDeadline would only arm it again.
    Deadline_.setTimerType(Qt::PreciseTimer);
    connect(&Deadline_, &QTimer::timeout, this, &TAlarm::OnDeadline);
}

QList<AlarmChange> TAlarm::Restore() {
    QList<AlarmChange> restored;
    const platform::FileContent file = platform::ReadWholeFile(StatePath_, 4096);
    if (file.Outcome != platform::ReadOutcome::Read)
        return restored;
    // One line per active alarm: "<word> <since, ISO 8601 UTC> <value> <limit>".
    for (const QByteArray& line : file.Data.split('\n')) {
        const QList<QByteArray> f = line.trimmed().split(' ');
        if (f.size() != 4)
            continue;
        const std::optional<AlarmKind> kind = KindOfWord(QString::fromLatin1(f[0]));
        const QDateTime since = QDateTime::fromString(QString::fromLatin1(f[1]), Qt::ISODate);
        bool valueOk = false, limitOk = false;
        const double value = f[2].toDouble(&valueOk);
        const double limit = f[3].toDouble(&limitOk);
        if (!kind || !since.isValid() || !limitOk)
            continue;
        Episode& ep = Of(*kind);
        ep = {};
        ep.Active = true;
        ep.Since = since;
        ep.Value = valueOk ? value : std::nan("");
        ep.Limit = limit;
        if (*kind == AlarmKind::Stale)
            LastValid_ = since;
        AlarmChange c;
        c.Kind = *kind;
        c.Active = true;
        c.Temperature = ep.Value;
        c.Limit = limit;
        c.Since = since;
        c.When = Clock_();
        restored << c;
    }
    Reported_ = State();
    if (Reported_ != AlarmKind::Ok)
        emit StateChanged(Reported_);
    return restored;
}

void TAlarm::Configure(const AlarmConfig& config) {
    if (Configured_ && config == Config_)
        return;
    const QDateTime now = Clock_();
    Config_ = config;
    Configured_ = true;
    if (!LastValid_.isValid())
        LastValid_ = now; // the stale limit counts from the start
    for (AlarmKind kind : kLimits) {
        Episode& ep = Of(kind);
        const std::optional<double> limit = kind == AlarmKind::High ? config.High : config.Low;
        ep.Pending = {};
        if (ep.Active && !limit)
            End(kind, ep.Value, now, /*switchedOff=*/true);
        else if (ep.Active)
            ep.Limit = *limit;
    }
    if (Of(AlarmKind::Stale).Active) {
        if (config.StaleSec <= 0)
            End(AlarmKind::Stale, std::nan(""), now, /*switchedOff=*/true);
        else
            Of(AlarmKind::Stale).Limit = config.StaleSec;
    }
    Evaluate(now);
}

void TAlarm::Reading(double value, const QDateTime& when) {
    if (!Configured_ || !std::isfinite(value))
        return;
    LastValid_ = when;
    if (Of(AlarmKind::Stale).Active)
        End(AlarmKind::Stale, value, when, /*switchedOff=*/false);
    for (AlarmKind kind : kLimits)
        Track(kind, value, when);
    Evaluate(Clock_());
}

void TAlarm::Track(AlarmKind kind, double value, const QDateTime& when) {
    const bool high = kind == AlarmKind::High;
    const std::optional<double> limit = high ? Config_.High : Config_.Low;
    if (!limit)
        return;
    const double h = Config_.Hysteresis;
    const bool beyond = high ? value > *limit : value < *limit;
    const bool inside = high ? value <= *limit - h : value >= *limit + h;
    Episode& ep = Of(kind);
    if (!ep.Active) {
        // Between the limit and the hysteresis the limit stays crossed: a
        // value hovering at it is one episode, not many.
        if (beyond) {
            if (!ep.Pending.isValid())
                ep.Pending = when;
            ep.PendingValue = value;
        } else if (inside) {
            ep.Pending = {};
        }
    } else if (inside) {
        if (!ep.Pending.isValid())
            ep.Pending = when;
        ep.PendingValue = value;
    } else {
        ep.Pending = {};
    }
}

void TAlarm::Evaluate(const QDateTime& now) {
    for (AlarmKind kind : kLimits) {
        Episode& ep = Of(kind);
        const std::optional<double> limit = kind == AlarmKind::High ? Config_.High : Config_.Low;
        if (!limit || !ep.Pending.isValid())
            continue;
        const qint64 delayMs = qint64(ep.Active ? Config_.ClearDelaySec : Config_.DelaySec) * 1000;
        if (ep.Pending.msecsTo(now) < delayMs)
            continue;
        if (!ep.Active)
            Begin(kind, ep.PendingValue, *limit, ep.Pending, now);
        else
            End(kind, ep.PendingValue, now, /*switchedOff=*/false);
    }
    if (Config_.StaleSec > 0 && !Of(AlarmKind::Stale).Active &&
        LastValid_.msecsTo(now) >= qint64(Config_.StaleSec) * 1000)
        Begin(AlarmKind::Stale, std::nan(""), Config_.StaleSec, LastValid_, now);
    Arm(now);
}

void TAlarm::Begin(AlarmKind kind, double value, double limit, const QDateTime& since,
                   const QDateTime& now) {
    Episode& ep = Of(kind);
    ep.Active = true;
    ep.Since = since;
    ep.Value = value;
    ep.Limit = limit;
    ep.Pending = {};
    Save();
    AlarmChange c;
    c.Kind = kind;
    c.Active = true;
    c.Temperature = value;
    c.Limit = limit;
    c.Since = since;
    c.When = now;
    c.State = State();
    emit Changed(c);
    if (c.State != Reported_)
        emit StateChanged(Reported_ = c.State);
}

void TAlarm::End(AlarmKind kind, double value, const QDateTime& now, bool switchedOff) {
    Episode& ep = Of(kind);
    AlarmChange c;
    c.Kind = kind;
    c.Active = false;
    c.SwitchedOff = switchedOff;
    c.Temperature = value;
    c.Limit = ep.Limit;
    c.Since = ep.Since;
    // The episode lasted until the value was back, not until the clear
    // delay had passed.
    c.When = !switchedOff && ep.Pending.isValid() ? ep.Pending : now;
    ep = {};
    Save();
    c.State = State();
    emit Changed(c);
    if (c.State != Reported_)
        emit StateChanged(Reported_ = c.State);
}

void TAlarm::Arm(const QDateTime& now) {
    QDateTime due;
    auto earliest = [&due](const QDateTime& t) {
        if (!due.isValid() || t < due)
            due = t;
    };
    for (AlarmKind kind : kLimits) {
        const Episode& ep = Of(kind);
        const bool on =
            kind == AlarmKind::High ? Config_.High.has_value() : Config_.Low.has_value();
        if (on && ep.Pending.isValid())
            earliest(ep.Pending.addSecs(ep.Active ? Config_.ClearDelaySec : Config_.DelaySec));
    }
    if (Config_.StaleSec > 0 && !Of(AlarmKind::Stale).Active)
        earliest(LastValid_.addSecs(Config_.StaleSec));
    if (!due.isValid()) {
        Deadline_.stop();
        return;
    }
    Due_ = due;
    Deadline_.start(int(std::clamp<qint64>(now.msecsTo(due), 0, INT_MAX)));
}

void TAlarm::OnDeadline() {
    Evaluate(Clock_());
}

AlarmKind TAlarm::State() const {
    for (AlarmKind kind : {AlarmKind::Stale, AlarmKind::High, AlarmKind::Low})
        if (Of(kind).Active)
            return kind;
    return AlarmKind::Ok;
}

AlarmChange TAlarm::Current() const {
    AlarmChange c;
    c.Kind = c.State = State();
    if (c.Kind == AlarmKind::Ok)
        return c;
    const Episode& ep = Of(c.Kind);
    c.Active = true;
    c.Temperature = ep.Value;
    c.Limit = ep.Limit;
    c.Since = ep.Since;
    c.When = Clock_();
    return c;
}

void TAlarm::Save() {
    QByteArray data;
    for (AlarmKind kind : {AlarmKind::High, AlarmKind::Low, AlarmKind::Stale}) {
        const Episode& ep = Of(kind);
        if (ep.Active)
            data += AlarmWord(kind).toLatin1() + ' ' +
                    ep.Since.toUTC().toString(Qt::ISODate).toLatin1() + ' ' +
                    QByteArray::number(ep.Value, 'g', 10) + ' ' +
                    QByteArray::number(ep.Limit, 'g', 10) + '\n';
    }
    QString error;
    bool ok = true;
    if (data.isEmpty()) {
        QFile file(StatePath_);
        if (file.exists() && !file.remove()) {
            ok = false;
            error = file.errorString();
        }
    } else {
        ok = platform::ReplaceFile(StatePath_, data, &error);
    }
    // Said once, and once more when it works again: the alarm itself goes on.
    if (ok != !SaveFailed_) {
        SaveFailed_ = !ok;
        emit LogLine(ok ? QStringLiteral("OK  Alarm state written again to %1").arg(StatePath_)
                        : QStringLiteral("ERR  Alarm state cannot be written (%1: %2)")
                              .arg(StatePath_, error));
    }
}
