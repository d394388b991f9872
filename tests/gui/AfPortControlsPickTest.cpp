// The port chooser with a linked serial port component: linking rules, the
// destruction notice, picks by mouse and by arrow keys applied to the port,
// failed opens reaching the application's handler, and index changes from
// code that are no picks.
#include "gui/AfPortControls.h"

#include "platform/MessageBox.h"
#include "platform/PortMap.h"
#include "serial/AfComPort.h"
#include "support/Pty.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

// COM 1 free, COM 2 absent, COM 3 in use (held by the test), COM 4 absent,
// COM 5 free, COM 6 free.
class PortChooserPick : public ::testing::Test {
protected:
    void SetUp() override {
        dir.Link(1, pty1.SlavePath());
        dir.Link(3, pty3.SlavePath());
        dir.Link(5, pty5.SlavePath());
        dir.Link(6, pty6.SlavePath());
        held = platform::OpenPortDescriptor(pty3.SlavePath()).Fd;
        ASSERT_GE(held, 0);
        platform::SetMessageHook([this](const platform::MessageRequest& r) {
            boxes.push_back(r);
            if (onBox)
                onBox();
            return platform::MsgResult::Ok;
        });
        port = std::make_unique<TAfComPort>();
        port->setObjectName(QStringLiteral("AfComPort1"));
        port->OnPortOpen = [this](QObject*) {
            events.push_back("open " + std::to_string(port->ComNumber()));
        };
        port->OnPortClose = [this](QObject*) { events.push_back("close"); };
        combo.SetMaxComPorts(6);
    }
    void TearDown() override {
        platform::SetMessageHook({});
        port.reset();
        platform::ClosePortDescriptor(held);
    }

    int indexOf(int comNumber) const {
        return combo.findText(QStringLiteral("COM %1  ").arg(comNumber), Qt::MatchStartsWith);
    }

    // Opens the list and clicks the item of COM n.
    void clickItem(int comNumber) {
        const int row = indexOf(comNumber);
        ASSERT_GE(row, 0) << "COM " << comNumber << " is not listed";
        combo.showPopup();
        ASSERT_TRUE(QTest::qWaitFor([&] { return combo.DroppedDown(); }, 5000));
        QAbstractItemView* view = combo.view();
        const QPoint at = view->visualRect(combo.model()->index(row, 0)).center();
        QTest::mouseMove(view->viewport(), at);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !combo.DroppedDown(); }, 5000));
    }

    PortDir dir;
    TestPty pty1;
    TestPty pty3;
    TestPty pty5;
    TestPty pty6;
    int held = -1;
    std::vector<platform::MessageRequest> boxes;
    std::function<void()> onBox;
    std::vector<std::string> events;
    std::unique_ptr<TAfComPort> port;
    TAfPortComboBox combo;
};

TEST_F(PortChooserPick, LinkingSelectsThePortsNumber) {
    port->SetComNumber(5);
    combo.SetComPort(port.get());
    EXPECT_EQ(combo.ComPort(), port.get());
    EXPECT_EQ(combo.SelectedComNumber(), 5);
    EXPECT_EQ(combo.currentIndex(), indexOf(5));
    EXPECT_FALSE(port->Active()) << "linking opens nothing";

    // Linking the same component again does nothing.
    combo.setCurrentIndex(0);
    combo.SetComPort(port.get());
    EXPECT_EQ(combo.currentIndex(), 0);

    // A port whose number equals SelectedComNumber re-selects nothing, even
    // with no item selected.
    TAfComPort other;
    other.SetComNumber(5);
    combo.setCurrentIndex(-1);
    combo.SetComPort(&other);
    EXPECT_EQ(combo.currentIndex(), -1);
    EXPECT_EQ(combo.SelectedComNumber(), 5);
    combo.SetComPort(nullptr);
    EXPECT_EQ(combo.ComPort(), nullptr);
}

