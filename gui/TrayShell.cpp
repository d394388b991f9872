#include "gui/TrayShell.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QMenu>
#include <xcb/xcb.h>

namespace {
const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

bool offscreen() {
    return QGuiApplication::platformName() == QStringLiteral("offscreen");
}

xcb_connection_t* x11Connection() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    auto* x11 = app ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* c, const QByteArray& name, bool onlyIfExists) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, onlyIfExists, quint16(name.size()), name.constData()), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return atom;
}

bool trayManagerPresent() {
    xcb_connection_t* c = x11Connection();
    if (!c)
        return false;
    // The owner of any screen's tray selection; no such atom yet means no
    // manager ever took it.
    int number = 0;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem; xcb_screen_next(&it)) {
        const xcb_atom_t selection =
            internAtom(c, "_NET_SYSTEM_TRAY_S" + QByteArray::number(number++), true);
        if (selection == XCB_ATOM_NONE)
            continue;
        xcb_get_selection_owner_reply_t* reply =
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
        const bool owned = reply && reply->owner != XCB_WINDOW_NONE;
        free(reply);
        if (owned)
            return true;
    }
    return false;
}

bool watcherRegistered() {
    const QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    return bus && bus->isServiceRegistered(kWatcher);
}

// A tray manager announces itself with a MANAGER client message to the root
// window, which Qt's connection receives. Main thread: Qt filters there.
class TrayManagerFilter : public QAbstractNativeEventFilter {
public:
    TrayManagerFilter(xcb_atom_t manager, QtTrayShell* shell) : Manager_(manager), Shell_(shell) {}
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if (eventType == "xcb_generic_event_t" &&
            (event->response_type & 0x7f) == XCB_CLIENT_MESSAGE &&
            reinterpret_cast<const xcb_client_message_event_t*>(event)->type == Manager_) {
            // Not from inside Qt's event handling: the look asks the display.
            QMetaObject::invokeMethod(Shell_, &QtTrayShell::LookForHost, Qt::QueuedConnection);
        }
        return false;
    }

private:
    xcb_atom_t Manager_;
    QtTrayShell* Shell_;
};
} // namespace

QtTrayShell::QtTrayShell(std::function<bool()> hostAvailable)
    : HostProbe_(std::move(hostAvailable)) {}

QtTrayShell::~QtTrayShell() {
    delete BusWatch_.data();
    if (TrayManagerWatch_ && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(TrayManagerWatch_.get());
    // Icons the application has already destroyed read as null here.
    for (auto& [id, tray] : Icons_)
        delete tray.data();
}

bool QtTrayShell::HostAvailable() {
    if (HostProbe_)
        return HostProbe_();
    if (!QCoreApplication::instance() || offscreen())
        return false;
    if (!HostKindKnown_) {
        // Qt asked without any host settles on the XEmbed tray for good, and
        // a panel starting later would never get the icon: it is asked once
        // one of the two is there.
        const bool statusNotifier = watcherRegistered();
        if (!statusNotifier && !trayManagerPresent())
            return false;
        HostKindKnown_ = true;
        StatusNotifierHost_ = statusNotifier;
    }
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtTrayShell::WatchHosts() {
    if (Watching_ || HostProbe_ || !QCoreApplication::instance() || offscreen())
        return;
    Watching_ = true;
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        auto* watch = new QDBusServiceWatcher(
            kWatcher, bus, QDBusServiceWatcher::WatchForOwnerChange, QCoreApplication::instance());
        connect(watch, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                    WatcherOwnerChanged(oldOwner, newOwner);
                });
        BusWatch_ = watch;
    }
    if (xcb_connection_t* c = x11Connection()) {
        TrayManagerWatch_ =
            std::make_unique<TrayManagerFilter>(internAtom(c, "MANAGER", false), this);
        QCoreApplication::instance()->installNativeEventFilter(TrayManagerWatch_.get());
    }
}

void QtTrayShell::WatcherOwnerChanged(const QString& oldOwner, const QString& newOwner) {
    if (newOwner.isEmpty())
        return; // the panel went away: its successor will say so
    // A panel that restarts or is replaced knows none of the icons: shown
    // again, each registers with the new watcher.
    if (StatusNotifierHost_ && !oldOwner.isEmpty()) {
        for (auto& [id, tray] : Icons_) {
            if (tray && tray->isVisible()) {
                tray->hide();
                tray->show();
            }
        }
    }
    LookForHost();
}

void QtTrayShell::LookForHost() {
    if (!Waiting_ || !HostAvailable())
        return;
    Waiting_ = false;
    emit HostAppeared();
}

bool QtTrayShell::Add(quint32 id, const QIcon& icon, const QString& tip) {
    if (Icons_.count(id) != 0)
        return false;
    WatchHosts();
    // Checked silently: without a panel there is nothing worth a warning.
    if (!HostAvailable()) {
        Waiting_ = HostProbe_ || !offscreen(); // offscreen no panel can appear
        return false;
    }
    // A child of the application so that none outlives it at exit. No menu
    // is given to Qt here: SetMenu gives it on a StatusNotifierItem host.
    auto* tray = new QSystemTrayIcon(icon, QCoreApplication::instance());
    tray->setToolTip(tip);
    connect(tray, &QSystemTrayIcon::activated, this,
            [this, id](QSystemTrayIcon::ActivationReason reason) { Clicked(id, reason); });
    tray->show();
    Icons_.emplace(id, tray);
    return true;
}

// The owner sets the picture on every tick, and Qt passes every set on.
bool QtTrayShell::SetIcon(quint32 id, const QIcon& icon) {
    QSystemTrayIcon* tray = IconObject(id);
    if (tray && icon.cacheKey() != tray->icon().cacheKey())
        tray->setIcon(icon);
    return tray != nullptr;
}

bool QtTrayShell::SetToolTip(quint32 id, const QString& tip) {
    QSystemTrayIcon* tray = IconObject(id);
    if (tray && tip != tray->toolTip())
        tray->setToolTip(tip);
    return tray != nullptr;
}

bool QtTrayShell::Remove(quint32 id) {
    auto it = Icons_.find(id);
    if (it == Icons_.end())
        return false;
    QPointer<QSystemTrayIcon> tray = it->second;
    Icons_.erase(it);
    if (tray) {
        tray->disconnect(this);
        tray->hide();
        tray->deleteLater(); // the removal may come from this icon's own click
    }
    return true;
}

void QtTrayShell::SetMenu(quint32 id, QMenu* menu) {
    // On the XEmbed tray Qt would pop a given menu up by itself, on top of
    // the one the owner shows at the right press.
    QSystemTrayIcon* tray = IconObject(id);
    if (StatusNotifierHost_ && tray && tray->contextMenu() != menu)
        tray->setContextMenu(menu);
}

QSystemTrayIcon* QtTrayShell::IconObject(quint32 id) const {
    auto it = Icons_.find(id);
    return it == Icons_.end() ? nullptr : it->second.data();
}

void QtTrayShell::Clicked(quint32 id, QSystemTrayIcon::ActivationReason reason) {
    QSystemTrayIcon* tray = IconObject(id);
    if (!tray || reason == QSystemTrayIcon::Unknown)
        return;
    if (reason == QSystemTrayIcon::Context && StatusNotifierHost_ && tray->contextMenu())
        return; // the panel shows the exported menu itself
    emit Activated(id, reason);
    // The receiver may have removed the icon meanwhile.
    if (reason == QSystemTrayIcon::Trigger && StatusNotifierHost_ && IconObject(id))
        emit Activated(id, QSystemTrayIcon::DoubleClick);
}
