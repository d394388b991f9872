#include "gui/uTrayIcon.h"

#include <QCursor>
#include <QMenu>
#include <QWidget>
#include <cstring>
#include <limits>
#include <vector>

TIconManager* IconManager = nullptr;
std::uint32_t TrayCallbackMessage = 0;

namespace {
// Start and end of this unit, once per process. The counter keeps a second
// start (another static user) from making a second manager.
int g_unitUses = 0;

struct UnitLifetime {
    UnitLifetime() {
        if (g_unitUses++ != 0)
            return;
        TrayCallbackMessage = platform::RegisterWindowMessageName("Pelmo.TrayNotifyIconMsg");
        IconManager = new TIconManager;
    }
    ~UnitLifetime() {
        if (--g_unitUses != 0)
            return;
        delete IconManager;
        IconManager = nullptr;
    }
    UnitLifetime(const UnitLifetime&) = delete;
    UnitLifetime& operator=(const UnitLifetime&) = delete;
};
UnitLifetime g_unit;

constexpr std::size_t kTipBytes = 63; // the record's 64 bytes less the terminator
constexpr win::DWORD kAllFlags = platform::NIF_MESSAGE | platform::NIF_ICON | platform::NIF_TIP;

// Hint up to its first NUL, in UTF-8, cut to the record's room without
// splitting a character, zero-terminated.
void fillTip(char (&tip)[64], const QString& hint) {
    std::memset(tip, 0, sizeof tip);
    const qsizetype nul = hint.indexOf(QChar(0));
    const QByteArray bytes = (nul < 0 ? hint : hint.left(nul)).toUtf8();
    std::size_t length = std::size_t(bytes.size());
    if (length > kTipBytes) {
        length = kTipBytes;
        // bytes[length] is the first byte left out; while it continues a
        // character, that character straddles the cut and goes as well.
        while (length > 0 && (static_cast<unsigned char>(bytes[qsizetype(length)]) & 0xC0) == 0x80)
            --length;
    }
    std::memcpy(tip, bytes.constData(), length);
}
} // namespace

// ---- TIconManager ---------------------------------------------------------------

TIconManager::TIconManager() {
    setObjectName(QStringLiteral("IconManager"));
    FWindowHandle = platform::CreateMessageWindow(
        [this](std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
            return TrayWndProc(msg, wParam, lParam);
        });
}

TIconManager::~TIconManager() {
    if (FWindowHandle != 0)
        platform::DestroyMessageWindow(FWindowHandle);
    FWindowHandle = 0;
}

win::DWORD TIconManager::Attach(TTrayIkona* Icon) {
    const win::DWORD id = FNextId++;
    FIcons.emplace(id, Icon);
    return id;
}

void TIconManager::Detach(win::DWORD Id) {
    FIcons.erase(Id);
}

TTrayIkona* TIconManager::Find(win::DWORD Id) const {
    auto it = FIcons.find(Id);
    return it == FIcons.end() ? nullptr : it->second;
}

std::intptr_t TIconManager::TrayWndProc(std::uint32_t Msg, std::uintptr_t WParam,
                                        std::intptr_t LParam) {
    if (Msg == platform::TaskbarCreatedMessage() && Msg != 0) {
        // A notification area appeared: every icon that should be shown and
        // is not goes in. Identifiers first: a handler may free components.
        std::vector<win::DWORD> ids;
        for (const auto& [id, icon] : FIcons)
            ids.push_back(id);
        for (win::DWORD id : ids)
            if (TTrayIkona* icon = Find(id))
                icon->AddAgain();
        return 0;
    }
    if (Msg != TrayCallbackMessage || TrayCallbackMessage == 0)
        return 0; // the default handling of a hidden window: nothing
    if (WParam > std::numeric_limits<win::DWORD>::max())
        return 0;
    TTrayIkona* icon = Find(win::DWORD(WParam));
    if (!icon)
        return 0; // the icon's component is gone
    switch (LParam) {
    case platform::WM_LBUTTONDOWN:
        if (icon->OnClick) {
            // A copy: the handler may reassign the event or free the component.
            TNotifyEvent handler = icon->OnClick;
            handler(this);
        }
        break;
    case platform::WM_LBUTTONDBLCLK:
        if (icon->OnDblClick) {
            TNotifyEvent handler = icon->OnDblClick;
            handler(this);
        }
        break;
    case platform::WM_RBUTTONDOWN:
        if (icon->PopupMenu()) {
            icon->PopupAtPointer();
            // An empty message after the menu, as the shell expects of a tray
            // owner; it ends in the default handling above.
            platform::PostWindowMessage(FWindowHandle, platform::WM_USER, 0, 0);
        }
        break;
    default:
        break;
    }
    return 0;
}

// ---- TTrayIkona -----------------------------------------------------------------

TTrayIkona::TTrayIkona(QObject* Owner) : QObject(Owner) {
    if (IconManager)
        FIdentifier = IconManager->Attach(this);
    LoadDefaultIcon();
}

