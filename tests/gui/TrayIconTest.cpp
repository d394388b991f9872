// The tray component against a recording shell: which requests it sends,
// with which picture and tooltip, and how clicks come back as events.
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

using Request = FakeTrayShell::Request;

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

TEST_F(TrayIconTest, ShowingAddsOnceWithThePictureAndTheTip) {
    TTrayIkona tray(shell);
    tray.SetHint(QStringLiteral("Kelvox"));
    EXPECT_TRUE(shell.Calls().empty()) << "a hidden icon sends nothing";

    tray.SetIconVisible(true);
    tray.SetIconVisible(true);
    ASSERT_EQ(shell.Calls().size(), 1u);
    const FakeTrayShell::Call& add = shell.Calls()[0];
    EXPECT_EQ(add.request, Request::Add);
    EXPECT_TRUE(add.accepted);
    EXPECT_EQ(add.id, tray.Identifier());
    EXPECT_EQ(add.tip, "Kelvox");
    // No image assigned: the stock picture stands in.
    EXPECT_FALSE(add.icon.pixmap(16).isNull());
    EXPECT_TRUE(tray.IconVisible());
}

TEST_F(TrayIconTest, IconAssignmentsAreSentEveryTimeWhileShown) {
    TTrayIkona tray(shell);
    tray.SetIconVisible(true);
    const qint64 stock = shell.Calls()[0].icon.cacheKey();
    shell.ClearCalls();

    const QIcon red = solidIcon(Qt::red);
    tray.SetIcon(red);
    tray.SetIcon(red);
    ASSERT_EQ(shell.Calls().size(), 2u) << "the same image assigned again is sent again";
    for (const auto& call : shell.Calls()) {
        EXPECT_EQ(call.request, Request::Icon);
        EXPECT_EQ(call.icon.cacheKey(), red.cacheKey());
    }
    EXPECT_EQ(shell.Find(tray.Identifier())->icon.cacheKey(), red.cacheKey());

    // Emptying the image brings the stock picture back.
    tray.SetIcon(QIcon());
    ASSERT_EQ(shell.Calls().size(), 3u);
    EXPECT_EQ(shell.Calls()[2].icon.cacheKey(), stock);
    EXPECT_TRUE(tray.Icon().isNull());
}

TEST_F(TrayIconTest, ChangesWhileHiddenAreStoredAndShownByTheNextAdd) {
    TTrayIkona tray(shell);
    const QIcon blue = solidIcon(Qt::blue);
    tray.SetIcon(blue);
    tray.SetHint(QStringLiteral("waiting"));
    EXPECT_TRUE(shell.Calls().empty());

    tray.SetIconVisible(true);
    ASSERT_EQ(shell.Calls().size(), 1u);
    EXPECT_EQ(shell.Calls()[0].request, Request::Add);
    EXPECT_EQ(shell.Calls()[0].tip, "waiting");
    EXPECT_EQ(shell.Calls()[0].icon.cacheKey(), blue.cacheKey());
}

TEST_F(TrayIconTest, HintIsSentOnlyWhenItChanges) {
    TTrayIkona tray(shell);
    tray.SetIconVisible(true);
    shell.ClearCalls();

    tray.SetHint(QStringLiteral("21.5"));
    tray.SetHint(QStringLiteral("21.5"));
    ASSERT_EQ(shell.Calls().size(), 1u);
    EXPECT_EQ(shell.Calls()[0].request, Request::Tip);
    EXPECT_EQ(shell.Calls()[0].tip, "21.5");
    EXPECT_EQ(shell.Find(tray.Identifier())->tip, "21.5");

    tray.SetHint(QString());
    ASSERT_EQ(shell.Calls().size(), 2u);
    EXPECT_EQ(shell.Calls()[1].tip, "");
}

TEST_F(TrayIconTest, TooltipIsCutToItsRoom) {
    TTrayIkona tray(shell);
    tray.SetIconVisible(true);

    QString hundred;
    for (int i = 0; i < 100; ++i)
        hundred += QChar('a' + i % 26);
    tray.SetHint(hundred);
    EXPECT_EQ(shell.Calls().back().tip, hundred.left(63).toStdString());

    // Up to the first NUL only.
    tray.SetHint(QStringLiteral("before") + QChar(0) + QStringLiteral("after"));
    EXPECT_EQ(shell.Calls().back().tip, "before");

    // 62 ASCII letters and a two-byte letter: the letter would straddle the
    // 63rd byte, so it goes entirely rather than leaving half a character.
    const QString straddling = QString(62, QChar('x')) + QChar(0x00E9) + QStringLiteral("yz");
    tray.SetHint(straddling);
    const std::string tip = shell.Calls().back().tip;
    EXPECT_EQ(tip, std::string(62, 'x'));
    EXPECT_TRUE(QString::fromStdString(tip).toUtf8() == QByteArray::fromStdString(tip));

    // Multi-byte text that fits exactly is kept whole.
    const QString euros(21, QChar(0x20AC)); // 3 bytes each: 63 bytes
    tray.SetHint(euros);
    EXPECT_EQ(QString::fromStdString(shell.Calls().back().tip), euros);
}

