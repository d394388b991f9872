#include "gui/AlarmView.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPainter>
#include <QPixmap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

// The notification's title and text: the event log line's words.
std::pair<QString, QString> Texts(const AlarmChange& c) {
    QString line = AlarmLogLine(c);
    line = line.mid(line.indexOf(QStringLiteral("  ")) + 2); // without "ERR  " / "OK  "
    const qsizetype colon = line.indexOf(QStringLiteral(": "));
    if (colon < 0)
        return {line, {}};
    return {line.left(colon), line.mid(colon + 2)};
}

} // namespace

QIcon AlarmIcon(const QIcon& base) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap = base.pixmap(size, size);
        if (pixmap.isNull())
            pixmap = QPixmap(size, size);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal d = size * 0.6;
        const QRectF mark(size - d, size - d, d, d);
        painter.setPen(QPen(Qt::white, std::max(1.0, size / 16.0)));
        painter.setBrush(QColor(0xd0, 0x10, 0x10));
        painter.drawEllipse(mark.adjusted(0.5, 0.5, -0.5, -0.5));
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(int(d * 0.8));
        painter.setFont(font);
        painter.drawText(mark, Qt::AlignCenter, QStringLiteral("!"));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

TAlarmNotifier::TAlarmNotifier(QDBusConnection bus, QObject* parent)
    : QObject(parent), Bus_(std::move(bus)) {}

void TAlarmNotifier::Show(const AlarmChange& change) {
    Episode& ep = Episodes_[static_cast<std::size_t>(change.Kind)];
    // A change that comes before the daemon told the id of the last one
    // would otherwise make a second notification.
    if (ep.Waiting) {
        ep.Next = change;
        return;
    }
    Send(change);
}

void TAlarmNotifier::Send(const AlarmChange& change) {
    Episode& ep = Episodes_[static_cast<std::size_t>(change.Kind)];
    const auto [summary, body] = Texts(change);
    QVariantMap hints;
    // Critical: the daemon keeps it until the clear replaces it.
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(change.Active ? 2 : 1)));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("org.kelvox.Kelvox"));
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    call << QStringLiteral("Kelvox") << ep.Id << QStringLiteral("org.kelvox.Kelvox") << summary
         << body << QStringList() << hints << int(change.Active ? 0 : -1);
    ep.Waiting = true;
    auto* watcher = new QDBusPendingCallWatcher(Bus_.asyncCall(call), this);
    const std::size_t kind = static_cast<std::size_t>(change.Kind);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, kind](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                Episode& ep = Episodes_[kind];
                ep.Waiting = false;
                const QDBusPendingReply<uint> reply = *w;
                if (reply.isError()) {
                    if (!Failed_)
                        emit LogLine(QStringLiteral("ERR  Desktop notification not shown (%1)")
                                         .arg(reply.error().message()));
                    Failed_ = true;
                } else {
                    ep.Id = reply.value();
                    Failed_ = false;
                }
                if (ep.Next) {
                    const AlarmChange next = *ep.Next;
                    ep.Next.reset();
                    Send(next);
                }
            });
}
