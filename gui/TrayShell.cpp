#include "gui/TrayShell.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <xcb/xcb.h>

namespace platform {

// ---- Registered window messages --------------------------------------------

namespace {
constexpr std::uint32_t kFirstRegisteredMessage = 0xC000;
constexpr std::uint32_t kRegisteredMessageCount = 0x4000;

struct MessageTable {
    std::mutex lock;
    std::unordered_map<std::string, std::uint32_t> byName;
    std::unordered_map<std::uint32_t, std::string> byNumber;
};
MessageTable& messageTable() {
    static MessageTable table;
    return table;
}
} // namespace

std::uint32_t RegisterWindowMessageName(const char* name) {
    if (!name || !*name)
        return 0;
    // Names compare without regard to ASCII case, as the Windows table does.
    std::string key(name);
    for (char& c : key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    MessageTable& table = messageTable();
    std::lock_guard<std::mutex> guard(table.lock);
    if (auto it = table.byName.find(key); it != table.byName.end())
        return it->second;
    // FNV-1a picks the first candidate; collisions probe upwards.
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : key) {
        hash ^= c;
        hash *= 16777619u;
    }
    for (std::uint32_t i = 0; i < kRegisteredMessageCount; ++i) {
        const std::uint32_t number = kFirstRegisteredMessage + (hash + i) % kRegisteredMessageCount;
        if (table.byNumber.count(number) == 0) {
            table.byNumber.emplace(number, key);
            table.byName.emplace(key, number);
            return number;
        }
    }
    return 0;
}

// ---- Hidden message windows ------------------------------------------------

namespace {
struct WindowTable {
    std::mutex lock;
    std::unordered_map<win::DWORD, std::shared_ptr<WindowProc>> windows;
    win::DWORD next = 0x100;
};
WindowTable& windowTable() {
    static WindowTable table;
    return table;
}
} // namespace

win::DWORD CreateMessageWindow(WindowProc proc) {
    WindowTable& table = windowTable();
    std::lock_guard<std::mutex> guard(table.lock);
    const win::DWORD handle = table.next;
    table.next += 4; // window handles are multiples of 4, like the system's
    table.windows.emplace(handle, std::make_shared<WindowProc>(std::move(proc)));
    return handle;
}

void DestroyMessageWindow(win::DWORD hwnd) {
    std::shared_ptr<WindowProc> doomed;
    {
        WindowTable& table = windowTable();
        std::lock_guard<std::mutex> guard(table.lock);
        auto it = table.windows.find(hwnd);
        if (it == table.windows.end())
            return;
        doomed = std::move(it->second);
        table.windows.erase(it);
    }
    // The procedure (and what it captured) dies outside the lock, unless a
    // message to this window is being handled right now; then it lives until
    // that call returns.
}

bool IsMessageWindow(win::DWORD hwnd) {
    WindowTable& table = windowTable();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.windows.count(hwnd) != 0;
}

std::intptr_t SendWindowMessage(win::DWORD hwnd, std::uint32_t msg, std::uintptr_t wParam,
                                std::intptr_t lParam) {
    std::shared_ptr<WindowProc> proc;
    {
        WindowTable& table = windowTable();
        std::lock_guard<std::mutex> guard(table.lock);
        auto it = table.windows.find(hwnd);
        if (it == table.windows.end())
            return 0;
        proc = it->second;
    }
    // Called without the lock: the procedure may create or destroy windows.
    return (proc && *proc) ? (*proc)(msg, wParam, lParam) : 0;
}

bool PostWindowMessage(win::DWORD hwnd, std::uint32_t msg, std::uintptr_t wParam,
                       std::intptr_t lParam) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !IsMessageWindow(hwnd))
        return false;
    // The handle is looked up again at delivery: a window destroyed in the
    // meantime simply loses the message.
    return QMetaObject::invokeMethod(
        app, [hwnd, msg, wParam, lParam] { SendWindowMessage(hwnd, msg, wParam, lParam); },
        Qt::QueuedConnection);
}

