// The plumbing under the tray component: registered messages, hidden message
// windows, icon handles and the QSystemTrayIcon back end.
#include "gui/TrayShell.h"
#include "gui/uTrayIcon.h"

#include <QCoreApplication>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTest>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <tuple>
#include <vector>

namespace {

QIcon solidIcon(QColor colour) {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(colour);
    return QIcon(QPixmap::fromImage(image));
}

TEST(RegisteredMessage, SameNameSameNumberAndDistinctNames) {
    const std::uint32_t tray = platform::RegisterWindowMessageName("Pelmo.TrayNotifyIconMsg");
    EXPECT_GE(tray, 0xC000u);
    EXPECT_LE(tray, 0xFFFFu);
    EXPECT_EQ(tray, TrayCallbackMessage) << "the unit registered the same name at start";
    EXPECT_EQ(platform::RegisterWindowMessageName("pelmo.traynotifyiconmsg"), tray)
        << "names compare without case";

    std::set<std::uint32_t> numbers{tray};
    for (int i = 0; i < 200; ++i) {
        const std::string name = "Kelvox.Test." + std::to_string(i);
        const std::uint32_t n = platform::RegisterWindowMessageName(name.c_str());
        EXPECT_TRUE(numbers.insert(n).second) << name << " got a number already in use";
        EXPECT_EQ(platform::RegisterWindowMessageName(name.c_str()), n);
    }
    EXPECT_EQ(platform::RegisterWindowMessageName(""), 0u);
    EXPECT_EQ(platform::RegisterWindowMessageName(nullptr), 0u);
}

TEST(MessageWindow, SendPostAndDestroy) {
    std::vector<std::tuple<std::uint32_t, std::uintptr_t, std::intptr_t>> seen;
    const win::DWORD hwnd = platform::CreateMessageWindow(
        [&](std::uint32_t msg, std::uintptr_t w, std::intptr_t l) -> std::intptr_t {
            seen.emplace_back(msg, w, l);
            return std::intptr_t(w) + l;
        });
    ASSERT_NE(hwnd, 0u);
    EXPECT_TRUE(platform::IsMessageWindow(hwnd));
    EXPECT_EQ(platform::SendWindowMessage(hwnd, 0x400, 2, 3), 5);
    ASSERT_EQ(seen.size(), 1u);

    // A posted message waits for the event loop.
    ASSERT_TRUE(platform::PostWindowMessage(hwnd, 0x401, 7, 8));
    EXPECT_EQ(seen.size(), 1u);
    QCoreApplication::processEvents();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], std::make_tuple(0x401u, std::uintptr_t(7), std::intptr_t(8)));

    // Destroyed before delivery: the message is lost, not misdelivered.
    ASSERT_TRUE(platform::PostWindowMessage(hwnd, 0x402, 0, 0));
    platform::DestroyMessageWindow(hwnd);
    QCoreApplication::processEvents();
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_FALSE(platform::IsMessageWindow(hwnd));
    EXPECT_EQ(platform::SendWindowMessage(hwnd, 0x400, 1, 1), 0);
    EXPECT_FALSE(platform::PostWindowMessage(hwnd, 0x400, 1, 1));

    const win::DWORD next = platform::CreateMessageWindow([](auto, auto, auto) { return 0; });
    EXPECT_NE(next, hwnd) << "handles are not reused";
    platform::DestroyMessageWindow(next);
}

TEST(MessageWindow, ProcedureMayDestroyItsOwnWindow) {
    win::DWORD hwnd = 0;
    int calls = 0;
    hwnd = platform::CreateMessageWindow([&](std::uint32_t, std::uintptr_t, std::intptr_t) {
        ++calls;
        platform::DestroyMessageWindow(hwnd);
        return std::intptr_t(calls);
    });
    EXPECT_EQ(platform::SendWindowMessage(hwnd, 1, 0, 0), 1);
    EXPECT_EQ(platform::SendWindowMessage(hwnd, 1, 0, 0), 0);
    EXPECT_EQ(calls, 1);
}

