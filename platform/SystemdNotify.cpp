#include "platform/SystemdNotify.h"

#include "platform/SystemError.h"

#include "platform/SysRetry.h"

#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kStatusGapMs = 1000;

// The notify message is newline-separated assignments: a newline in the
// status would start one of its own (READY=1, MAINPID=...).
QString OneLine(const QString& text) {
    QString line = text;
    for (QChar& c : line)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    return line;
}

} // namespace

SystemdNotify::SystemdNotify(QObject* parent) : QObject(parent) {
    const QByteArray name = qgetenv("NOTIFY_SOCKET");
    Active_ = !name.isEmpty();
    if (!Active_)
        return;
    // A path, or "@name" in the abstract namespace. sd_notify() would block
    // on a full queue for as long as the supervisor does not read.
    Address_.sun_family = AF_UNIX;
    if ((name.startsWith('/') || name.startsWith('@')) &&
        static_cast<std::size_t>(name.size()) < sizeof Address_.sun_path) {
        std::memcpy(Address_.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
        if (name.startsWith('@'))
            Address_.sun_path[0] = '\0';
        AddressSize_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                              (name.startsWith('@') ? 0 : 1));
        Fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    StatusTimer_ = new QTimer(this);
    StatusTimer_->setSingleShot(true);
    connect(StatusTimer_, &QTimer::timeout, this, &SystemdNotify::SendHeldStatus);

    // Also checks WATCHDOG_PID: a watchdog meant for another process (the
    // variable inherited from a parent) is not ours to feed.
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        const uint64_t ms = std::max<uint64_t>(usec / 2000, 1);
        Watchdog_ = new QTimer(this);
        Watchdog_->setTimerType(Qt::PreciseTimer);
        Watchdog_->setInterval(static_cast<int>(std::min<uint64_t>(ms, INT_MAX)));
        connect(Watchdog_, &QTimer::timeout, this, [this] { Send("WATCHDOG=1"); });
        Watchdog_->start();
    }
}

SystemdNotify::~SystemdNotify() {
    if (Fd_ >= 0)
        ::close(Fd_);
}

std::chrono::milliseconds SystemdNotify::WatchdogInterval() const {
    return std::chrono::milliseconds(Watchdog_ ? Watchdog_->interval() : 0);
}

void SystemdNotify::Ready() {
    Send("READY=1");
}

void SystemdNotify::Reloading() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long long usec =
        static_cast<unsigned long long>(now.tv_sec) * 1000000ULL + now.tv_nsec / 1000;
    Send("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(usec));
}

void SystemdNotify::Stopping() {
    Send("STOPPING=1");
}

void SystemdNotify::SetStatus(const QString& text) {
    if (!Active_)
        return;
    HeldStatus_ = OneLine(text);
    if (StatusTimer_->isActive())
        return; // the timer sends whatever is latest then
    if (HeldStatus_ == SentStatus_ && SinceStatus_.isValid())
        return;
    const qint64 since = SinceStatus_.isValid() ? SinceStatus_.elapsed() : kStatusGapMs;
    if (since >= kStatusGapMs)
        SendHeldStatus();
    else
        StatusTimer_->start(static_cast<int>(kStatusGapMs - since));
}

void SystemdNotify::SendHeldStatus() {
    if (HeldStatus_ == SentStatus_ && SinceStatus_.isValid() && !StatusUnsent_)
        return; // changed and changed back within the second
    SentStatus_ = HeldStatus_;
    SinceStatus_.start();
    StatusUnsent_ = !Deliver("STATUS=" + SentStatus_.toUtf8());
}

void SystemdNotify::Send(const QByteArray& message) {
    if (!Active_)
        return;
    // The latest status first: the message may say more than it (STOPPING).
    if (StatusUnsent_)
        StatusUnsent_ = !Deliver("STATUS=" + SentStatus_.toUtf8());
    Deliver(message);
}

bool SystemdNotify::Deliver(const QByteArray& message) {
    int code = EAFNOSUPPORT; // an address that is neither a path nor abstract
    if (Fd_ >= 0) {
        const ssize_t n = RetryOnEintr([&] {
            return ::sendto(Fd_, message.constData(), static_cast<std::size_t>(message.size()),
                            MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&Address_),
                            AddressSize_);
        });
        if (n >= 0) {
            Stalled_ = false;
            return true;
        }
        code = errno;
    }
    if (code == EAGAIN || code == EWOULDBLOCK) {
        if (!Stalled_) {
            Stalled_ = true;
            emit Dropped(QStringLiteral("ERR  systemd does not take the service's notifications "
                                        "(its queue is full); they are dropped until it does."));
        }
    } else if (!Failed_) {
        // Once: a socket that refuses one message refuses the pings as well.
        Failed_ = true;
        std::fprintf(stderr, "kelvox: cannot notify systemd: %s\n",
                     SystemErrorOf(code).Text.c_str());
    }
    return false;
}

QString ServiceStatusText(const ServiceStatus& s) {
    QString text = s.Temperature.isEmpty() ? QStringLiteral("-") : s.Temperature;
    text += QStringLiteral(", ");
    if (s.Port.isEmpty()) {
        text += QStringLiteral("no port");
    } else {
        text += s.Port + u' ' + s.PortState;
        if (s.Reconnecting)
            text += QStringLiteral(" (reconnecting)");
    }
    switch (s.LastSend) {
    case ServiceSendResult::None:
        text += QStringLiteral(", no send yet");
        break;
    case ServiceSendResult::Ok:
        text += QStringLiteral(", last send %1 OK").arg(s.LastSendTime);
        break;
    case ServiceSendResult::Failed:
        text += QStringLiteral(", last send %1 failed").arg(s.LastSendTime);
        if (!s.LastSendError.isEmpty())
            text += QStringLiteral(" (%1)").arg(s.LastSendError);
        break;
    }
    if (!s.TimeSeries.isEmpty())
        text += QStringLiteral(", time series ") + s.TimeSeries;
    if (!s.Alarm.isEmpty())
        text = QStringLiteral("ALARM %1; ").arg(s.Alarm) + text;
    return text;
}

} // namespace platform