TEST_F(PortChooserPick, LinkingAnUnlistedNumberSelectsTheFirstItem) {
    dir.Unlink(1);
    combo.SetMaxComPorts(7); // rebuilt without COM 1
    port->SetComNumber(1);
    combo.SetComPort(port.get());
    EXPECT_EQ(combo.currentIndex(), 0);
    EXPECT_EQ(combo.SelectedComNumber(), 3) << "the lowest listed port";
    EXPECT_EQ(port->ComNumber(), 1) << "the port is not changed";

    // With an empty list the chooser stands for port 0.
    TAfPortComboBox empty;
    empty.SetMaxComPorts(0);
    empty.SetComPort(port.get());
    EXPECT_EQ(empty.SelectedComNumber(), 0);
    EXPECT_EQ(empty.currentIndex(), -1);
}

TEST_F(PortChooserPick, DestroyedPortUnlinksAndKeepsTheList) {
    port->SetComNumber(6);
    combo.SetComPort(port.get());
    const int selected = combo.currentIndex();
    port.reset();
    EXPECT_EQ(combo.ComPort(), nullptr);
    EXPECT_EQ(combo.currentIndex(), selected);
    EXPECT_EQ(combo.SelectedComNumber(), 6);
    EXPECT_EQ(combo.count(), 4);
    // A pick now changes only the chooser.
    int changes = 0;
    combo.OnChange = [&](QObject* sender) {
        EXPECT_EQ(sender, &combo);
        ++changes;
    };
    combo.show();
    clickItem(1);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(combo.SelectedComNumber(), 1);
}

TEST_F(PortChooserPick, EarlierLinkDyingDoesNotUnlinkTheCurrentOne) {
    auto first = std::make_unique<TAfComPort>();
    first->SetComNumber(1);
    combo.SetComPort(first.get());
    combo.SetComPort(port.get());
    first.reset();
    EXPECT_EQ(combo.ComPort(), port.get());
}

TEST_F(PortChooserPick, MousePickSetsTheNumberOpensAndRebuilds) {
    port->SetComNumber(1);
    combo.SetComPort(port.get());
    combo.show();
    std::vector<std::string> order;
    combo.OnChange = [&](QObject*) {
        order.push_back("change, port active: " + std::to_string(port->Active()));
    };

    clickItem(5);
    EXPECT_EQ(port->ComNumber(), 5);
    EXPECT_TRUE(port->Active());
    EXPECT_EQ(events, (std::vector<std::string>{"open 5"}));
    ASSERT_EQ(order, (std::vector<std::string>{"change, port active: 0"}))
        << "OnChange fires before the port is touched";
    EXPECT_EQ(combo.SelectedComNumber(), 5);
    EXPECT_EQ(combo.currentIndex(), indexOf(5));
    // Rebuilt: COM 5 is now in use by this very program.
    EXPECT_EQ(AfPortStateOfData(combo.PortNumberOf(indexOf(5))), psInUse);
    EXPECT_TRUE(boxes.empty());

    // Moving an open port: closed, renumbered, reopened.
    events.clear();
    clickItem(6);
    EXPECT_EQ(port->ComNumber(), 6);
    EXPECT_TRUE(port->Active());
    EXPECT_EQ(events, (std::vector<std::string>{"close", "open 6"}));
    EXPECT_EQ(AfPortStateOfData(combo.PortNumberOf(indexOf(5))), psFree) << "released again";
}

TEST_F(PortChooserPick, PickingTheCurrentNumber) {
    port->SetComNumber(5);
    combo.SetComPort(port.get());
    combo.show();
    // Closed: the pick opens it.
    clickItem(5);
    EXPECT_TRUE(port->Active());
    EXPECT_EQ(events, (std::vector<std::string>{"open 5"}));
    // Open: nothing happens to the port, but the list is probed anew.
    dir.Unlink(1);
    clickItem(5);
    EXPECT_EQ(events, (std::vector<std::string>{"open 5"}));
    EXPECT_TRUE(port->Active());
    EXPECT_EQ(indexOf(1), -1) << "rebuilt";
    EXPECT_EQ(combo.currentIndex(), indexOf(5));
}