TTrayIkona::~TTrayIkona() {
    OnShownChange = nullptr; // nobody is told of a component going away
    if (FIconVisible)
        SetIconVisible(false);
    if (IconManager && FIdentifier != 0)
        IconManager->Detach(FIdentifier);
    platform::ReleaseIconHandle(FIconHandle);
    FIconHandle = 0;
}

void TTrayIkona::LoadDefaultIcon() {
    DefaultIcon = platform::StockIconHandle();
}

win::DWORD TTrayIkona::CurrentIconHandle() const {
    return FIconHandle != 0 ? FIconHandle : DefaultIcon;
}

bool TTrayIkona::NotifyShell(win::DWORD Message, win::DWORD Flags) {
    IconData = platform::NOTIFYICONDATAA{};
    IconData.cbSize = sizeof(platform::NOTIFYICONDATAA);
    fillTip(IconData.szTip, FHint);
    IconData.uFlags = Flags;
    IconData.uID = FIdentifier;
    IconData.hWnd = IconManager ? IconManager->WindowHandle() : 0;
    IconData.uCallbackMessage = TrayCallbackMessage;
    IconData.hIcon = CurrentIconHandle();
    // A refused request leaves the properties as set; only Shown follows
    // the answer.
    return platform::CurrentTrayShell().Shell_NotifyIcon(Message, IconData);
}

void TTrayIkona::SetShown(bool Value) {
    if (Value == FShown)
        return;
    FShown = Value;
    // A freshly added icon has no menu yet on the shell's side.
    if (Value)
        GiveMenuToShell();
    if (OnShownChange) {
        TNotifyEvent handler = OnShownChange; // may reassign the event
        handler(this);
    }
}

void TTrayIkona::AddAgain() {
    if (FIconVisible && !FShown && NotifyShell(platform::NIM_ADD, kAllFlags))
        SetShown(true);
}

void TTrayIkona::SetIcon(const QIcon& Value) {
    // Shares the image; take the new reference before dropping the old one,
    // so that re-assigning the same image keeps its handle.
    const win::DWORD handle = platform::AcquireIconHandle(Value);
    platform::ReleaseIconHandle(FIconHandle);
    FIconHandle = handle;
    FIcon = Value;
    if (FIconVisible)
        NotifyShell(platform::NIM_MODIFY, platform::NIF_ICON);
}

QWidget* TTrayIkona::TaskbarWindow() const {
    for (QObject* o = parent(); o; o = o->parent())
        if (auto* widget = qobject_cast<QWidget*>(o))
            return widget->window();
    return nullptr;
}

void TTrayIkona::SetHideTask(bool Value) {
    if (Value == FHideTask)
        return;
    FHideTask = Value;
    QWidget* window = TaskbarWindow();
    if (!window)
        return;
    // A tool window has no taskbar entry. Changing the type hides a shown
    // window and would drop its quit-on-close role, so both are put back.
    const bool wasVisible = window->isVisible();
    const bool quitOnClose = window->testAttribute(Qt::WA_QuitOnClose);
    const Qt::WindowFlags flags = window->windowFlags();
    const Qt::WindowFlags hints = flags & ~Qt::WindowType_Mask;
    Qt::WindowFlags type;
    if (Value) {
        FSavedWindowType = flags & Qt::WindowType_Mask;
        type = Qt::Tool;
    } else {
        type = FSavedWindowType == Qt::Tool ? Qt::Window : FSavedWindowType;
    }
    if ((flags & Qt::WindowType_Mask) == type)
        return;
    window->setWindowFlags(hints | type);
    window->setAttribute(Qt::WA_QuitOnClose, quitOnClose);
    if (wasVisible)
        window->show();
}

void TTrayIkona::SetHint(const QString& Value) {
    if (Value == FHint)
        return;
    FHint = Value;
    if (FIconVisible)
        NotifyShell(platform::NIM_MODIFY, platform::NIF_TIP);
}

void TTrayIkona::SetIconVisible(bool Value) {
    if (Value == FIconVisible)
        return;
    FIconVisible = Value;
    const bool accepted = NotifyShell(Value ? platform::NIM_ADD : platform::NIM_DELETE, kAllFlags);
    SetShown(Value && accepted);
}

void TTrayIkona::SetPopupMenu(QMenu* Value) {
    FPopupMenu = Value;
    if (Value)
        connect(Value, &QObject::destroyed, this, &TTrayIkona::MenuDestroyed, Qt::UniqueConnection);
    if (FShown)
        GiveMenuToShell();
}

void TTrayIkona::GiveMenuToShell() {
    if (IconManager)
        platform::CurrentTrayShell().SetIconMenu(IconManager->WindowHandle(), FIdentifier,
                                                 FPopupMenu);
}

void TTrayIkona::MenuDestroyed(QObject* Menu) {
    if (Menu == FPopupMenu)
        FPopupMenu = nullptr;
}

void TTrayIkona::PopupAtPointer() {
    // Shown without a modal loop: the menu closes itself when the user
    // clicks elsewhere, and timers and serial events keep running meanwhile.
    if (FPopupMenu)
        FPopupMenu->popup(QCursor::pos());
}

void TTrayIkona::Loaded() {
    if (FIconVisible && NotifyShell(platform::NIM_ADD, kAllFlags))
        SetShown(true);
}
