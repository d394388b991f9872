// The notification area as the tray component sees it: icons named by a
// number, each with a picture and a tooltip; clicks come back as Activated.
// The desktop's is QtTrayShell over QSystemTrayIcon, which the windows
// module makes and hands to the tray components; tests hand them a
// recorder. Main (GUI) thread only.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>
#include <map>
#include <memory>

class QAbstractNativeEventFilter;
class QMenu;

class TrayShell : public QObject {
    Q_OBJECT
public:
    // Without a notification area every add is refused (false); so are a
    // second add of an id, and a change or removal of an id not there. The
    // owner always gives a picture.
    virtual bool Add(quint32 id, const QIcon& icon, const QString& tip) = 0;
    virtual bool SetIcon(quint32 id, const QIcon& icon) = 0;
    virtual bool SetToolTip(quint32 id, const QString& tip) = 0;
    virtual bool Remove(quint32 id) = 0;
    // The icon's popup menu (not owned; nullptr for none), for panels that
    // show an icon's menu themselves. A shell whose host reports the right
    // press instead (the owner then shows the menu) ignores it.
    virtual void SetMenu(quint32 /*id*/, QMenu* /*menu*/) {}

signals:
    // Trigger (left press), DoubleClick, Context (right press), MiddleClick.
    void Activated(quint32 id, QSystemTrayIcon::ActivationReason reason);
    // A notification area appeared after an add was refused for want of one.
    void HostAppeared();
};

// One QSystemTrayIcon per id. Without a host (offscreen, or a panel not
// started yet) adds are refused quietly; when one appears later (a
// StatusNotifierItem watcher taking its name on the session bus, or an
// XEmbed tray manager announcing itself on the display; nothing is polled)
// HostAppeared is emitted. hostAvailable, when given, replaces the check and
// the watching (its owner calls LookForHost).
//
// On a StatusNotifierItem panel (Qt then talks D-Bus instead of embedding a
// window) the menu given by SetMenu is exported and shown by the panel, so
// the right press is not reported; such panels send no double-click, so a
// left click is reported as Trigger and then DoubleClick. A panel that
// replaces the watcher gets the icons again. A picture or tooltip equal to
// the one shown is not sent again (each is a signal to every panel).
class QtTrayShell : public TrayShell {
    Q_OBJECT
public:
    explicit QtTrayShell(std::function<bool()> hostAvailable = {});
    ~QtTrayShell() override;

    bool Add(quint32 id, const QIcon& icon, const QString& tip) override;
    bool SetIcon(quint32 id, const QIcon& icon) override;
    bool SetToolTip(quint32 id, const QString& tip) override;
    bool Remove(quint32 id) override;
    void SetMenu(quint32 id, QMenu* menu) override;

    // Emits HostAppeared when an add was refused and a host is there now.
    void LookForHost();
    std::size_t IconCount() const { return Icons_.size(); }
    QSystemTrayIcon* IconObject(quint32 id) const;

private:
    bool HostAvailable();
    void WatchHosts();
    void WatcherOwnerChanged(const QString& oldOwner, const QString& newOwner);
    void Clicked(quint32 id, QSystemTrayIcon::ActivationReason reason);

    std::function<bool()> HostProbe_;
    // Qt picks its back end once, at its first look for a host; so is this,
    // taken at the same moment so that both agree.
    bool HostKindKnown_ = false;
    bool StatusNotifierHost_ = false;
    bool Waiting_ = false; // an add was refused for want of a host
    bool Watching_ = false;
    std::map<quint32, QPointer<QSystemTrayIcon>> Icons_; // children of the application
    QPointer<QObject> BusWatch_;
    std::unique_ptr<QAbstractNativeEventFilter> TrayManagerWatch_;
};
