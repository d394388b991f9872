// The tray shell over QSystemTrayIcon, alone and under the tray component.
#include "gui/TrayShell.h"
#include "gui/uTrayIcon.h"

#include <QCoreApplication>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTest>
#include <gtest/gtest.h>
#include <vector>

namespace {

QIcon solidIcon(QColor colour) {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(colour);
    return QIcon(QPixmap::fromImage(image));
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

TEST(QtTrayShell, WithoutATrayHostEveryRequestIsRefusedQuietly) {
    if (QSystemTrayIcon::isSystemTrayAvailable())
        GTEST_SKIP() << "this session has a tray host";
    WarningCounter warnings;
    QtTrayShell shell;
    const QIcon red = solidIcon(Qt::red);
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(shell.Add(1, red, QStringLiteral("x")));
        EXPECT_FALSE(shell.SetIcon(1, red));
        EXPECT_FALSE(shell.SetToolTip(1, QStringLiteral("y")));
        EXPECT_FALSE(shell.Remove(1));
    }
    EXPECT_EQ(shell.IconCount(), 0u);
    EXPECT_EQ(WarningCounter::count, 0);
}

TEST(QtTrayShell, AnIconRefusedForWantOfAHostIsAddedWhenOneAppears) {
    bool host = false;
    QtTrayShell shell([&] { return host; });
    {
        TTrayIkona icon(shell);
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
        ASSERT_NE(shell.IconObject(icon.Identifier()), nullptr);
        EXPECT_TRUE(shell.IconObject(icon.Identifier())->isVisible());
    }
}

class QtTrayShellMapping : public ::testing::Test {
protected:
    void SetUp() override {
        QObject::connect(&shell, &TrayShell::Activated, &shell,
                         [this](quint32 id, QSystemTrayIcon::ActivationReason reason) {
                             received.emplace_back(id, reason);
                         });
    }

    QtTrayShell shell{[] { return true; }};
    std::vector<std::pair<quint32, QSystemTrayIcon::ActivationReason>> received;
};

TEST_F(QtTrayShellMapping, AddChangeRemoveOneIconPerId) {
    const QIcon red = solidIcon(Qt::red);
    ASSERT_TRUE(shell.Add(5, red, QStringLiteral("first tip")));
    QSystemTrayIcon* tray = shell.IconObject(5);
    ASSERT_NE(tray, nullptr);
    EXPECT_TRUE(tray->isVisible());
    EXPECT_EQ(tray->toolTip(), QStringLiteral("first tip"));
    EXPECT_EQ(tray->icon().cacheKey(), red.cacheKey());
    EXPECT_EQ(tray->contextMenu(), nullptr) << "Qt must not show a menu of its own";

    EXPECT_FALSE(shell.Add(5, red, QStringLiteral("again")))
        << "a second add for the same icon is refused";
    EXPECT_EQ(tray->toolTip(), QStringLiteral("first tip"));
    ASSERT_TRUE(shell.Add(6, red, QStringLiteral("second")));
    EXPECT_EQ(shell.IconCount(), 2u);
    EXPECT_NE(shell.IconObject(6), tray);

    // A change applies to its own field only.
    ASSERT_TRUE(shell.SetToolTip(5, QStringLiteral("new tip")));
    EXPECT_EQ(tray->toolTip(), QStringLiteral("new tip"));
    EXPECT_EQ(tray->icon().cacheKey(), red.cacheKey());
    const QIcon blue = solidIcon(Qt::blue);
    ASSERT_TRUE(shell.SetIcon(5, blue));
    EXPECT_EQ(tray->icon().cacheKey(), blue.cacheKey());
    EXPECT_EQ(tray->toolTip(), QStringLiteral("new tip"));
    EXPECT_EQ(shell.IconObject(6)->icon().cacheKey(), red.cacheKey());

    ASSERT_TRUE(shell.Remove(5));
    EXPECT_EQ(shell.IconObject(5), nullptr);
    EXPECT_FALSE(shell.SetToolTip(5, QStringLiteral("x")));
    EXPECT_FALSE(shell.Remove(5));
    EXPECT_EQ(shell.IconCount(), 1u);
}

TEST_F(QtTrayShellMapping, ActivationsAreReportedWithTheIconsId) {
    ASSERT_TRUE(shell.Add(42, solidIcon(Qt::red), QStringLiteral("tip")));
    QSystemTrayIcon* tray = shell.IconObject(42);
    ASSERT_NE(tray, nullptr);
    Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
    Q_EMIT tray->activated(QSystemTrayIcon::DoubleClick);
    Q_EMIT tray->activated(QSystemTrayIcon::Context);
    Q_EMIT tray->activated(QSystemTrayIcon::Unknown);
    using R = QSystemTrayIcon::ActivationReason;
    EXPECT_EQ(received, (std::vector<std::pair<quint32, R>>{{42, QSystemTrayIcon::Trigger},
                                                            {42, QSystemTrayIcon::DoubleClick},
                                                            {42, QSystemTrayIcon::Context}}));

    // Removing the icon from inside its own click is safe, and a removed
    // icon reports nothing more.
    received.clear();
    QObject::connect(&shell, &TrayShell::Activated, &shell,
                     [this](quint32 id) { shell.Remove(id); });
    ASSERT_TRUE(shell.Add(43, solidIcon(Qt::red), QStringLiteral("tip")));
    QPointer<QSystemTrayIcon> doomed = shell.IconObject(43);
    ASSERT_TRUE(doomed);
    Q_EMIT doomed->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(shell.IconObject(43), nullptr);
    Q_EMIT doomed->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(received.size(), 1u);
    // Deleted later, once the signal has returned.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(QTest::qWaitFor([&] { return doomed.isNull(); }, 5000));
}

TEST_F(QtTrayShellMapping, TrayComponentThroughTheDesktopBackEnd) {
    // The whole path: component -> back end -> QSystemTrayIcon -> manager.
    {
        TTrayIkona tray(shell);
        tray.SetHint(QStringLiteral("Kelvox"));
        tray.SetIconVisible(true);
        int clicks = 0;
        tray.OnDblClick = [&](QObject* sender) {
            EXPECT_EQ(sender, static_cast<QObject*>(IconManager));
            ++clicks;
        };
        QSystemTrayIcon* qt = shell.IconObject(tray.Identifier());
        ASSERT_NE(qt, nullptr);
        EXPECT_EQ(qt->toolTip(), QStringLiteral("Kelvox"));
        Q_EMIT qt->activated(QSystemTrayIcon::DoubleClick);
        EXPECT_EQ(clicks, 1);
        const QIcon green = solidIcon(Qt::green);
        tray.SetIcon(green);
        EXPECT_EQ(qt->icon().cacheKey(), green.cacheKey());
    }
    EXPECT_EQ(shell.IconCount(), 0u);
}

} // namespace
