// The integer field driven as a user would: typing, stepping keys, arrow
// clicks, paste and cut, Enter and leaving the field, inside a dialog with a
// default button.
#include "gui/uIntEdit.h"
#include "platform/MessageBox.h"
#include "support/MessageRecorder.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

// A dialog laid out like the options dialog's period row: the field, a
// plain edit after it in the tab order, and a default button.
class IntEditInput : public ::testing::Test {
protected:
    void SetUp() override {
        dialog = std::make_unique<QDialog>();
        dialog->resize(300, 200);
        edit = new TIntEdit(dialog.get());
        edit->setObjectName("IntEdit1");
        edit->setGeometry(58, 103, 57, 21);
        other = new QLineEdit(dialog.get());
        other->setGeometry(130, 103, 80, 21);
        defaultButton = new QPushButton("Save and close", dialog.get());
        defaultButton->setGeometry(200, 160, 90, 25);
        defaultButton->setDefault(true);
        QObject::connect(defaultButton, &QPushButton::clicked, [this] { ++defaultClicks; });
        QWidget::setTabOrder(edit, other);
        QWidget::setTabOrder(other, defaultButton);
        dialog->show();
        dialog->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
        FocusField();
    }
    void TearDown() override { dialog.reset(); }

    void FocusField() {
        edit->setFocus(Qt::OtherFocusReason);
        ASSERT_TRUE(QTest::qWaitFor([this] { return edit->hasFocus(); }, 5000));
    }
    // Replaces the text as the user would: select everything, then type.
    void Type(const char* text) {
        edit->selectAll();
        QTest::keyClicks(edit, text);
    }

    MessageRecorder boxes;
    std::unique_ptr<QDialog> dialog;
    TIntEdit* edit = nullptr;
    QLineEdit* other = nullptr;
    QPushButton* defaultButton = nullptr;
    int defaultClicks = 0;
};

QPoint UpperHalf(const TUpDown* u) {
    return QPoint(u->width() / 2, u->height() / 4);
}
QPoint LowerHalf(const TUpDown* u) {
    return QPoint(u->width() / 2, u->height() * 3 / 4);
}

} // namespace

TEST_F(IntEditInput, OnlyDigitsMinusAndTheAllowedControlCharsAreTyped) {
    // Entered by code (not a mouse press): the whole text is selected.
    EXPECT_EQ(edit->selectedText(), "0");
    Type("abc");
    EXPECT_EQ(edit->text(), "0"); // nothing replaced the selection
    Type("+ 1x2-");
    EXPECT_EQ(edit->text(), "12-");
    Type("-42");
    EXPECT_EQ(edit->text(), "-42");
    QTest::keyClick(edit, Qt::Key_Backspace);
    EXPECT_EQ(edit->text(), "-4");

    // Ctrl+X, Ctrl+A and Ctrl+Z are refused characters: no cut, no select
    // all, no undo.
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), "-4");
    edit->deselect();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    EXPECT_FALSE(edit->hasSelectedText());
    QTest::keyClick(edit, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), "-4");
    // Typing alone never accepts a number.
    EXPECT_EQ(edit->Value(), 0);
}

