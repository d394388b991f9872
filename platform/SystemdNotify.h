// Telling systemd how the service is doing, over the notify socket that
// systemd names in NOTIFY_SOCKET (Type=notify units): ready, reloading,
// stopping, a one-line status for `systemctl status`, and the watchdog pings.
// Started any other way (no NOTIFY_SOCKET) every call does nothing and no
// timer runs. A notification never blocks the program: when the socket's
// queue is full (a supervisor that does not read) the message is dropped.
// Main thread only: the object, its calls and its timers.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

class QTimer;

namespace platform {

class SystemdNotify : public QObject {
    Q_OBJECT
public:
    // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID once, here. With a
    // watchdog for this process, a timer on the main thread's event loop
    // pings at half its interval (every 100 ms at most), so that a blocked
    // main thread stops the pings and systemd restarts the service.
    explicit SystemdNotify(QObject* parent = nullptr);
    ~SystemdNotify() override;

    // False when systemd did not start the program with a notify socket.
    bool Active() const { return Active_; }

    // Start-up done, or a reload done (send Reloading() before it).
    void Ready();
    // A reload starts; it carries the monotonic clock that systemd 253 and
    // later want for Type=notify-reload (older ones ignore it).
    void Reloading();
    // The normal stop has begun.
    void Stopping();
    // The status line. Sent when it differs from the last one sent, at most
    // once a second: changes within that second are held, and the latest is
    // sent when the second is over. Control characters become spaces, so
    // the text cannot add assignments of its own to the message. A status
    // that found the queue full is sent again before the next message.
    void SetStatus(const QString& text);

signals:
    // A message was dropped because the queue was full: once until a
    // message gets through again, with a line for the event log.
    void Dropped(const QString& text);

private:
    void Send(const QByteArray& message);
    bool Deliver(const QByteArray& message);
    void SendHeldStatus();

    bool Active_ = false;
    bool Failed_ = false;      // the first failure was reported on standard error
    bool Stalled_ = false;     // the queue was full at the last try
    int Fd_ = -1;              // non-blocking datagram socket
    std::string AddressError_; // why NOTIFY_SOCKET cannot be used; empty when it can
    sockaddr_un Address_{};    // NOTIFY_SOCKET's
    socklen_t AddressSize_ = 0;
    bool StatusUnsent_ = false; // SentStatus_ still waits for room
    QTimer* Watchdog_ = nullptr;
    QTimer* StatusTimer_ = nullptr;
    QString SentStatus_;
    QString HeldStatus_;
    QElapsedTimer SinceStatus_; // invalid until the first status is sent
};

enum class ServiceSendResult { None, Ok, Failed };

// What the status line says, in plain values.
struct ServiceStatus {
    QString Temperature; // as shown, "21.4°C"; empty: no live reading
    QString Port;        // as the program names it, "COM1"; empty: none chosen
    QString PortState;   // the link's word: "connected", "silent", "missing"...
    ServiceSendResult LastSend = ServiceSendResult::None;
    QString LastSendTime;      // as the event log writes times, "10:15:00"
    QString LastSendError;     // the failure's cause, "connection refused"
    bool Reconnecting = false; // the lost port is being tried again
    QString Alarm;             // the active alarm, "temperature high since 10:15:00"
    QString TimeSeries;        // the time-series output's words; empty while it is off
};

// "21.4°C, COM1 connected, last send 10:15:00 OK",
// "-, COM1 missing (reconnecting), last send 10:15:00 failed (connection refused)",
// "21.4°C, COM1 connected, no send yet", with the time-series output's
// words last ("..., time series backlog 12 since 10:14") and an active alarm
// first: "ALARM temperature high since 10:15:00; 27.3°C, COM1 ...". Any thread.
QString ServiceStatusText(const ServiceStatus& status);

} // namespace platform
