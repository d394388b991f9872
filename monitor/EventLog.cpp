#include "monitor/EventLog.h"

#include "platform/AppPaths.h"
#include "platform/FileStore.h"
#include "platform/FormatSettings.h"

#include <stdexcept>

TEventLog::TEventLog(std::function<QDateTime()> clock, QObject* parent)
    : QObject(parent), Clock_(std::move(clock)) {
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
                Add(QStringLiteral("ERR  The event log cannot be written; its lines are kept "
                                   "until it can."));
            }
            FlushTimer_.start();
        }
    });
}

void TEventLog::Add(const QString& text) {
    const QDateTime now = Clock_();
    const QString line =
        platform::FormatSettings::Current().FormatLongTime(now) + QStringLiteral(" >  ") + text;
    if (Pending_.size() >= MaxPending)
        Pending_.erase(Pending_.begin());
    Pending_.push_back({now, line});
    if (!FlushTimer_.isActive())
        FlushTimer_.start();
    emit LineAdded(line, text);
}

void TEventLog::Flush(bool createToday) {
    std::size_t written = 0;
    QString error;
    // Consecutive lines of one day go into that day's file in one append.
    while (written < Pending_.size()) {
        const QString path = platform::EventLogPath(Pending_[written].When);
        std::size_t end = written;
        QByteArray data;
        while (end < Pending_.size() && platform::EventLogPath(Pending_[end].When) == path) {
            data += Pending_[end].Line.toUtf8();
            data += "\r\n";
            ++end;
        }
        if (!platform::AppendWhole(path, data, &error)) {
            Pending_.erase(Pending_.begin(), Pending_.begin() + static_cast<long>(written));
            throw std::runtime_error(
                QStringLiteral("Cannot create file \"%1\". %2").arg(path, error).toStdString());
        }
        written = end;
    }
    Pending_.clear();
    if (createToday) {
        const QString path = platform::EventLogPath(Clock_());
        if (!platform::AppendWhole(path, QByteArray(), &error))
            throw std::runtime_error(
                QStringLiteral("Cannot create file \"%1\". %2").arg(path, error).toStdString());
    }
}