TEST_F(IntEditInput, PasteAndCutFollowEditorEnabledAndReadOnly) {
    QApplication::clipboard()->setText("12a");
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), "12a"); // pasted text is not filtered

    edit->SetEditorEnabled(false);
    edit->setText("5");
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Insert, Qt::ShiftModifier);
    QTest::keyClick(edit, Qt::Key_Delete, Qt::ShiftModifier); // cut
    EXPECT_EQ(edit->text(), "5");
    {
        std::unique_ptr<QMenu> menu(edit->CreateContextMenu());
        QAction* paste = menu->findChild<QAction*>("edit-paste");
        QAction* cut = menu->findChild<QAction*>("edit-cut");
        ASSERT_NE(paste, nullptr);
        ASSERT_NE(cut, nullptr);
        EXPECT_FALSE(paste->isEnabled());
        EXPECT_FALSE(cut->isEnabled());
        paste->trigger();
        cut->trigger();
        EXPECT_EQ(edit->text(), "5");
    }
    // Typing still works with the editor flag off.
    Type("7");
    EXPECT_EQ(edit->text(), "7");

    edit->SetEditorEnabled(true);
    edit->setReadOnly(true);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), "7");
    edit->setReadOnly(false);

    {
        std::unique_ptr<QMenu> menu(edit->CreateContextMenu());
        QAction* paste = menu->findChild<QAction*>("edit-paste");
        ASSERT_NE(paste, nullptr);
        EXPECT_TRUE(paste->isEnabled());
        edit->selectAll();
        paste->trigger();
        EXPECT_EQ(edit->text(), "12a");
        // The gate is checked again when the action fires.
        edit->SetEditorEnabled(false);
        edit->setText("3");
        edit->selectAll();
        paste->trigger();
        EXPECT_EQ(edit->text(), "3");
        edit->SetEditorEnabled(true);
    }
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete, Qt::ShiftModifier);
    EXPECT_EQ(edit->text(), "");
    EXPECT_EQ(QApplication::clipboard()->text(), "3");

    // Ctrl+C copies; Ctrl+Shift+V is the same paste character as Ctrl+V.
    edit->setText("64");
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "64");
    edit->end(false);
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(edit->text(), "6464");
    edit->clear();

    // The pasted junk is corrected when the field is left.
    QApplication::clipboard()->setText("12a");
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Tab);
    EXPECT_EQ(edit->text(), "12");
    EXPECT_EQ(edit->Value(), 12);
    EXPECT_TRUE(boxes.Seen.empty());
}

TEST_F(IntEditInput, StepKeysUseIncrementControlAndPageMultiplier) {
    edit->SetMinValue(-1000);
    edit->SetMaxValue(1000);
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->Value(), 1);
    QTest::keyClick(edit, Qt::Key_Down);
    QTest::keyClick(edit, Qt::Key_Down);
    EXPECT_EQ(edit->Value(), -1);
    EXPECT_EQ(edit->text(), "-1");
    QTest::keyClick(edit, Qt::Key_Up, Qt::ControlModifier);
    EXPECT_EQ(edit->Value(), 9);
    QTest::keyClick(edit, Qt::Key_PageUp);
    EXPECT_EQ(edit->Value(), 19);
    QTest::keyClick(edit, Qt::Key_PageUp, Qt::ControlModifier);
    EXPECT_EQ(edit->Value(), 119);
    QTest::keyClick(edit, Qt::Key_PageDown, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_PageDown);
    EXPECT_EQ(edit->Value(), 9);

    edit->SetIncrement(5);
    edit->SetPageMult(3);
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->Value(), 14);
    QTest::keyClick(edit, Qt::Key_PageDown);
    EXPECT_EQ(edit->Value(), -1);

    // Page steps stop at the limits.
    edit->SetMinValue(0);
    edit->SetMaxValue(100);
    edit->SetIncrement(1);
    edit->SetPageMult(10);
    edit->SetValue(95);
    QTest::keyClick(edit, Qt::Key_PageUp);
    EXPECT_EQ(edit->Value(), 100);
    edit->SetValue(3);
    QTest::keyClick(edit, Qt::Key_PageDown);
    EXPECT_EQ(edit->Value(), 0);

    // Keys step even when editing is restricted.
    edit->setReadOnly(true);
    edit->SetEditorEnabled(false);
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->Value(), 1);
    // The stepping keys are used up by the field.
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QApplication::sendEvent(edit, &down);
    EXPECT_TRUE(down.isAccepted());
}

TEST_F(IntEditInput, StepTakesUpTypedTextAndReportsEachTextChange) {
    int changes = 0;
    edit->OnChange = [&](QObject*) { ++changes; };
    Type("7");
    EXPECT_EQ(changes, 1);
    changes = 0;
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->Value(), 8);
    EXPECT_EQ(changes, 1); // "7" was already shown as read

    changes = 0;
    Type("07");
    EXPECT_EQ(changes, 2); // "0", then "07"
    changes = 0;
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->Value(), 8);
    EXPECT_EQ(changes, 2); // "07" -> "7" -> "8"

    // Text that does not parse leaves the stored value as the base.
    Type("9-");
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->Value(), 9);
    // Out of range text is clamped before the step.
    Type("500");
    QTest::keyClick(edit, Qt::Key_Down);
    EXPECT_EQ(edit->Value(), 99);
}

