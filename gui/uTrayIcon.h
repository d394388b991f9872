// A notification-area icon with a tooltip, click and double-click events, a
// popup menu on the right press, and hiding of the taskbar entry.
//
// The icons go through the tray shell each is given (gui/TrayShell.h); the global
// IconManager hands the shell's clicks to the component whose icon it was.
// Main (GUI) thread only.
#pragma once

#include "gui/TrayShell.h"
#include "platform/Types.h"

#include <QIcon>
#include <QObject>
#include <QString>
#include <unordered_map>

class QMenu;
class QWidget;
class TTrayIkona;

// The sender of every tray component's events. One instance per process
// (the global IconManager), created before main() runs and destroyed at
// exit.
class TIconManager : public QObject {
    Q_OBJECT
public:
    TIconManager();

    // Components register at construction and leave at destruction, so a
    // late click for a destroyed icon finds nobody and is ignored.
    quint32 Attach(TTrayIkona* Icon);
    void Detach(quint32 Id);
    TTrayIkona* Find(quint32 Id) const;
    // Takes the shell's clicks and its news of a notification area.
    void Listen(TrayShell& Shell);

private:
    void Activated(quint32 Id, QSystemTrayIcon::ActivationReason Reason);
    void HostAppeared();

    quint32 FNextId = 1;
    std::unordered_map<quint32, TTrayIkona*> FIcons;
};

extern TIconManager* IconManager;

class TTrayIkona : public QObject {
    Q_OBJECT
public:
    // The icon goes through `Shell`, which outlives the component.
    explicit TTrayIkona(TrayShell& Shell, QObject* Owner = nullptr);
    ~TTrayIkona() override;
    TTrayIkona(const TTrayIkona&) = delete;
    TTrayIkona& operator=(const TTrayIkona&) = delete;

    // The image shown; a null icon shows the stock picture. Every assignment,
    // also of the same image, goes to the shell while the icon is shown.
    QIcon Icon() const { return FIcon; }
    void SetIcon(const QIcon& Value);

    // Hides the taskbar entry of the owner's top-level window (it becomes a
    // tool window). Without a window owner the value is only stored.
    bool HideTask() const { return FHideTask; }
    void SetHideTask(bool Value);

    // The tooltip; the shell gets at most 63 bytes of it (UTF-8, never a cut
    // character), up to its first NUL.
    QString Hint() const { return FHint; }
    void SetHint(const QString& Value);

    // Shown in the notification area. A refused request is not reported and
    // leaves the value as set.
    bool IconVisible() const { return FIconVisible; }
    void SetIconVisible(bool Value);

    // Shown at the pointer on a right press; not owned. Cleared when the menu
    // is destroyed. Also handed to the shell with the icon, for panels that
    // show an icon's menu themselves.
    QMenu* PopupMenu() const { return FPopupMenu; }
    void SetPopupMenu(QMenu* Value);

    // True while the shell has the icon: it was added and not removed since.
    // False while IconVisible waits for a notification area to appear (the
    // icon is then added as soon as one does).
    bool Shown() const { return FShown; }
    // Fired when Shown changes; the sender is this component.
    TNotifyEvent OnShownChange;

    // Left press and left double-click on the icon; on a panel that sends no
    // double-clicks a left click fires both. The sender is the global
    // IconManager, not this component.
    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;

    // The after-loading step: the owner calls it once after setting the
    // stored properties. A shown icon is added again; the shell refuses that
    // as a duplicate.
    void Loaded();

    // The id of this component's icon in the shell, unique in the process
    // and never reused.
    quint32 Identifier() const { return FIdentifier; }

protected:
    // Sets DefaultIcon to the stock picture.
    virtual void LoadDefaultIcon();
    QIcon DefaultIcon;

private:
    TrayShell& FShell;
    friend class TIconManager;
    bool Add();
    // An add for a visible icon the shell does not have (a notification area
    // has just appeared).
    void AddAgain();
    void SetShown(bool Value);
    void GiveMenuToShell();
    void MenuDestroyed(QObject* Menu);
    void PopupAtPointer();
    QWidget* TaskbarWindow() const;
    QIcon CurrentIcon() const { return FIcon.isNull() ? DefaultIcon : FIcon; }

    quint32 FIdentifier = 0;
    QIcon FIcon;
    bool FHideTask = false;
    QString FHint;
    bool FIconVisible = false;
    bool FShown = false;
    QMenu* FPopupMenu = nullptr;
    Qt::WindowFlags FSavedWindowType = Qt::Window;
};