TEST(IconHandles, SharedImagesShareAHandleUntilTheLastRelease) {
    EXPECT_EQ(platform::AcquireIconHandle(QIcon()), 0u);
    EXPECT_TRUE(platform::IconForHandle(0).isNull());

    const QIcon red = solidIcon(Qt::red);
    const QIcon copy = red; // shares the image
    const win::DWORD a = platform::AcquireIconHandle(red);
    const win::DWORD b = platform::AcquireIconHandle(copy);
    const win::DWORD other = platform::AcquireIconHandle(solidIcon(Qt::blue));
    ASSERT_NE(a, 0u);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, other);
    EXPECT_EQ(platform::IconForHandle(a).cacheKey(), red.cacheKey());

    platform::ReleaseIconHandle(a);
    EXPECT_FALSE(platform::IconForHandle(a).isNull()) << "one reference is left";
    platform::ReleaseIconHandle(b);
    EXPECT_TRUE(platform::IconForHandle(a).isNull());
    platform::ReleaseIconHandle(b); // an extra release is harmless
    EXPECT_FALSE(platform::IconForHandle(other).isNull());
    platform::ReleaseIconHandle(other);

    const win::DWORD stock = platform::StockIconHandle();
    EXPECT_EQ(platform::StockIconHandle(), stock);
    platform::ReleaseIconHandle(stock);
    ASSERT_FALSE(platform::IconForHandle(stock).isNull()) << "the stock icon is never released";
    EXPECT_FALSE(platform::IconForHandle(stock).pixmap(16, 16).isNull());
}

// Counts Qt's warnings while alive.
class WarningCounter {
public:
    WarningCounter() {
        count = 0;
        previous =
            qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString&) {
                if (type != QtDebugMsg && type != QtInfoMsg)
                    ++count;
            });
    }
    ~WarningCounter() { qInstallMessageHandler(previous); }
    static inline int count = 0;

private:
    QtMessageHandler previous = nullptr;
};

platform::NOTIFYICONDATAA record(win::DWORD hWnd, win::DWORD uID, win::DWORD flags,
                                 std::uint32_t callback, win::DWORD icon, const char* tip) {
    platform::NOTIFYICONDATAA data;
    data.cbSize = sizeof data;
    data.hWnd = hWnd;
    data.uID = uID;
    data.uFlags = flags;
    data.uCallbackMessage = callback;
    data.hIcon = icon;
    std::strncpy(data.szTip, tip, sizeof data.szTip - 1);
    return data;
}

TEST(QtTrayShell, WithoutATrayHostEveryRequestIsRefusedQuietly) {
    if (QSystemTrayIcon::isSystemTrayAvailable())
        GTEST_SKIP() << "this session has a tray host";
    WarningCounter warnings;
    platform::QtTrayShell shell;
    const auto data = record(0x100, 1, 7, 0xC123, platform::StockIconHandle(), "x");
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(shell.Shell_NotifyIcon(platform::NIM_ADD, data));
        EXPECT_FALSE(shell.Shell_NotifyIcon(platform::NIM_MODIFY, data));
        EXPECT_FALSE(shell.Shell_NotifyIcon(platform::NIM_DELETE, data));
    }
    EXPECT_EQ(shell.IconCount(), 0u);
    EXPECT_EQ(WarningCounter::count, 0);
}

TEST(QtTrayShell, AnIconRefusedForWantOfAHostIsAddedWhenOneAppears) {
    bool host = false;
    platform::QtTrayShell shell([&] { return host; });
    platform::SetTrayShellForTests(&shell);
    {
        TTrayIkona icon;
        int changes = 0;
        icon.OnShownChange = [&](QObject*) { ++changes; };
        icon.SetIconVisible(true);
        EXPECT_EQ(shell.IconCount(), 0u) << "no host, no icon";
        host = true; // the panel starts, unannounced: nothing polls for it
        QTest::qWait(1200);
        EXPECT_FALSE(icon.Shown());
        shell.LookForHost();
        ASSERT_TRUE(QTest::qWaitFor([&] { return icon.Shown(); }, 3000));
        EXPECT_EQ(changes, 1);
        ASSERT_NE(shell.IconObject(IconManager->WindowHandle(), icon.Identifier()), nullptr);
        EXPECT_TRUE(shell.IconObject(IconManager->WindowHandle(), icon.Identifier())->isVisible());
    }
    platform::SetTrayShellForTests(nullptr);
}