TEST_F(IntEditInput, ArrowPressesStepAndFocusTheField) {
    TUpDown* arrows = edit->UpDown();
    ASSERT_NE(arrows, nullptr);
    edit->SetMinValue(-1000);
    edit->SetMaxValue(1000);
    for (int i = 0; i < 101; ++i)
        QTest::mouseClick(arrows, Qt::LeftButton, Qt::NoModifier, UpperHalf(arrows));
    EXPECT_EQ(edit->Value(), 101);
    QTest::mouseClick(arrows, Qt::LeftButton, Qt::NoModifier, LowerHalf(arrows));
    EXPECT_EQ(edit->Value(), 100);
    QTest::mouseClick(arrows, Qt::LeftButton, Qt::ControlModifier, LowerHalf(arrows));
    EXPECT_EQ(edit->Value(), 90);
    QTest::mouseClick(arrows, Qt::RightButton, Qt::NoModifier, UpperHalf(arrows));
    EXPECT_EQ(edit->Value(), 90);

    // A press from elsewhere brings the focus to the field.
    other->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([this] { return other->hasFocus(); }, 5000));
    QTest::mouseClick(arrows, Qt::LeftButton, Qt::NoModifier, UpperHalf(arrows));
    EXPECT_EQ(edit->Value(), 91);
    EXPECT_TRUE(edit->hasFocus());
    EXPECT_EQ(edit->selectedText(), "91"); // entered other than by a press on it

    // With the arrows disabled the keys still step.
    edit->SetUpDownEnable(false);
    QTest::mouseClick(arrows, Qt::LeftButton, Qt::NoModifier, UpperHalf(arrows));
    QTest::mouseClick(arrows, Qt::LeftButton, Qt::NoModifier, LowerHalf(arrows));
    EXPECT_EQ(edit->Value(), 91);
    QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->Value(), 92);
    edit->SetUpDownEnable(true);
    QTest::mouseClick(arrows, Qt::LeftButton, Qt::NoModifier, UpperHalf(arrows));
    EXPECT_EQ(edit->Value(), 93);

    // A disabled field disables its arrows too.
    edit->SetEnabled(false);
    EXPECT_FALSE(arrows->isEnabled());
    QTest::mouseClick(arrows, Qt::LeftButton, Qt::NoModifier, UpperHalf(arrows));
    EXPECT_EQ(edit->Value(), 93);
    edit->SetEnabled(true);
    EXPECT_TRUE(edit->Enabled());
    EXPECT_TRUE(arrows->isEnabled());
}

TEST_F(IntEditInput, EnterValidatesAndMovesOnWithoutPressingTheDefaultButton) {
    // The set-up is able to see a default button press: Enter in a plain
    // edit triggers it.
    other->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([this] { return other->hasFocus(); }, 5000));
    QTest::keyClick(other, Qt::Key_Return);
    ASSERT_EQ(defaultClicks, 1);
    defaultClicks = 0;
    FocusField();

    Type("500");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(edit->text(), "100"); // validated at once
    EXPECT_EQ(edit->Value(), 100);
    EXPECT_TRUE(QTest::qWaitFor([this] { return other->hasFocus(); }, 5000));
    EXPECT_EQ(defaultClicks, 0);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), 0);

    // The numeric keypad's Enter behaves the same.
    FocusField();
    Type("42");
    QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(edit->Value(), 42);
    EXPECT_TRUE(QTest::qWaitFor([this] { return other->hasFocus(); }, 5000));
    EXPECT_EQ(defaultClicks, 0);
    EXPECT_TRUE(boxes.Seen.empty());
}

TEST_F(IntEditInput, RejectedEnterShowsOneMessageAndKeepsTheFocus) {
    edit->SetAutoCorrect(false);
    edit->SetShowName("Value");
    edit->SetValue(30);
    Type("500");
    QTest::keyClick(edit, Qt::Key_Return);
    // Deliver the queued Tab, if one were still pending.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    ASSERT_EQ(boxes.Seen.size(), 1u);
    EXPECT_EQ(boxes.Seen[0].Text, QString::fromUtf8("Value musí být v rozmezí od 0 do 100!"));
    EXPECT_TRUE(edit->hasFocus());
    EXPECT_EQ(edit->text(), "500");
    EXPECT_EQ(edit->selectedText(), "500");
    EXPECT_EQ(edit->Value(), 30);
    EXPECT_EQ(defaultClicks, 0);
}

