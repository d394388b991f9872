#include "gui/uTrayIcon.h"

#include <QCursor>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QWidget>
#include <vector>

TIconManager* IconManager = nullptr;

namespace {
// The process's manager: built when the windows module is loaded (its
// static objects are made then, after main() has begun), destroyed at exit.
struct ManagerLifetime {
    TIconManager manager;
    ManagerLifetime() { IconManager = &manager; }
    ~ManagerLifetime() { IconManager = nullptr; }
} g_manager;

constexpr qsizetype kTipBytes = 63;

// The hint up to its first NUL, in UTF-8, cut to the tooltip's room without
// splitting a character.
QString tipOf(const QString& hint) {
    const qsizetype nul = hint.indexOf(QChar(0));
    QByteArray bytes = (nul < 0 ? hint : hint.left(nul)).toUtf8();
    if (bytes.size() > kTipBytes) {
        // bytes[length] is the first byte left out; while it continues a
        // character, that character straddles the cut and goes as well.
        qsizetype length = kTipBytes;
        while (length > 0 && (static_cast<unsigned char>(bytes[length]) & 0xC0) == 0x80)
            --length;
        bytes.truncate(length);
    }
    return QString::fromUtf8(bytes);
}

QIcon drawStockIcon() {
    // Four coloured panes on a transparent ground: a generic "application"
    // picture that reads at 16 and at 32 pixels.
    QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.fillRect(3, 3, 12, 12, QColor(0xE0, 0x3C, 0x31));
    p.fillRect(17, 3, 12, 12, QColor(0x3C, 0xB0, 0x43));
    p.fillRect(3, 17, 12, 12, QColor(0x2F, 0x6F, 0xD6));
    p.fillRect(17, 17, 12, 12, QColor(0xF2, 0xC1, 0x1D));
    p.end();
    return QIcon(QPixmap::fromImage(image));
}
} // namespace

// ---- TIconManager ---------------------------------------------------------------

TIconManager::TIconManager() {
    setObjectName(QStringLiteral("IconManager"));
}

quint32 TIconManager::Attach(TTrayIkona* Icon) {
    const quint32 id = FNextId++;
    FIcons.emplace(id, Icon);
    return id;
}

void TIconManager::Detach(quint32 Id) {
    FIcons.erase(Id);
}

TTrayIkona* TIconManager::Find(quint32 Id) const {
    auto it = FIcons.find(Id);
    return it == FIcons.end() ? nullptr : it->second;
}

void TIconManager::Listen(TrayShell& Shell) {
    connect(&Shell, &TrayShell::Activated, this, &TIconManager::Activated, Qt::UniqueConnection);
    connect(&Shell, &TrayShell::HostAppeared, this, &TIconManager::HostAppeared,
            Qt::UniqueConnection);
}

void TIconManager::Activated(quint32 Id, QSystemTrayIcon::ActivationReason Reason) {
    TTrayIkona* icon = Find(Id);
    if (!icon)
        return; // the icon's component is gone
    // Copies of the events: the handler may reassign them or free the
    // component.
    if (Reason == QSystemTrayIcon::Trigger) {
        if (TNotifyEvent handler = icon->OnClick)
            handler(this);
    } else if (Reason == QSystemTrayIcon::DoubleClick) {
        if (TNotifyEvent handler = icon->OnDblClick)
            handler(this);
    } else if (Reason == QSystemTrayIcon::Context) {
        icon->PopupAtPointer();
    }
}

void TIconManager::HostAppeared() {
    // Every icon that should be shown and is not goes in. Identifiers first:
    // a handler may free components.
    std::vector<quint32> ids;
    for (const auto& [id, icon] : FIcons)
        ids.push_back(id);
    for (quint32 id : ids)
        if (TTrayIkona* icon = Find(id))
            icon->AddAgain();
}

// ---- TTrayIkona -----------------------------------------------------------------

TTrayIkona::TTrayIkona(TrayShell& Shell, QObject* Owner) : QObject(Owner), FShell(Shell) {
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
}

void TTrayIkona::LoadDefaultIcon() {
    static const QIcon stock = drawStockIcon();
    DefaultIcon = stock;
}

bool TTrayIkona::Add() {
    TrayShell& shell = FShell;
    if (IconManager)
        IconManager->Listen(shell);
    return shell.Add(FIdentifier, CurrentIcon(), tipOf(FHint));
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
    if (FIconVisible && !FShown && Add())
        SetShown(true);
}

void TTrayIkona::SetIcon(const QIcon& Value) {
    FIcon = Value; // shares the image
    if (FIconVisible)
        FShell.SetIcon(FIdentifier, CurrentIcon());
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
        FShell.SetToolTip(FIdentifier, tipOf(FHint));
}

void TTrayIkona::SetIconVisible(bool Value) {
    if (Value == FIconVisible)
        return;
    FIconVisible = Value;
    const bool accepted = Value ? Add() : FShell.Remove(FIdentifier);
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
    FShell.SetMenu(FIdentifier, FPopupMenu);
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
    if (FIconVisible && Add())
        SetShown(true);
}
