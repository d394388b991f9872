// The notification-area service, the hidden message windows that receive its
// notifications, and the icon handles that its records refer to.
//
// The tray component speaks to the shell the way the Windows API does: a
// fixed 88-byte record, an add/modify/delete message and a callback message
// sent back to a window handle. On Linux the "windows" are entries in a small
// process-wide table (handle -> window procedure) and the shell is an
// interface with a QSystemTrayIcon back end; tests install a recorder.
//
// Main (GUI) thread only, except PostWindowMessage, which may be called from
// any thread (the message is delivered on the main thread).
#pragma once

#include "platform/WinTypes.h"

#include <QIcon>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace platform {

// Shell requests and record flags.
constexpr win::DWORD NIM_ADD = 0;
constexpr win::DWORD NIM_MODIFY = 1;
constexpr win::DWORD NIM_DELETE = 2;
constexpr win::DWORD NIF_MESSAGE = 1;
constexpr win::DWORD NIF_ICON = 2;
constexpr win::DWORD NIF_TIP = 4;

// Mouse messages reported in lParam of the callback message.
constexpr std::uint32_t WM_LBUTTONDOWN = 0x201;
constexpr std::uint32_t WM_LBUTTONDBLCLK = 0x203;
constexpr std::uint32_t WM_RBUTTONDOWN = 0x204;
constexpr std::uint32_t WM_MBUTTONDOWN = 0x207;
constexpr std::uint32_t WM_USER = 0x400;

// The shell's first record layout, 88 bytes. Handles and the identifier are
// 32-bit numbers, as in the 32-bit Windows record.
struct NOTIFYICONDATAA {
    win::DWORD cbSize = 0;
    win::DWORD hWnd = 0;
    win::DWORD uID = 0;
    win::DWORD uFlags = 0;
    win::DWORD uCallbackMessage = 0;
    win::DWORD hIcon = 0;
    char szTip[64] = {};
};
static_assert(sizeof(NOTIFYICONDATAA) == 88);
static_assert(offsetof(NOTIFYICONDATAA, hWnd) == 4);
static_assert(offsetof(NOTIFYICONDATAA, uID) == 8);
static_assert(offsetof(NOTIFYICONDATAA, uFlags) == 12);
static_assert(offsetof(NOTIFYICONDATAA, uCallbackMessage) == 16);
static_assert(offsetof(NOTIFYICONDATAA, hIcon) == 20);
static_assert(offsetof(NOTIFYICONDATAA, szTip) == 24);

// ---- Registered window messages --------------------------------------------

// A message number in 0xC000..0xFFFF for a name. The same name always gives
// the same number in a process; the first choice is derived from the name
// alone, so other processes of this program agree on it as well. Returns 0
// for an empty name or a full table.
std::uint32_t RegisterWindowMessageName(const char* name);

// ---- Hidden message windows ------------------------------------------------

using WindowProc =
    std::function<std::intptr_t(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam)>;

// Creates a window that owns nothing but its procedure; returns its handle
// (never 0). Handles are not reused while the process runs, so a message for
// a destroyed window cannot reach a newer one.
win::DWORD CreateMessageWindow(WindowProc proc);
// Destroys the window; later messages for the handle are dropped.
void DestroyMessageWindow(win::DWORD hwnd);
bool IsMessageWindow(win::DWORD hwnd);
// Calls the window's procedure at once and returns its result; 0 when there
// is no such window. The procedure may create or destroy windows.
std::intptr_t SendWindowMessage(win::DWORD hwnd, std::uint32_t msg, std::uintptr_t wParam,
                                std::intptr_t lParam);
// Queues the message for the main thread's event loop. False when there is no
// such window or no application object to run the loop.
bool PostWindowMessage(win::DWORD hwnd, std::uint32_t msg, std::uintptr_t wParam,
                       std::intptr_t lParam);

// ---- Icon handles -----------------------------------------------------------

// A handle stands for a QIcon, so that a 32-bit record can name an image.
// Acquiring the same (shared) image twice gives the same handle and counts
// two references; a null icon gives 0.
win::DWORD AcquireIconHandle(const QIcon& icon);
void ReleaseIconHandle(win::DWORD handle);
// The image of a handle; a null icon for 0 or an unknown handle.
QIcon IconForHandle(win::DWORD handle);
// The stock "application" image (the system's IDI_WINLOGO on Windows): a
// picture of our own. Its handle is permanent and needs no release.
win::DWORD StockIconHandle();