// ---- Icon handles -----------------------------------------------------------

namespace {
struct IconEntry {
    QIcon icon;
    int references = 0; // < 0: permanent
};
struct IconTable {
    std::mutex lock;
    std::unordered_map<win::DWORD, IconEntry> byHandle;
    std::unordered_map<qint64, win::DWORD> byKey; // QIcon::cacheKey -> handle
    win::DWORD next = 0x10000;
    win::DWORD stock = 0;
};
IconTable& iconTable() {
    static IconTable table;
    return table;
}

QIcon drawStockIcon() {
    // Four coloured panes on a transparent ground: a generic "application"
    // picture that reads at 16 and at 32 pixels.
    QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xE0, 0x3C, 0x31));
        p.drawRect(3, 3, 12, 12);
        p.setBrush(QColor(0x3C, 0xB0, 0x43));
        p.drawRect(17, 3, 12, 12);
        p.setBrush(QColor(0x2F, 0x6F, 0xD6));
        p.drawRect(3, 17, 12, 12);
        p.setBrush(QColor(0xF2, 0xC1, 0x1D));
        p.drawRect(17, 17, 12, 12);
    }
    return QIcon(QPixmap::fromImage(image));
}
} // namespace

win::DWORD AcquireIconHandle(const QIcon& icon) {
    if (icon.isNull())
        return 0;
    IconTable& table = iconTable();
    std::lock_guard<std::mutex> guard(table.lock);
    const qint64 key = icon.cacheKey();
    if (auto it = table.byKey.find(key); it != table.byKey.end()) {
        IconEntry& entry = table.byHandle[it->second];
        if (entry.references >= 0)
            ++entry.references;
        return it->second;
    }
    const win::DWORD handle = table.next++;
    table.byHandle.emplace(handle, IconEntry{icon, 1});
    table.byKey.emplace(key, handle);
    return handle;
}

void ReleaseIconHandle(win::DWORD handle) {
    if (handle == 0)
        return;
    QIcon doomed;
    {
        IconTable& table = iconTable();
        std::lock_guard<std::mutex> guard(table.lock);
        auto it = table.byHandle.find(handle);
        if (it == table.byHandle.end() || it->second.references < 0)
            return;
        if (--it->second.references > 0)
            return;
        doomed = std::move(it->second.icon);
        table.byKey.erase(doomed.cacheKey());
        table.byHandle.erase(it);
    }
}

QIcon IconForHandle(win::DWORD handle) {
    IconTable& table = iconTable();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.byHandle.find(handle);
    return it == table.byHandle.end() ? QIcon() : it->second.icon;
}

win::DWORD StockIconHandle() {
    IconTable& table = iconTable();
    {
        std::lock_guard<std::mutex> guard(table.lock);
        if (table.stock != 0)
            return table.stock;
    }
    // Drawn outside the lock; the main thread is the only caller that can
    // get here first, since drawing needs the GUI application.
    QIcon icon = drawStockIcon();
    std::lock_guard<std::mutex> guard(table.lock);
    if (table.stock == 0) {
        const win::DWORD handle = table.next++;
        table.byKey.emplace(icon.cacheKey(), handle);
        table.byHandle.emplace(handle, IconEntry{std::move(icon), -1});
        table.stock = handle;
    }
    return table.stock;
}

// ---- The shell ----------------------------------------------------------------

namespace {
TrayShell* g_testShell = nullptr;
} // namespace

TrayShell& CurrentTrayShell() {
    if (g_testShell)
        return *g_testShell;
    // Built on first use and kept until exit: the process has one desktop.
    static QtTrayShell desktop;
    return desktop;
}

void SetTrayShellForTests(TrayShell* shell) {
    g_testShell = shell;
}

