// What the desktop shows of the alarms: a notification through the
// desktop's notification service (org.freedesktop.Notifications on the
// session bus), one per episode, updated in place: the clear replaces the
// alarm's notification (replaces_id) instead of stacking a second one, and
// the next episode replaces that. And the tray icon's alarm picture: the
// link's picture with a red mark, steady, so that it differs from the
// blinking of link trouble.
//
// Main thread only. The bus calls are asynchronous: nothing waits for the
// notification daemon.
#pragma once

#include "core/Alarm.h"

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <array>
#include <optional>

// `base` with the alarm's red mark in its lower right corner.
QIcon AlarmIcon(const QIcon& base);

class TAlarmNotifier : public QObject {
    Q_OBJECT
public:
    explicit TAlarmNotifier(QDBusConnection bus, QObject* parent = nullptr);

    // Shows an alarm that began, or replaces its notification by the clear.
    void Show(const AlarmChange& change);

signals:
    // A line for the event log: the service cannot be reached (once until
    // a notification is shown again).
    void LogLine(const QString& line);

private:
    struct Episode {
        uint Id = 0;                     // the daemon's id of this kind's last notification
        bool Waiting = false;            // a call is under way; its id is not known yet
        std::optional<AlarmChange> Next; // shown once the id is known
    };
    void Send(const AlarmChange& change);

    QDBusConnection Bus_;
    std::array<Episode, 4> Episodes_; // by AlarmKind
    bool Failed_ = false;
};