class QtTrayShellMapping : public ::testing::Test {
protected:
    void SetUp() override {
        hwnd = platform::CreateMessageWindow(
            [this](std::uint32_t msg, std::uintptr_t w, std::intptr_t l) -> std::intptr_t {
                received.emplace_back(msg, w, l);
                return 0;
            });
    }
    void TearDown() override { platform::DestroyMessageWindow(hwnd); }

    platform::QtTrayShell shell{true};
    win::DWORD hwnd = 0;
    std::vector<std::tuple<std::uint32_t, std::uintptr_t, std::intptr_t>> received;
};

TEST_F(QtTrayShellMapping, AddModifyDeleteOneIconPerIdentifier) {
    const QIcon red = solidIcon(Qt::red);
    const win::DWORD redHandle = platform::AcquireIconHandle(red);
    ASSERT_TRUE(shell.Shell_NotifyIcon(platform::NIM_ADD,
                                       record(hwnd, 5, 7, 0xC200, redHandle, "first tip")));
    QSystemTrayIcon* tray = shell.IconObject(hwnd, 5);
    ASSERT_NE(tray, nullptr);
    EXPECT_TRUE(tray->isVisible());
    EXPECT_EQ(tray->toolTip(), QStringLiteral("first tip"));
    EXPECT_EQ(tray->icon().cacheKey(), red.cacheKey());
    EXPECT_EQ(tray->contextMenu(), nullptr) << "Qt must not show a menu of its own";

    EXPECT_FALSE(
        shell.Shell_NotifyIcon(platform::NIM_ADD, record(hwnd, 5, 7, 0xC200, redHandle, "again")))
        << "a second add for the same icon is refused";
    EXPECT_EQ(tray->toolTip(), QStringLiteral("first tip"));
    ASSERT_TRUE(shell.Shell_NotifyIcon(platform::NIM_ADD, record(hwnd, 6, 7, 0xC200, 0, "second")));
    EXPECT_EQ(shell.IconCount(), 2u);
    EXPECT_NE(shell.IconObject(hwnd, 6), tray);
    EXPECT_FALSE(shell.IconObject(hwnd, 6)->icon().isNull()) << "no image: the stock one";

    // Modify applies only the flagged fields.
    ASSERT_TRUE(shell.Shell_NotifyIcon(platform::NIM_MODIFY,
                                       record(hwnd, 5, platform::NIF_TIP, 0, 0, "new tip")));
    EXPECT_EQ(tray->toolTip(), QStringLiteral("new tip"));
    EXPECT_EQ(tray->icon().cacheKey(), red.cacheKey());
    const QIcon blue = solidIcon(Qt::blue);
    const win::DWORD blueHandle = platform::AcquireIconHandle(blue);
    ASSERT_TRUE(shell.Shell_NotifyIcon(platform::NIM_MODIFY,
                                       record(hwnd, 5, platform::NIF_ICON, 0, blueHandle, "")));
    EXPECT_EQ(tray->icon().cacheKey(), blue.cacheKey());
    EXPECT_EQ(tray->toolTip(), QStringLiteral("new tip"));

    ASSERT_TRUE(shell.Shell_NotifyIcon(platform::NIM_DELETE, record(hwnd, 5, 7, 0, 0, "")));
    EXPECT_EQ(shell.IconObject(hwnd, 5), nullptr);
    EXPECT_FALSE(shell.Shell_NotifyIcon(platform::NIM_MODIFY, record(hwnd, 5, 4, 0, 0, "x")));
    EXPECT_FALSE(shell.Shell_NotifyIcon(platform::NIM_DELETE, record(hwnd, 5, 7, 0, 0, "")));
    EXPECT_FALSE(shell.Shell_NotifyIcon(9, record(hwnd, 6, 7, 0, 0, "")));
    EXPECT_EQ(shell.IconCount(), 1u);
    platform::ReleaseIconHandle(redHandle);
    platform::ReleaseIconHandle(blueHandle);
}