struct QtTrayShell::Impl {
    struct Entry {
        QPointer<QSystemTrayIcon> tray;
        win::DWORD hWnd = 0;
        win::DWORD uID = 0;
        std::uint32_t callbackMessage = 0;
    };
    bool assumeHost = false;
    std::function<bool()> hostProbe;
    // Whether the host is a StatusNotifierItem panel. Qt picks its back end
    // once, at its first look for a host, and keeps it; so is this, taken at
    // the same moment so that both agree.
    bool statusNotifierHost = false;
    bool hostKindKnown = false;
    std::map<std::uint64_t, Entry> icons;
    // Windows whose add was refused for want of a host.
    std::set<win::DWORD> waiting;
    // What announces a host: a StatusNotifierItem watcher taking its name on
    // the session bus, an XEmbed tray manager its selection on the display.
    // Nothing is polled: both are told, when nothing happens nothing runs.
    QPointer<QDBusServiceWatcher> busWatch; // the application's child
    std::unique_ptr<QAbstractNativeEventFilter> trayManagerWatch;
    bool watching = false;

    void waitForHost(win::DWORD hWnd) {
        // Headless (the offscreen platform) no panel can ever appear.
        if (!hostProbe && QGuiApplication::platformName() == QStringLiteral("offscreen"))
            return;
        waiting.insert(hWnd);
    }
    void watchHosts();
    void watcherOwnerChanged(const QString& oldOwner, const QString& newOwner);
    void lookForHost() {
        if (waiting.empty() || !hostAvailable())
            return;
        const std::set<win::DWORD> windows = std::move(waiting);
        waiting.clear();
        // Each window adds its icons again from its own procedure.
        for (win::DWORD hWnd : windows)
            SendWindowMessage(hWnd, TaskbarCreatedMessage(), 0, 0);
    }

    static std::uint64_t keyOf(win::DWORD hWnd, win::DWORD uID) {
        return (std::uint64_t(hWnd) << 32) | uID;
    }
    bool hostAvailable() {
        if (assumeHost)
            return true;
        if (hostProbe)
            return hostProbe();
        if (!QCoreApplication::instance())
            return false;
        if (!hostKindKnown) {
            // Qt asked without any host settles on the XEmbed tray for the
            // rest of the process, and a panel starting later would never
            // get the icon: it is asked once one of the two is there.
            const bool statusNotifier = watcherRegistered();
            if (!statusNotifier && !trayManagerPresent())
                return false;
            hostKindKnown = true;
            statusNotifierHost = statusNotifier;
        }
        return QSystemTrayIcon::isSystemTrayAvailable();
    }
    static bool trayManagerPresent();
    static bool watcherRegistered() {
        // Offscreen there is nothing to show, and no bus worth connecting to.
        if (QGuiApplication::platformName() == QStringLiteral("offscreen"))
            return false;
        const QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        return bus && bus->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"));
    }
    static QString tipOf(const NOTIFYICONDATAA& data) {
        return QString::fromUtf8(data.szTip, qsizetype(strnlen(data.szTip, sizeof data.szTip)));
    }
    static QIcon iconOf(const NOTIFYICONDATAA& data) {
        QIcon icon = IconForHandle(data.hIcon);
        // An unknown handle still shows something: an icon without a picture
        // would be invisible in the panel.
        return icon.isNull() ? IconForHandle(StockIconHandle()) : icon;
    }
    static void apply(Entry& entry, const NOTIFYICONDATAA& data) {
        if (data.uFlags & NIF_MESSAGE)
            entry.callbackMessage = data.uCallbackMessage;
        // Qt passes every set on, changed or not; the owner modifies on each
        // timer tick.
        if (data.uFlags & NIF_ICON) {
            const QIcon icon = iconOf(data);
            if (icon.cacheKey() != entry.tray->icon().cacheKey())
                entry.tray->setIcon(icon);
        }
        if (data.uFlags & NIF_TIP) {
            const QString tip = tipOf(data);
            if (tip != entry.tray->toolTip())
                entry.tray->setToolTip(tip);
        }
    }
    void activated(std::uint64_t key, QSystemTrayIcon::ActivationReason reason) {
        auto it = icons.find(key);
        if (it == icons.end() || it->second.callbackMessage == 0)
            return;
        std::uint32_t mouse = 0;
        bool thenDoubleClick = false;
        switch (reason) {
        case QSystemTrayIcon::Trigger:
            mouse = WM_LBUTTONDOWN;
            thenDoubleClick = statusNotifierHost;
            break;
        case QSystemTrayIcon::DoubleClick:
            mouse = WM_LBUTTONDBLCLK;
            break;
        case QSystemTrayIcon::Context:
            if (statusNotifierHost && it->second.tray && it->second.tray->contextMenu())
                return; // the panel shows the exported menu itself
            mouse = WM_RBUTTONDOWN;
            break;
        case QSystemTrayIcon::MiddleClick:
            mouse = WM_MBUTTONDOWN;
            break;
        case QSystemTrayIcon::Unknown:
            return;
        }
        // Copies: the receiver may delete this very icon while handling it.
        const win::DWORD hWnd = it->second.hWnd;
        const win::DWORD uID = it->second.uID;
        const std::uint32_t callback = it->second.callbackMessage;
        SendWindowMessage(hWnd, callback, uID, std::intptr_t(mouse));
        if (thenDoubleClick && icons.count(key) != 0)
            SendWindowMessage(hWnd, callback, uID, std::intptr_t(WM_LBUTTONDBLCLK));
    }
};

