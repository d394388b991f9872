#include "core/EventLog.h"

#include "platform/FileStore.h"
#include "platform/FormatSettings.h"

#include <algorithm>
#include <stdexcept>

TEventLog::TEventLog(platform::AppPaths paths, std::function<QDateTime()> clock, QObject* parent)
    : QObject(parent), Paths_(std::move(paths)), Clock_(std::move(clock)) {
    FlushTimer_.setSingleShot(true);
    FlushTimer_.setInterval(FlushDelayMs);
    connect(&FlushTimer_, &QTimer::timeout, this, [this] {
        try {
            Flush();
            FlushFailed_ = false;
            FlushTimer_.setInterval(FlushDelayMs);
        } catch (const std::exception&) {
            // Said once per outage, in the log itself; the lines wait and are
            // tried again every few seconds (and at the exit).
            FlushTimer_.setInterval(RetryDelayMs);
            if (!FlushFailed_) {
                FlushFailed_ = true;
                Append(QStringLiteral("ERR  The event log cannot be written; its lines are "
                                      "kept until it can."),
                       Kind::Outage);
            }
            FlushTimer_.start();
        }
    });
}

void TEventLog::Add(const QString& text) {
    Append(text, Kind::Plain);
}

void TEventLog::Append(const QString& text, Kind kind) {
    const QDateTime now = Clock_();
    const QString line =
        platform::FormatSettings::Current().FormatLongTime(now) + QStringLiteral(" >  ") + text;
    DropOldest();
    Pending_.push_back({now, line, kind, 0, {}});
    if (!FlushTimer_.isActive())
        FlushTimer_.start();
    emit LineAdded(line, text);
}

void TEventLog::Flush(bool createToday) {
    std::size_t written = 0;
    QString error;
    // Consecutive lines of one day go into that day's file in one append.
    while (written < Pending_.size()) {
        const QString path = Paths_.EventLogPath(Pending_[written].When);
        std::size_t end = written;
        QByteArray data;
        while (end < Pending_.size() && Paths_.EventLogPath(Pending_[end].When) == path) {
            data += Pending_[end].Line.toUtf8();
            data += "\r\n";
            ++end;
        }
        if (!platform::AppendWhole(path, data, &error) &&
            !(Paths_.Restore() && platform::AppendWhole(path, data, &error))) {
            Pending_.erase(Pending_.begin(), Pending_.begin() + static_cast<long>(written));
            throw std::runtime_error(
                QStringLiteral("Cannot create file \"%1\". %2").arg(path, error).toStdString());
        }
        written = end;
    }
    Pending_.clear();
    if (createToday) {
        const QString path = Paths_.EventLogPath(Clock_());
        if (!platform::AppendWhole(path, QByteArray(), &error) &&
            !(Paths_.Restore() && platform::AppendWhole(path, QByteArray(), &error)))
            throw std::runtime_error(
                QStringLiteral("Cannot create file \"%1\". %2").arg(path, error).toStdString());
    }
}

// The oldest plain lines go until there is room. The first one dropped
// becomes the line that counts them, so it stands where they stood; later
// ones are counted there.
void TEventLog::DropOldest() {
    while (Pending_.size() >= MaxPending) {
        const auto oldest = std::find_if(Pending_.begin(), Pending_.end(),
                                         [](const Entry& e) { return e.Type == Kind::Plain; });
        if (oldest == Pending_.end())
            return;
        const auto lost = std::find_if(Pending_.begin(), oldest,
                                       [](const Entry& e) { return e.Type == Kind::Lost; });
        if (lost == oldest)
            oldest->Type = Kind::Lost;
        lost->LostUntil = oldest->When;
        ++lost->Lost;
        const platform::FormatSettings& format = platform::FormatSettings::Current();
        const QString from = format.FormatLongTime(lost->When);
        lost->Line =
            from + QStringLiteral(" >  ERR  %1 lines of the event log were lost while it could "
                                  "not be written, logged from %2 to %3.")
                       .arg(lost->Lost)
                       .arg(from, format.FormatLongTime(lost->LostUntil));
        if (lost != oldest)
            Pending_.erase(oldest);
    }
}