TEST_F(QtTrayShellMapping, ActivationsAreSentAsMouseMessages) {
    ASSERT_TRUE(shell.Shell_NotifyIcon(platform::NIM_ADD, record(hwnd, 42, 7, 0xC321, 0, "tip")));
    QSystemTrayIcon* tray = shell.IconObject(hwnd, 42);
    ASSERT_NE(tray, nullptr);
    Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
    Q_EMIT tray->activated(QSystemTrayIcon::DoubleClick);
    Q_EMIT tray->activated(QSystemTrayIcon::Context);
    Q_EMIT tray->activated(QSystemTrayIcon::Unknown);
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0], std::make_tuple(0xC321u, std::uintptr_t(42), std::intptr_t(0x201)));
    EXPECT_EQ(received[1], std::make_tuple(0xC321u, std::uintptr_t(42), std::intptr_t(0x203)));
    EXPECT_EQ(received[2], std::make_tuple(0xC321u, std::uintptr_t(42), std::intptr_t(0x204)));

    // A new callback message takes effect for later clicks.
    ASSERT_TRUE(shell.Shell_NotifyIcon(platform::NIM_MODIFY,
                                       record(hwnd, 42, platform::NIF_MESSAGE, 0xC400, 0, "")));
    Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(std::get<0>(received[3]), 0xC400u);

    // Deleting the icon from inside its own click is safe, and a deleted
    // icon reports nothing more.
    received.clear();
    platform::DestroyMessageWindow(hwnd);
    hwnd = platform::CreateMessageWindow([this](std::uint32_t, std::uintptr_t w, std::intptr_t) {
        shell.Shell_NotifyIcon(platform::NIM_DELETE, record(hwnd, win::DWORD(w), 7, 0, 0, ""));
        return std::intptr_t(0);
    });
    ASSERT_TRUE(shell.Shell_NotifyIcon(platform::NIM_ADD, record(hwnd, 43, 7, 0xC321, 0, "tip")));
    QPointer<QSystemTrayIcon> doomed = shell.IconObject(hwnd, 43);
    ASSERT_TRUE(doomed);
    Q_EMIT doomed->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(shell.IconObject(hwnd, 43), nullptr);
    // Deleted later, once the signal has returned.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(QTest::qWaitFor([&] { return doomed.isNull(); }, 5000));
}

TEST_F(QtTrayShellMapping, TrayComponentThroughTheDesktopBackEnd) {
    // The whole path: component -> back end -> QSystemTrayIcon -> manager.
    platform::SetTrayShellForTests(&shell);
    {
        TTrayIkona tray;
        tray.SetHint(QStringLiteral("Kelvox"));
        tray.SetIconVisible(true);
        int clicks = 0;
        tray.OnDblClick = [&](QObject* sender) {
            EXPECT_EQ(sender, static_cast<QObject*>(IconManager));
            ++clicks;
        };
        QSystemTrayIcon* qt = shell.IconObject(IconManager->WindowHandle(), tray.Identifier());
        ASSERT_NE(qt, nullptr);
        EXPECT_EQ(qt->toolTip(), QStringLiteral("Kelvox"));
        Q_EMIT qt->activated(QSystemTrayIcon::DoubleClick);
        EXPECT_EQ(clicks, 1);
        const QIcon green = solidIcon(Qt::green);
        tray.SetIcon(green);
        EXPECT_EQ(qt->icon().cacheKey(), green.cacheKey());
    }
    EXPECT_EQ(shell.IconCount(), 0u);
    platform::SetTrayShellForTests(nullptr);
}

} // namespace