namespace {
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

// A tray manager announces itself with a MANAGER client message to the root
// window, which Qt's connection receives (its screens listen for structure
// changes of the root). Main thread: Qt filters its events there.
class TrayManagerFilter : public QAbstractNativeEventFilter {
public:
    TrayManagerFilter(xcb_atom_t manager, std::function<void()> announced)
        : manager_(manager), announced_(std::move(announced)) {}
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE &&
            reinterpret_cast<const xcb_client_message_event_t*>(event)->type == manager_) {
            // Not from inside Qt's event handling: the look asks the display.
            QMetaObject::invokeMethod(QCoreApplication::instance(), announced_,
                                      Qt::QueuedConnection);
        }
        return false;
    }

private:
    xcb_atom_t manager_;
    std::function<void()> announced_;
};
} // namespace

bool QtTrayShell::Impl::trayManagerPresent() {
    xcb_connection_t* c = x11Connection();
    if (!c)
        return false;
    // The manager of any screen's tray selection (the display has one screen
    // in practice); no such atom yet means no manager ever took it.
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

void QtTrayShell::Impl::watchHosts() {
    if (watching || assumeHost || hostProbe || !QCoreApplication::instance() ||
        QGuiApplication::platformName() == QStringLiteral("offscreen"))
        return;
    watching = true;
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        busWatch = new QDBusServiceWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"), bus,
                                           QDBusServiceWatcher::WatchForOwnerChange,
                                           QCoreApplication::instance());
        QObject::connect(busWatch.data(), &QDBusServiceWatcher::serviceOwnerChanged,
                         busWatch.data(),
                         [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                             watcherOwnerChanged(oldOwner, newOwner);
                         });
    }
    if (xcb_connection_t* c = x11Connection()) {
        trayManagerWatch = std::make_unique<TrayManagerFilter>(internAtom(c, "MANAGER", false),
                                                               [this] { lookForHost(); });
        QCoreApplication::instance()->installNativeEventFilter(trayManagerWatch.get());
    }
}

void QtTrayShell::Impl::watcherOwnerChanged(const QString& oldOwner, const QString& newOwner) {
    if (newOwner.isEmpty())
        return; // the panel went away: its successor will say so
    // A panel that restarts or is replaced knows none of the icons: shown
    // again, each registers with the new watcher.
    if (statusNotifierHost && !oldOwner.isEmpty()) {
        for (auto& [key, entry] : icons) {
            if (entry.tray && entry.tray->isVisible()) {
                entry.tray->hide();
                entry.tray->show();
            }
        }
    }
    lookForHost();
}

QtTrayShell::QtTrayShell(bool assumeHost) : d(std::make_unique<Impl>()) {
    d->assumeHost = assumeHost;
}

