// The numeric edit base: the accepted character set, the arrow pair's place
// beside the text, and how keys and arrows turn into step requests.
#include "gui/uCustomNumEdit.h"

#include <QDialog>
#include <QPointer>
#include <QStyle>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

// Records every step request with the Control state it saw.
class RecordingEdit : public TMyCustomNumEdit {
public:
    using QLineEdit::cursorRect;
    using TMyCustomNumEdit::TMyCustomNumEdit;
    struct Step {
        TUDBtnType Button;
        bool Page;
        bool Control;
        bool operator==(const Step&) const = default;
    };
    std::vector<Step> Steps;
    int Validations = 0;

    void StepValue(TUDBtnType Button, bool Page) override {
        Steps.push_back({Button, Page, ControlHeld()});
    }
    bool ValidateText() override {
        ++Validations;
        return TMyCustomNumEdit::ValidateText();
    }
};

} // namespace

TEST(CustomNumEdit, AcceptedCharacterSetIsExact) {
    for (unsigned code = 0; code < 0x10000; ++code) {
        // Enter (13) is in the set but is handled before the filter.
        const bool expected = code == 3 || code == 8 || code == 13 || code == 22 || code == '-' ||
                              (code >= '0' && code <= '9');
        EXPECT_EQ(TMyCustomNumEdit::IsAcceptedChar(code), expected) << code;
    }
}

TEST(CustomNumEdit, KeysAndArrowsBecomeStepRequests) {
    RecordingEdit edit;
    edit.resize(80, 21);
    edit.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&edit));
    using S = RecordingEdit::Step;
    QTest::keyClick(&edit, Qt::Key_Up);
    QTest::keyClick(&edit, Qt::Key_Down, Qt::ControlModifier);
    QTest::keyClick(&edit, Qt::Key_PageUp);
    QTest::keyClick(&edit, Qt::Key_PageDown, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(&edit, Qt::Key_Left);
    QTest::keyClick(&edit, Qt::Key_Home);
    const std::vector<S> keys = {
        {btNext, false, false}, {btPrev, false, true}, {btNext, true, false}, {btPrev, true, true}};
    EXPECT_EQ(edit.Steps, keys);

    edit.Steps.clear();
    TUpDown* arrows = edit.UpDown();
    ASSERT_NE(arrows, nullptr);
    QTest::mouseClick(arrows, Qt::LeftButton, Qt::NoModifier, QPoint(2, 1));
    QTest::mouseClick(arrows, Qt::LeftButton, Qt::ControlModifier, QPoint(2, arrows->height() - 2));
    const std::vector<S> clicks = {{btNext, false, false}, {btPrev, false, true}};
    EXPECT_EQ(edit.Steps, clicks);

    edit.SetUpDownEnable(false);
    EXPECT_EQ(arrows->Min(), arrows->Max());
    EXPECT_TRUE(arrows->isVisible());
    EXPECT_TRUE(arrows->isEnabled());
    QTest::mouseClick(arrows, Qt::LeftButton, Qt::NoModifier, QPoint(2, 1));
    EXPECT_EQ(edit.Steps.size(), 2u);
    QTest::keyClick(&edit, Qt::Key_Up);
    EXPECT_EQ(edit.Steps.size(), 3u);
}

TEST(CustomNumEdit, ArrowsSitInsideTheRightEdgeAndNeverCoverTheText) {
    RecordingEdit edit;
    edit.setGeometry(10, 10, 57, 21);
    edit.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&edit));
    TUpDown* arrows = edit.UpDown();
    const int width = edit.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, arrows);
    EXPECT_EQ(arrows->width(), width);
    EXPECT_EQ(arrows->geometry(), QRect(57 - width - 1, 1, width, 19));

    edit.setText("12345678901234567890");
    edit.end(false);
    edit.repaint(); // the horizontal scroll is worked out while painting
    EXPECT_LT(edit.cursorRect().right(), arrows->x());
    edit.home(false);
    edit.repaint();
    EXPECT_LT(edit.cursorRect().right(), arrows->x());

    edit.resize(140, 30);
    QCoreApplication::processEvents();
    EXPECT_EQ(arrows->geometry(), QRect(140 - width - 1, 1, width, 28));
    edit.end(false);
    edit.repaint(); // the horizontal scroll is worked out while painting
    EXPECT_LT(edit.cursorRect().right(), arrows->x());
}

TEST(CustomNumEdit, DestroyingTheFieldWhileAnArrowIsHeldIsSafe) {
    auto edit = std::make_unique<RecordingEdit>();
    edit->resize(80, 21);
    edit->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(edit.get()));
    QPointer<TUpDown> arrows = edit->UpDown();
    // The first report deletes the field; the held arrow must not repeat
    // into freed memory.
    arrows->OnClick = [&](QObject*, TUDBtnType) { edit.reset(); };
    QTest::mousePress(arrows.data(), Qt::LeftButton, Qt::NoModifier, QPoint(2, 1));
    EXPECT_EQ(edit, nullptr);
    EXPECT_TRUE(arrows.isNull());
}

TEST(CustomNumEdit, AHeldArrowStopsWhenItsReleaseWentToAModalBox) {
    RecordingEdit edit;
    edit.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&edit));
    int reports = 0;
    edit.UpDown()->OnClick = [&](QObject*, TUDBtnType) {
        if (++reports > 1)
            return;
        QDialog box(&edit); // the button is let go over the box
        QTimer::singleShot(50, &box, [&box] {
            QTest::mouseRelease(box.windowHandle(), Qt::LeftButton, {}, QPoint(5, 5));
            box.accept();
        });
        box.exec();
    };
    QTest::mousePress(edit.windowHandle(), Qt::LeftButton, {}, edit.UpDown()->geometry().topLeft());
    QTest::qWait(800); // past the 300 ms delay and several 100 ms repeats
    EXPECT_EQ(reports, 1);
}