TEST_F(TrayIconTest, HidingAndDestructionDelete) {
    {
        TTrayIkona tray(shell);
        tray.SetIconVisible(true);
        tray.SetIconVisible(false);
        ASSERT_EQ(shell.Calls().size(), 2u);
        EXPECT_EQ(shell.Calls()[1].request, Request::Remove);
        EXPECT_TRUE(shell.Calls()[1].accepted);
        EXPECT_EQ(shell.ShownCount(), 0u);
    }
    EXPECT_EQ(shell.Calls().size(), 2u) << "destroying a hidden icon sends nothing";

    shell.ClearCalls();
    quint32 id = 0;
    {
        TTrayIkona tray(shell);
        id = tray.Identifier();
        tray.SetIconVisible(true);
    }
    ASSERT_EQ(shell.Calls().size(), 2u);
    EXPECT_EQ(shell.Calls()[1].request, Request::Remove);
    EXPECT_EQ(shell.Calls()[1].id, id);
    EXPECT_EQ(shell.Find(id), nullptr);
}

TEST_F(TrayIconTest, LoadedRepeatsTheAddWhichTheShellRefuses) {
    TTrayIkona tray(shell);
    tray.SetHideTask(false);
    tray.SetIconVisible(true);
    tray.Loaded();
    ASSERT_EQ(shell.Calls().size(), 2u);
    EXPECT_EQ(shell.Calls()[1].request, Request::Add);
    EXPECT_FALSE(shell.Calls()[1].accepted);
    EXPECT_EQ(shell.ShownCount(), 1u);

    TTrayIkona hidden(shell);
    hidden.Loaded();
    EXPECT_EQ(shell.CallsFor(hidden.Identifier()).size(), 0u);
}

TEST_F(TrayIconTest, RefusedAddLeavesTheIconMarkedVisible) {
    shell.refuseAll = true;
    TTrayIkona tray(shell);
    tray.SetIconVisible(true);
    EXPECT_TRUE(tray.IconVisible());
    tray.SetIcon(solidIcon(Qt::red));
    ASSERT_EQ(shell.Calls().size(), 2u);
    EXPECT_EQ(shell.Calls()[1].request, Request::Icon) << "later changes are still sent";
}

TEST_F(TrayIconTest, TwoComponentsHaveTheirOwnIconsAndEvents) {
    TTrayIkona first(shell);
    TTrayIkona second(shell);
    EXPECT_NE(first.Identifier(), second.Identifier());
    int firstClicks = 0;
    int secondClicks = 0;
    first.OnClick = [&](QObject*) { ++firstClicks; };
    second.OnClick = [&](QObject*) { ++secondClicks; };
    first.SetIconVisible(true);
    second.SetIconVisible(true);
    EXPECT_EQ(shell.ShownCount(), 2u);

    ASSERT_TRUE(shell.Press(second.Identifier(), QSystemTrayIcon::Trigger));
    EXPECT_EQ(firstClicks, 0);
    EXPECT_EQ(secondClicks, 1);
    ASSERT_TRUE(shell.Press(first.Identifier(), QSystemTrayIcon::Trigger));
    EXPECT_EQ(firstClicks, 1);
    EXPECT_EQ(secondClicks, 1);

    first.SetIconVisible(false);
    EXPECT_NE(shell.Find(second.Identifier()), nullptr) << "removing one keeps the other";
}