QtTrayShell::QtTrayShell(std::function<bool()> hostAvailable) : d(std::make_unique<Impl>()) {
    d->hostProbe = std::move(hostAvailable);
}

std::uint32_t TaskbarCreatedMessage() {
    static const std::uint32_t message = RegisterWindowMessageName("TaskbarCreated");
    return message;
}

QtTrayShell::~QtTrayShell() {
    delete d->busWatch.data();
    if (d->trayManagerWatch && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(d->trayManagerWatch.get());
    // Icons the application has already destroyed read as null here.
    for (auto& [key, entry] : d->icons)
        delete entry.tray.data();
}

bool QtTrayShell::Shell_NotifyIcon(win::DWORD message, const NOTIFYICONDATAA& data) {
    if (message == NIM_ADD)
        d->watchHosts();
    const std::uint64_t key = Impl::keyOf(data.hWnd, data.uID);
    auto it = d->icons.find(key);
    // An icon that is not there is neither changed nor removed: refused
    // without a look for a host, which asks the bus and the display, while
    // the owner keeps changing its tooltip with no panel to show it.
    if (message != NIM_ADD && it == d->icons.end())
        return false;
    // Checked silently: without a panel there is nothing to do and nothing
    // worth a warning every 500 ms.
    if (!d->hostAvailable()) {
        if (message == NIM_ADD)
            d->waitForHost(data.hWnd);
        return false;
    }
    switch (message) {
    case NIM_ADD: {
        if (it != d->icons.end())
            return false;
        Impl::Entry entry;
        entry.hWnd = data.hWnd;
        entry.uID = data.uID;
        // Parented to the application so that none outlives it, whatever the
        // order of destruction at exit.
        entry.tray = new QSystemTrayIcon(QCoreApplication::instance());
        // No context menu is given to Qt here: SetIconMenu gives it on a
        // StatusNotifierItem host; elsewhere the right press is reported and
        // the program shows the menu itself.
        QObject::connect(entry.tray.data(), &QSystemTrayIcon::activated, entry.tray.data(),
                         [impl = d.get(), key](QSystemTrayIcon::ActivationReason reason) {
                             impl->activated(key, reason);
                         });
        Impl::apply(entry, data);
        if (!(data.uFlags & NIF_ICON))
            entry.tray->setIcon(IconForHandle(StockIconHandle()));
        entry.tray->show();
        d->icons.emplace(key, std::move(entry));
        return true;
    }
    case NIM_MODIFY:
        if (it == d->icons.end() || !it->second.tray)
            return false;
        Impl::apply(it->second, data);
        return true;
    case NIM_DELETE: {
        if (it == d->icons.end())
            return false;
        QSystemTrayIcon* tray = it->second.tray.data();
        d->icons.erase(it);
        if (tray) {
            QObject::disconnect(tray, &QSystemTrayIcon::activated, nullptr, nullptr);
            tray->hide();
            // Later: the delete may come from a handler of this icon's own
            // activation signal.
            tray->deleteLater();
        }
        return true;
    }
    default:
        return false;
    }
}

void QtTrayShell::SetIconMenu(win::DWORD hWnd, win::DWORD uID, QMenu* menu) {
    // On the XEmbed tray Qt would pop a given menu up by itself, on top of
    // the one the program shows at the right press.
    if (!d->statusNotifierHost)
        return;
    auto it = d->icons.find(Impl::keyOf(hWnd, uID));
    if (it != d->icons.end() && it->second.tray && it->second.tray->contextMenu() != menu)
        it->second.tray->setContextMenu(menu);
}

void QtTrayShell::LookForHost() {
    d->lookForHost();
}

std::size_t QtTrayShell::IconCount() const {
    return d->icons.size();
}

QSystemTrayIcon* QtTrayShell::IconObject(win::DWORD hWnd, win::DWORD uID) const {
    auto it = d->icons.find(Impl::keyOf(hWnd, uID));
    return it == d->icons.end() ? nullptr : it->second.tray.data();
}

} // namespace platform