// ---- The shell ----------------------------------------------------------------

class TrayShell {
public:
    virtual ~TrayShell() = default;
    // Adds, changes or removes the icon named by (hWnd, uID). Fields are taken
    // as uFlags says: NIF_MESSAGE the callback message, NIF_ICON the image,
    // NIF_TIP the tooltip. A second add for the same icon, or a modify or
    // delete of an icon that is not there, is refused (false). Clicks on the
    // icon come back as uCallbackMessage sent to hWnd with wParam = uID and
    // lParam = WM_LBUTTONDOWN, WM_LBUTTONDBLCLK or WM_RBUTTONDOWN.
    virtual bool Shell_NotifyIcon(win::DWORD message, const NOTIFYICONDATAA& data) = 0;
    // The popup menu of the icon (hWnd, uID), for hosts that show an icon's
    // menu themselves; not owned, nullptr for none. A shell whose host
    // reports the right press instead (the program then shows the menu at
    // the pointer) ignores it, as this default does.
    virtual void SetIconMenu(win::DWORD /*hWnd*/, win::DWORD /*uID*/, QMenu* /*menu*/) {}
};

// The registered message "TaskbarCreated": sent to the windows whose icon
// was refused for want of a notification area once one appears, so that they
// add their icons again (as the Windows shell broadcasts it when a taskbar
// starts).
std::uint32_t TaskbarCreatedMessage();

// The shell in use: the test shell when one is set, else the desktop's
// notification area (created on first use; needs the application object).
TrayShell& CurrentTrayShell();
// Installs a shell for tests; nullptr restores the desktop one. The caller
// keeps ownership and must reset it before destroying the shell.
void SetTrayShellForTests(TrayShell* shell);

// The desktop notification area through QSystemTrayIcon, one per icon. Without
// a tray host (offscreen or headless sessions, or a session whose panel has
// not started yet) every request is refused quietly; when a host appears
// later (a StatusNotifierItem watcher taking its name on the session bus, or
// an XEmbed tray manager announcing itself on the display; nothing is
// polled), the shell sends TaskbarCreatedMessage() to each window whose add
// it refused. assumeHost skips the check, for tests of the mapping itself;
// hostAvailable replaces it (by default: a watcher or a tray manager is
// there, and QSystemTrayIcon::isSystemTrayAvailable) and the watching.
//
// On a StatusNotifierItem panel (a watcher on the session bus; Qt then
// talks D-Bus instead of embedding a window; a watcher that is replaced, as
// when the panel restarts, gets the icons again):
// - the menu given by SetIconMenu is exported for the panel to show, and
//   the right press is not reported, since the panel shows that menu;
// - such panels send no double-click, so a left click is reported as a
//   press followed by a double-click, as a double-click arrives elsewhere.
// Each new picture or tooltip is a signal to every panel, so a modify that
// changes neither sends nothing (on any host).
class QtTrayShell : public TrayShell {
public:
    explicit QtTrayShell(bool assumeHost = false);
    explicit QtTrayShell(std::function<bool()> hostAvailable);
    ~QtTrayShell() override;
    QtTrayShell(const QtTrayShell&) = delete;
    QtTrayShell& operator=(const QtTrayShell&) = delete;

    bool Shell_NotifyIcon(win::DWORD message, const NOTIFYICONDATAA& data) override;
    void SetIconMenu(win::DWORD hWnd, win::DWORD uID, QMenu* menu) override;

    // Looks for a host now and, when there is one, sends
    // TaskbarCreatedMessage() to the windows whose add was refused. The
    // shell's own watchers call it when a host announces itself; a shell
    // given hostAvailable is told by its owner.
    void LookForHost();

    // The number of icons currently shown.
    std::size_t IconCount() const;
    // The object that shows the icon (hWnd, uID); nullptr when there is none.
    QSystemTrayIcon* IconObject(win::DWORD hWnd, win::DWORD uID) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace platform
