// The tray component against a recording shell: which requests it sends,
// what their records hold, and how notifications come back as events.
#include "gui/uTrayIcon.h"

#include "support/FakeTrayShell.h"

#include <QApplication>
#include <QCursor>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

using platform::NIF_ICON;
using platform::NIF_MESSAGE;
using platform::NIF_TIP;
using platform::NIM_ADD;
using platform::NIM_DELETE;
using platform::NIM_MODIFY;

namespace {

QIcon solidIcon(QColor colour) {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(colour);
    return QIcon(QPixmap::fromImage(image));
}

class TrayIconTest : public ::testing::Test {
protected:
    FakeTrayShell shell;
};

TEST_F(TrayIconTest, ShowingAddsOnceWithACompleteRecord) {
    TTrayIkona tray;
    tray.SetHint(QStringLiteral("Kelvox"));
    EXPECT_TRUE(shell.Calls().empty()) << "a hidden icon sends nothing";

    tray.SetIconVisible(true);
    tray.SetIconVisible(true);
    ASSERT_EQ(shell.Calls().size(), 1u);
    const FakeTrayShell::Call& add = shell.Calls()[0];
    EXPECT_EQ(add.message, NIM_ADD);
    EXPECT_TRUE(add.accepted);
    EXPECT_EQ(add.data.cbSize, 88u);
    EXPECT_EQ(add.data.uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
    EXPECT_EQ(add.data.hWnd, IconManager->WindowHandle());
    EXPECT_NE(add.data.hWnd, 0u);
    EXPECT_EQ(add.data.uID, tray.Identifier());
    EXPECT_EQ(add.data.uCallbackMessage, TrayCallbackMessage);
    EXPECT_EQ(add.tip(), "Kelvox");
    // No image assigned: the stock picture stands in.
    EXPECT_EQ(add.data.hIcon, platform::StockIconHandle());
    EXPECT_FALSE(platform::IconForHandle(add.data.hIcon).isNull());
    EXPECT_TRUE(tray.IconVisible());
}

TEST_F(TrayIconTest, IconAssignmentsModifyEveryTimeWhileShown) {
    TTrayIkona tray;
    tray.SetIconVisible(true);
    shell.ClearCalls();

    const QIcon red = solidIcon(Qt::red);
    tray.SetIcon(red);
    tray.SetIcon(red);
    ASSERT_EQ(shell.Calls().size(), 2u) << "the same image assigned again is sent again";
    for (const auto& call : shell.Calls()) {
        EXPECT_EQ(call.message, NIM_MODIFY);
        EXPECT_EQ(call.data.uFlags, NIF_ICON);
        EXPECT_EQ(platform::IconForHandle(call.data.hIcon).cacheKey(), red.cacheKey());
    }
    EXPECT_EQ(shell.Calls()[0].data.hIcon, shell.Calls()[1].data.hIcon);
    EXPECT_EQ(shell.Find(tray.Identifier())->hIcon, shell.Calls()[1].data.hIcon);

    // Emptying the image brings the stock picture back.
    tray.SetIcon(QIcon());
    ASSERT_EQ(shell.Calls().size(), 3u);
    EXPECT_EQ(shell.Calls()[2].data.hIcon, platform::StockIconHandle());
    EXPECT_TRUE(tray.Icon().isNull());
}

TEST_F(TrayIconTest, BlinkingBetweenImagesAlwaysNamesTheCurrentOne) {
    TTrayIkona tray;
    tray.SetIconVisible(true);
    const QIcon frames[3] = {solidIcon(Qt::green), solidIcon(Qt::red), solidIcon(Qt::blue)};
    for (int tick = 0; tick < 30; ++tick) {
        const QIcon& frame = frames[tick % 3];
        tray.SetIcon(frame);
        const auto& last = shell.Calls().back();
        ASSERT_EQ(platform::IconForHandle(last.data.hIcon).cacheKey(), frame.cacheKey())
            << "tick " << tick;
    }
    // Handles no longer referenced are dropped: only the current frame and
    // the stock picture remain reachable from this component.
    const win::DWORD current = shell.Calls().back().data.hIcon;
    tray.SetIcon(QIcon());
    EXPECT_TRUE(platform::IconForHandle(current).isNull());
}

TEST_F(TrayIconTest, ChangesWhileHiddenAreStoredAndShownByTheNextAdd) {
    TTrayIkona tray;
    const QIcon blue = solidIcon(Qt::blue);
    tray.SetIcon(blue);
    tray.SetHint(QStringLiteral("waiting"));
    EXPECT_TRUE(shell.Calls().empty());

    tray.SetIconVisible(true);
    ASSERT_EQ(shell.Calls().size(), 1u);
    EXPECT_EQ(shell.Calls()[0].message, NIM_ADD);
    EXPECT_EQ(shell.Calls()[0].tip(), "waiting");
    EXPECT_EQ(platform::IconForHandle(shell.Calls()[0].data.hIcon).cacheKey(), blue.cacheKey());
}

TEST_F(TrayIconTest, HintIsSentOnlyWhenItChanges) {
    TTrayIkona tray;
    tray.SetIconVisible(true);
    shell.ClearCalls();

    tray.SetHint(QStringLiteral("21.5"));
    tray.SetHint(QStringLiteral("21.5"));
    ASSERT_EQ(shell.Calls().size(), 1u);
    EXPECT_EQ(shell.Calls()[0].message, NIM_MODIFY);
    EXPECT_EQ(shell.Calls()[0].data.uFlags, NIF_TIP);
    EXPECT_EQ(shell.Calls()[0].tip(), "21.5");
    EXPECT_EQ(shell.Find(tray.Identifier())->tip, "21.5");

    tray.SetHint(QString());
    ASSERT_EQ(shell.Calls().size(), 2u);
    EXPECT_EQ(shell.Calls()[1].tip(), "");
}

TEST_F(TrayIconTest, TooltipIsCutToTheRecordsRoom) {
    TTrayIkona tray;
    tray.SetIconVisible(true);

    QString hundred;
    for (int i = 0; i < 100; ++i)
        hundred += QChar('a' + i % 26);
    tray.SetHint(hundred);
    EXPECT_EQ(shell.Calls().back().tip(), hundred.left(63).toStdString());
    EXPECT_EQ(shell.Calls().back().data.szTip[63], '\0');

    // Up to the first NUL only.
    tray.SetHint(QStringLiteral("before") + QChar(0) + QStringLiteral("after"));
    EXPECT_EQ(shell.Calls().back().tip(), "before");

    // 62 ASCII letters and a two-byte letter: the letter would straddle the
    // 63rd byte, so it goes entirely rather than leaving half a character.
    const QString straddling = QString(62, QChar('x')) + QChar(0x00E9) + QStringLiteral("yz");
    tray.SetHint(straddling);
    const std::string tip = shell.Calls().back().tip();
    EXPECT_EQ(tip, std::string(62, 'x'));
    EXPECT_TRUE(QString::fromStdString(tip).toUtf8() == QByteArray::fromStdString(tip));

    // Multi-byte text that fits exactly is kept whole.
    const QString euros(21, QChar(0x20AC)); // 3 bytes each: 63 bytes
    tray.SetHint(euros);
    EXPECT_EQ(QString::fromStdString(shell.Calls().back().tip()), euros);
}

TEST_F(TrayIconTest, HidingAndDestructionDelete) {
    {
        TTrayIkona tray;
        tray.SetIconVisible(true);
        tray.SetIconVisible(false);
        ASSERT_EQ(shell.Calls().size(), 2u);
        EXPECT_EQ(shell.Calls()[1].message, NIM_DELETE);
        EXPECT_EQ(shell.Calls()[1].data.uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
        EXPECT_TRUE(shell.Calls()[1].accepted);
        EXPECT_EQ(shell.ShownCount(), 0u);
    }
    EXPECT_EQ(shell.Calls().size(), 2u) << "destroying a hidden icon sends nothing";

    shell.ClearCalls();
    win::DWORD id = 0;
    {
        TTrayIkona tray;
        id = tray.Identifier();
        tray.SetIconVisible(true);
    }
    ASSERT_EQ(shell.Calls().size(), 2u);
    EXPECT_EQ(shell.Calls()[1].message, NIM_DELETE);
    EXPECT_EQ(shell.Calls()[1].data.uID, id);
    EXPECT_EQ(shell.Find(id), nullptr);
}

TEST_F(TrayIconTest, LoadedRepeatsTheAddWhichTheShellRefuses) {
    TTrayIkona tray;
    tray.SetHideTask(false);
    tray.SetIconVisible(true);
    tray.Loaded();
    ASSERT_EQ(shell.Calls().size(), 2u);
    EXPECT_EQ(shell.Calls()[1].message, NIM_ADD);
    EXPECT_EQ(shell.Calls()[1].data.uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
    EXPECT_FALSE(shell.Calls()[1].accepted);
    EXPECT_EQ(shell.ShownCount(), 1u);

    TTrayIkona hidden;
    hidden.Loaded();
    EXPECT_EQ(shell.CallsFor(hidden.Identifier()).size(), 0u);
}

TEST_F(TrayIconTest, RefusedAddLeavesTheIconMarkedVisible) {
    shell.refuseAll = true;
    TTrayIkona tray;
    tray.SetIconVisible(true);
    EXPECT_TRUE(tray.IconVisible());
    tray.SetIcon(solidIcon(Qt::red));
    ASSERT_EQ(shell.Calls().size(), 2u);
    EXPECT_EQ(shell.Calls()[1].message, NIM_MODIFY) << "later changes are still sent";
}

TEST_F(TrayIconTest, TwoComponentsHaveTheirOwnIconsAndEvents) {
    TTrayIkona first;
    TTrayIkona second;
    EXPECT_NE(first.Identifier(), second.Identifier());
    int firstClicks = 0;
    int secondClicks = 0;
    first.OnClick = [&](QObject*) { ++firstClicks; };
    second.OnClick = [&](QObject*) { ++secondClicks; };
    first.SetIconVisible(true);
    second.SetIconVisible(true);
    EXPECT_EQ(shell.ShownCount(), 2u);

    ASSERT_TRUE(shell.Press(second.Identifier(), platform::WM_LBUTTONDOWN));
    EXPECT_EQ(firstClicks, 0);
    EXPECT_EQ(secondClicks, 1);
    ASSERT_TRUE(shell.Press(first.Identifier(), platform::WM_LBUTTONDOWN));
    EXPECT_EQ(firstClicks, 1);
    EXPECT_EQ(secondClicks, 1);

    first.SetIconVisible(false);
    EXPECT_NE(shell.Find(second.Identifier()), nullptr) << "removing one keeps the other";
}

TEST_F(TrayIconTest, MouseMessagesBecomeEventsSentByTheManager) {
    TTrayIkona tray;
    tray.SetIconVisible(true);
    std::vector<std::pair<std::string, QObject*>> fired;
    tray.OnClick = [&](QObject* sender) { fired.emplace_back("click", sender); };
    tray.OnDblClick = [&](QObject* sender) { fired.emplace_back("dblclick", sender); };

    // A double-click arrives as a press and then the double-click.
    shell.Press(tray.Identifier(), platform::WM_LBUTTONDOWN);
    shell.Press(tray.Identifier(), platform::WM_LBUTTONDBLCLK);
    shell.Press(tray.Identifier(), platform::WM_MBUTTONDOWN);
    shell.Press(tray.Identifier(), 0x202);                    // left release: nothing
    shell.Press(tray.Identifier(), platform::WM_RBUTTONDOWN); // no menu: nothing
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0].first, "click");
    EXPECT_EQ(fired[1].first, "dblclick");
    EXPECT_EQ(fired[0].second, static_cast<QObject*>(IconManager));
    EXPECT_EQ(fired[1].second, static_cast<QObject*>(IconManager));

    // Unassigned events are skipped quietly.
    tray.OnClick = nullptr;
    tray.OnDblClick = nullptr;
    shell.Press(tray.Identifier(), platform::WM_LBUTTONDOWN);
    shell.Press(tray.Identifier(), platform::WM_LBUTTONDBLCLK);
    EXPECT_EQ(fired.size(), 2u);

    // Other messages to the manager's window get the default handling.
    EXPECT_EQ(platform::SendWindowMessage(IconManager->WindowHandle(), platform::WM_USER,
                                          tray.Identifier(), platform::WM_LBUTTONDOWN),
              0);
}

TEST_F(TrayIconTest, HandlerMayReplaceItselfOrFreeTheComponent) {
    auto* tray = new TTrayIkona;
    tray->SetIconVisible(true);
    int calls = 0;
    tray->OnClick = [&calls, tray](QObject*) {
        ++calls;
        tray->OnClick = nullptr; // destroys the running function object's original
    };
    shell.Press(tray->Identifier(), platform::WM_LBUTTONDOWN);
    EXPECT_EQ(calls, 1);

    const win::DWORD id = tray->Identifier();
    tray->OnDblClick = [tray](QObject*) { delete tray; };
    shell.Press(id, platform::WM_LBUTTONDBLCLK);
    EXPECT_EQ(shell.Find(id), nullptr);
}

TEST_F(TrayIconTest, RightPressPopsTheMenuAtThePointer) {
    TTrayIkona tray;
    QMenu menu;
    menu.addAction(QStringLiteral("Restore"));
    menu.addAction(QStringLiteral("Close"));
    tray.SetPopupMenu(&menu);
    tray.SetIconVisible(true);

    const QPoint pointer(120, 90);
    QCursor::setPos(pointer);
    ASSERT_EQ(QCursor::pos(), pointer);
    ASSERT_FALSE(menu.isVisible());
    shell.Press(tray.Identifier(), platform::WM_RBUTTONDOWN);
    EXPECT_TRUE(menu.isVisible()) << "the press itself opens the menu";
    EXPECT_EQ(menu.pos(), pointer);
    menu.hide();

    // Left presses never open it.
    shell.Press(tray.Identifier(), platform::WM_LBUTTONDOWN);
    EXPECT_FALSE(menu.isVisible());
}

TEST_F(TrayIconTest, DestroyedMenuIsForgotten) {
    TTrayIkona tray;
    tray.SetIconVisible(true);
    auto* menu = new QMenu;
    auto* other = new QMenu;
    tray.SetPopupMenu(other);
    tray.SetPopupMenu(menu);
    delete other; // no longer the menu: nothing changes
    EXPECT_EQ(tray.PopupMenu(), menu);
    delete menu;
    EXPECT_EQ(tray.PopupMenu(), nullptr);
    // A right press now does nothing (and touches no freed menu).
    shell.Press(tray.Identifier(), platform::WM_RBUTTONDOWN);
    EXPECT_EQ(tray.PopupMenu(), nullptr);
}

TEST_F(TrayIconTest, NotificationForADestroyedComponentIsIgnored) {
    auto* gone = new TTrayIkona;
    gone->SetIconVisible(true);
    const win::DWORD goneId = gone->Identifier();
    const FakeTrayShell::Shown record = *shell.Find(goneId);
    delete gone;

    TTrayIkona survivor;
    survivor.SetIconVisible(true);
    EXPECT_NE(survivor.Identifier(), goneId) << "identifiers are not reused";
    int clicks = 0;
    survivor.OnClick = [&](QObject*) { ++clicks; };

    // A late notification, as a shell might still deliver it.
    platform::SendWindowMessage(record.hWnd, record.callbackMessage, goneId,
                                platform::WM_LBUTTONDOWN);
    EXPECT_EQ(clicks, 0);
    EXPECT_FALSE(shell.Press(goneId, platform::WM_LBUTTONDOWN));
}

TEST_F(TrayIconTest, HideTaskTurnsTheOwnersWindowIntoAToolWindowAndBack) {
    QWidget window;
    window.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const bool quitOnClose = window.testAttribute(Qt::WA_QuitOnClose);
    auto* tray = new TTrayIkona(&window);

    tray->SetHideTask(true);
    EXPECT_TRUE(tray->HideTask());
    EXPECT_EQ(window.windowType(), Qt::Tool);
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(window.isVisible()) << "a shown window stays shown";
    EXPECT_EQ(window.testAttribute(Qt::WA_QuitOnClose), quitOnClose);

    // The same value again changes nothing.
    window.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    window.show(); // a flag change hides the window
    const Qt::WindowFlags before = window.windowFlags();
    tray->SetHideTask(true);
    EXPECT_EQ(window.windowFlags(), before);

    tray->SetHideTask(false);
    EXPECT_EQ(window.windowType(), Qt::Window);
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(window.isVisible());

    // Hidden windows are only retyped, not shown.
    window.hide();
    tray->SetHideTask(true);
    EXPECT_EQ(window.windowType(), Qt::Tool);
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(shell.Calls().empty()) << "the taskbar is not the tray";
}

TEST_F(TrayIconTest, OwnerDestroysTheComponentAndItsIcon) {
    auto* owner = new QObject;
    auto* tray = new TTrayIkona(owner);
    tray->setObjectName(QStringLiteral("TrayIkona1"));
    EXPECT_EQ(owner->findChild<TTrayIkona*>(QStringLiteral("TrayIkona1")), tray);
    tray->SetIconVisible(true);
    const win::DWORD id = tray->Identifier();
    delete owner;
    EXPECT_EQ(shell.Find(id), nullptr);
    EXPECT_EQ(IconManager->Find(id), nullptr);
}

} // namespace
