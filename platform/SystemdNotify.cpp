#include "platform/SystemdNotify.h"

#include "platform/SystemError.h"

#include "platform/SysRetry.h"

#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <time.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kStatusGapMs = 1000;
// However short the watchdog systemd asks for, the pings come no more often
// than this: a setting of a few microseconds would otherwise keep the main
// thread pinging.
constexpr std::uint64_t kShortestPingMs = 100;

// A decimal number as systemd writes these variables: digits only, no sign,
// no overflow.
std::optional<std::uint64_t> Decimal(const QByteArray& text) {
    if (text.isEmpty() || text.size() > 20)
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// The watchdog interval systemd asks of this process in microseconds, or 0:
// WATCHDOG_USEC holds it, and WATCHDOG_PID, when set, names the process
// meant (a variable inherited from a parent is not ours to feed). Values
// that are not plain positive numbers mean no watchdog, as for systemd's
// own client library.
std::uint64_t WatchdogUsec() {
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    if (!pid.isEmpty()) {
        const std::optional<std::uint64_t> meant = Decimal(pid);
        if (!meant || *meant != static_cast<std::uint64_t>(::getpid()))
            return 0;
    }
    const std::optional<std::uint64_t> usec = Decimal(qgetenv("WATCHDOG_USEC"));
    return usec && *usec != UINT64_MAX ? *usec : 0; // UINT64_MAX: infinity
}

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
    // A path, or "@name" in the abstract namespace. The socket is written
    // without blocking, so that a full queue (a supervisor that does not
    // read) never holds the program up.
    Address_.sun_family = AF_UNIX;
    if (!name.startsWith('/') && !name.startsWith('@')) {
        AddressError_ = "NOTIFY_SOCKET is neither a path nor an abstract socket name (@name)";
    } else if (static_cast<std::size_t>(name.size()) >= sizeof Address_.sun_path) {
        AddressError_ = "NOTIFY_SOCKET names a socket of " + std::to_string(name.size()) +
                        " bytes, longer than the " + std::to_string(sizeof Address_.sun_path - 1) +
                        " a socket address can hold";
    } else {
        std::memcpy(Address_.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
        if (name.startsWith('@'))
            Address_.sun_path[0] = '\0';
        AddressSize_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                              (name.startsWith('@') ? 0 : 1));
        Fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (Fd_ < 0)
            AddressError_ = "no socket: " + SystemErrorOf(errno).Text;
    }
    StatusTimer_ = new QTimer(this);
    StatusTimer_->setSingleShot(true);
    connect(StatusTimer_, &QTimer::timeout, this, &SystemdNotify::SendHeldStatus);

    if (const std::uint64_t usec = WatchdogUsec(); usec > 0) {
        const std::uint64_t ms = std::max<std::uint64_t>(usec / 2000, kShortestPingMs);
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
    int code = 0;
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
        const std::string why = Fd_ < 0 ? AddressError_ : SystemErrorOf(code).Text;
        std::fprintf(stderr, "kelvox: cannot notify systemd: %s\n", why.c_str());
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