TEST_F(PortChooserPick, ArrowKeysOnTheClosedBoxArePicks) {
    port->SetComNumber(1);
    combo.SetComPort(port.get());
    combo.show();
    combo.setFocus();
    ASSERT_EQ(combo.currentIndex(), indexOf(1));

    QTest::keyClick(&combo, Qt::Key_Down); // COM 3: in use, the open fails
    EXPECT_EQ(port->ComNumber(), 3);
    EXPECT_FALSE(port->Active());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(combo.currentIndex(), indexOf(3));

    QTest::keyClick(&combo, Qt::Key_Down); // COM 5
    EXPECT_EQ(port->ComNumber(), 5);
    EXPECT_TRUE(port->Active());
    EXPECT_EQ(combo.currentIndex(), indexOf(5));

    QTest::keyClick(&combo, Qt::Key_Down); // COM 6: the open port moves
    EXPECT_EQ(port->ComNumber(), 6);
    EXPECT_TRUE(port->Active());
    QTest::keyClick(&combo, Qt::Key_Up); // back to COM 5
    EXPECT_EQ(port->ComNumber(), 5);
    EXPECT_TRUE(port->Active());
    EXPECT_EQ(events, (std::vector<std::string>{"open 5", "close", "open 6", "close", "open 5"}));
}

TEST_F(PortChooserPick, FailedOpenReachesTheApplicationHandlerAfterTheRebuild) {
    port->SetComNumber(1);
    combo.SetComPort(port.get());
    combo.show();
    dir.Unlink(6); // only a rebuild notices this
    bool rebuiltFirst = false;
    int selectedAtBox = -2;
    onBox = [&] {
        rebuiltFirst = indexOf(6) == -1;
        selectedAtBox = combo.currentIndex();
    };

    clickItem(3);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Caption, QStringLiteral("Kelvox"));
    EXPECT_EQ(boxes[0].Icon, platform::MsgIcon::Error);
    EXPECT_FALSE(boxes[0].Text.isEmpty());
    EXPECT_TRUE(rebuiltFirst) << "the list is rebuilt before the failure is shown";
    EXPECT_EQ(selectedAtBox, indexOf(3)) << "and re-synchronised to the chosen number";
    EXPECT_EQ(port->ComNumber(), 3) << "the number is set before the open is tried";
    EXPECT_FALSE(port->Active());
    EXPECT_TRUE(events.empty());
}

TEST_F(PortChooserPick, FailingChangeHandlerIsReportedAndStopsThePick) {
    port->SetComNumber(1);
    combo.SetComPort(port.get());
    combo.show();
    combo.OnChange = [](QObject*) { throw std::runtime_error("handler failed"); };
    clickItem(5);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, QStringLiteral("handler failed"));
    EXPECT_EQ(port->ComNumber(), 1);
    EXPECT_FALSE(port->Active());
}

TEST_F(PortChooserPick, OnlyFreePortsDropThePickedOne) {
    combo.SetOptions({pcCheckExist, pcDisableOpen});
    ASSERT_EQ(combo.count(), 3); // COM 1, 5, 6
    port->SetComNumber(1);
    combo.SetComPort(port.get());
    combo.show();
    clickItem(5);
    EXPECT_TRUE(port->Active());
    EXPECT_EQ(port->ComNumber(), 5);
    EXPECT_EQ(indexOf(5), -1) << "in use now, so no longer listed";
    EXPECT_EQ(combo.currentIndex(), 0);
    EXPECT_EQ(combo.SelectedComNumber(), 1);
    EXPECT_EQ(port->ComNumber(), 5) << "the port stays on the chosen number";
}

TEST_F(PortChooserPick, IndexSetFromCodeIsNoPick) {
    port->SetComNumber(1);
    combo.SetComPort(port.get());
    int changes = 0;
    combo.OnChange = [&](QObject*) { ++changes; };
    combo.setCurrentIndex(indexOf(5));
    combo.setCurrentText(QStringLiteral("COM 6"));
    combo.SetItemIndex(indexOf(3));
    EXPECT_EQ(combo.ItemIndex(), indexOf(3));
    combo.SyncItemIndex();
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(port->ComNumber(), 1);
    EXPECT_FALSE(port->Active());
    EXPECT_EQ(combo.SelectedComNumber(), 1);
    EXPECT_TRUE(events.empty());
}

} // namespace