TEST_F(IntEditInput, LeavingValidatesAndOnlyAValidTextLetsTheFocusGo) {
    int exits = 0;
    int enters = 0;
    edit->OnExit = [&](QObject*) { ++exits; };
    edit->OnEnter = [&](QObject*) { ++enters; };
    edit->SetAutoCorrect(false);
    edit->SetValue(30);
    Type("500");
    QTest::keyClick(edit, Qt::Key_Tab);
    ASSERT_EQ(boxes.Seen.size(), 1u);
    EXPECT_TRUE(edit->hasFocus());
    EXPECT_EQ(edit->selectedText(), "500");
    EXPECT_EQ(edit->Value(), 30);
    EXPECT_EQ(exits, 0);
    EXPECT_EQ(enters, 0); // the focus never left as far as the field's user sees

    // Clicking another control is a departure too.
    QTest::mouseClick(other, Qt::LeftButton);
    EXPECT_EQ(boxes.Seen.size(), 2u);
    EXPECT_TRUE(edit->hasFocus());

    Type("50");
    QTest::keyClick(edit, Qt::Key_Tab);
    EXPECT_TRUE(other->hasFocus());
    EXPECT_EQ(edit->Value(), 50);
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(boxes.Seen.size(), 2u);

    // Coming back by Tab selects the whole text and counts as an entry.
    QTest::keyClick(other, Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_TRUE(edit->hasFocus());
    EXPECT_EQ(edit->selectedText(), "50");
    EXPECT_EQ(enters, 1);

    // Without auto-select an entry leaves the text unselected, and a mouse
    // press on the field never selects it.
    QTest::keyClick(edit, Qt::Key_Tab);
    ASSERT_TRUE(other->hasFocus());
    edit->SetAutoSelect(false);
    QTest::keyClick(other, Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_TRUE(edit->hasFocus());
    EXPECT_FALSE(edit->hasSelectedText());
    edit->SetAutoSelect(true);
    QTest::keyClick(edit, Qt::Key_Tab);
    ASSERT_TRUE(other->hasFocus());
    QTest::mouseClick(edit, Qt::LeftButton);
    EXPECT_TRUE(edit->hasFocus());
    EXPECT_FALSE(edit->hasSelectedText());
    EXPECT_EQ(enters, 3);
    EXPECT_EQ(exits, 3);

    // A one-number range accepts any typed number silently.
    edit->SetMinValue(7);
    edit->SetMaxValue(7);
    Type("500");
    QTest::keyClick(edit, Qt::Key_Tab);
    EXPECT_EQ(edit->text(), "7");
    EXPECT_TRUE(other->hasFocus());
    EXPECT_EQ(boxes.Seen.size(), 2u);
}

TEST_F(IntEditInput, KeyEventsSeeTheFieldsOwnHandlingFirst) {
    std::vector<int> keyDownValues;
    std::vector<int> pressed;
    edit->OnKeyDown = [&](QObject*, int& key, Qt::KeyboardModifiers) {
        if (key == Qt::Key_Up)
            keyDownValues.push_back(edit->Value());
    };
    edit->OnKeyPress = [&](QObject*, QChar& key) {
        pressed.push_back(key.unicode());
        if (key == u'5')
            key = u'6'; // a handler may replace the character
    };
    QTest::keyClick(edit, Qt::Key_Up);
    ASSERT_EQ(keyDownValues.size(), 1u);
    EXPECT_EQ(keyDownValues[0], 1);

    Type("a5");
    EXPECT_EQ(edit->text(), "6");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ((std::vector<int>{0, '5'}), pressed); // Enter never reaches it
    EXPECT_EQ(edit->Value(), 6);
}

TEST_F(IntEditInput, ClosingTheDialogOverARejectedTextShowsNothing) {
    edit->SetAutoCorrect(false);
    Type("500");
    dialog->reject();
    EXPECT_FALSE(dialog->isVisible());
    dialog.reset();
    EXPECT_TRUE(boxes.Seen.empty());
}