TEST_F(TrayIconTest, ClicksBecomeEventsSentByTheManager) {
    TTrayIkona tray(shell);
    tray.SetIconVisible(true);
    std::vector<std::pair<std::string, QObject*>> fired;
    tray.OnClick = [&](QObject* sender) { fired.emplace_back("click", sender); };
    tray.OnDblClick = [&](QObject* sender) { fired.emplace_back("dblclick", sender); };

    // A double-click arrives as a press and then the double-click.
    shell.Press(tray.Identifier(), QSystemTrayIcon::Trigger);
    shell.Press(tray.Identifier(), QSystemTrayIcon::DoubleClick);
    shell.Press(tray.Identifier(), QSystemTrayIcon::MiddleClick);
    shell.Press(tray.Identifier(), QSystemTrayIcon::Context); // no menu: nothing
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0].first, "click");
    EXPECT_EQ(fired[1].first, "dblclick");
    EXPECT_EQ(fired[0].second, static_cast<QObject*>(IconManager));
    EXPECT_EQ(fired[1].second, static_cast<QObject*>(IconManager));

    // Unassigned events are skipped quietly.
    tray.OnClick = nullptr;
    tray.OnDblClick = nullptr;
    shell.Press(tray.Identifier(), QSystemTrayIcon::Trigger);
    shell.Press(tray.Identifier(), QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(fired.size(), 2u);
}

TEST_F(TrayIconTest, HandlerMayReplaceItselfOrFreeTheComponent) {
    auto* tray = new TTrayIkona(shell);
    tray->SetIconVisible(true);
    int calls = 0;
    tray->OnClick = [&calls, tray](QObject*) {
        ++calls;
        tray->OnClick = nullptr; // destroys the running function object's original
    };
    shell.Press(tray->Identifier(), QSystemTrayIcon::Trigger);
    EXPECT_EQ(calls, 1);

    const quint32 id = tray->Identifier();
    tray->OnDblClick = [tray](QObject*) { delete tray; };
    shell.Press(id, QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(shell.Find(id), nullptr);
}

TEST_F(TrayIconTest, RightPressPopsTheMenuAtThePointer) {
    TTrayIkona tray(shell);
    QMenu menu;
    menu.addAction(QStringLiteral("Restore"));
    menu.addAction(QStringLiteral("Close"));
    tray.SetPopupMenu(&menu);
    tray.SetIconVisible(true);

    const QPoint pointer(120, 90);
    QCursor::setPos(pointer);
    ASSERT_EQ(QCursor::pos(), pointer);
    ASSERT_FALSE(menu.isVisible());
    shell.Press(tray.Identifier(), QSystemTrayIcon::Context);
    EXPECT_TRUE(menu.isVisible()) << "the press itself opens the menu";
    EXPECT_EQ(menu.pos(), pointer);
    menu.hide();

    // Left presses never open it.
    shell.Press(tray.Identifier(), QSystemTrayIcon::Trigger);
    EXPECT_FALSE(menu.isVisible());
}

TEST_F(TrayIconTest, DestroyedMenuIsForgotten) {
    TTrayIkona tray(shell);
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
    shell.Press(tray.Identifier(), QSystemTrayIcon::Context);
    EXPECT_EQ(tray.PopupMenu(), nullptr);
}

TEST_F(TrayIconTest, NotificationForADestroyedComponentIsIgnored) {
    auto* gone = new TTrayIkona(shell);
    gone->SetIconVisible(true);
    const quint32 goneId = gone->Identifier();
    delete gone;

    TTrayIkona survivor(shell);
    survivor.SetIconVisible(true);
    EXPECT_NE(survivor.Identifier(), goneId) << "identifiers are not reused";
    int clicks = 0;
    survivor.OnClick = [&](QObject*) { ++clicks; };

    // A late click, as a shell might still deliver it.
    Q_EMIT shell.Activated(goneId, QSystemTrayIcon::Trigger);
    EXPECT_EQ(clicks, 0);
    EXPECT_FALSE(shell.Press(goneId, QSystemTrayIcon::Trigger));
}

TEST_F(TrayIconTest, HideTaskTurnsTheOwnersWindowIntoAToolWindowAndBack) {
    QWidget window;
    window.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const bool quitOnClose = window.testAttribute(Qt::WA_QuitOnClose);
    auto* tray = new TTrayIkona(shell, &window);

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
    auto* tray = new TTrayIkona(shell, owner);
    tray->setObjectName(QStringLiteral("TrayIkona1"));
    EXPECT_EQ(owner->findChild<TTrayIkona*>(QStringLiteral("TrayIkona1")), tray);
    tray->SetIconVisible(true);
    const quint32 id = tray->Identifier();
    delete owner;
    EXPECT_EQ(shell.Find(id), nullptr);
    EXPECT_EQ(IconManager->Find(id), nullptr);
}

} // namespace
