// A notification-area icon with a tooltip, click and double-click events, a
// popup menu on the right press, and hiding of the taskbar entry.
//
// Every tray component of the process shares one hidden message window owned
// by the global IconManager; the shell sends its notifications for all icons
// there, and the manager finds the component by the icon's identifier.
// Main (GUI) thread only.
#pragma once

#include "gui/TrayShell.h"
#include "platform/Types.h"

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <unordered_map>

class QMenu;
class QWidget;
class TTrayIkona;

// Owner of the hidden window that receives the shell's notifications. One
// instance per process (the global IconManager), created before main() runs
// and destroyed at exit.
class TIconManager : public QObject {
    Q_OBJECT
public:
    TIconManager();
    ~TIconManager() override;
    TIconManager(const TIconManager&) = delete;
    TIconManager& operator=(const TIconManager&) = delete;

    win::DWORD WindowHandle() const { return FWindowHandle; }

    // The window procedure: the registered tray message is turned into the
    // events of the component whose identifier is in wParam; any other
    // message gets the default handling.
    std::intptr_t TrayWndProc(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam);

    // Components register at construction and leave at destruction, so a
    // late notification for a destroyed icon finds nobody and is ignored.
    win::DWORD Attach(TTrayIkona* Icon);
    void Detach(win::DWORD Id);
    TTrayIkona* Find(win::DWORD Id) const;

private:
    win::DWORD FWindowHandle = 0;
    win::DWORD FNextId = 1;
    std::unordered_map<win::DWORD, TTrayIkona*> FIcons;
};

// The process's manager and the message number registered under
// "Pelmo.TrayNotifyIconMsg".
extern TIconManager* IconManager;
extern std::uint32_t TrayCallbackMessage;

class TTrayIkona : public QObject {
    Q_OBJECT
public:
    explicit TTrayIkona(QObject* Owner = nullptr);
    ~TTrayIkona() override;
    TTrayIkona(const TTrayIkona&) = delete;
    TTrayIkona& operator=(const TTrayIkona&) = delete;

    // The image shown; a null icon shows the stock picture. Every assignment,
    // also of the same image, sends a modify request while the icon is shown.
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

    // True while the shell has the icon: it was added and not deleted since.
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

    // The identifier (uID) of this component's icon, unique in the process
    // and never reused.
    win::DWORD Identifier() const { return FIdentifier; }

protected:
    // Sets DefaultIcon to the stock picture.
    virtual void LoadDefaultIcon();
    // Refills IconData completely and hands it to the shell; the shell's
    // answer.
    bool NotifyShell(win::DWORD Message, win::DWORD Flags);
    win::DWORD CurrentIconHandle() const;

    win::DWORD DefaultIcon = 0;

private:
    friend class TIconManager;
    void MenuDestroyed(QObject* Menu);
    // An add for a visible icon the shell does not have (a notification area
    // has just appeared).
    void AddAgain();
    void SetShown(bool Value);
    void GiveMenuToShell();
    void PopupAtPointer();
    QWidget* TaskbarWindow() const;

    win::DWORD FIdentifier = 0;
    QIcon FIcon;
    win::DWORD FIconHandle = 0; // our reference to FIcon in the handle table
    bool FHideTask = false;
    QString FHint;
    bool FIconVisible = false;
    bool FShown = false;
    QMenu* FPopupMenu = nullptr;
    Qt::WindowFlags FSavedWindowType = Qt::Window;
    platform::NOTIFYICONDATAA IconData;
};
