// A one-line numeric entry field with an up/down arrow pair inside its right
// edge. It filters what may be typed, turns the arrows and the Up, Down,
// Page Up and Page Down keys into steps, gates paste and cut, and validates
// the text when Enter is pressed or the focus moves to another control.
// What a step, a display and a validation mean is up to the descendant.
//
// Main (GUI) thread only.
#pragma once

#include "platform/Types.h"

#include <QChar>
#include <QLineEdit>
#include <QString>
#include <QTimer>
#include <functional>

class QMenu;

// Which arrow of the pair was pressed: btNext increases, btPrev decreases.
enum TUDBtnType { btNext, btPrev };

// Key events as the field's users see them: the Qt key code (which a handler
// may set to 0) and the modifiers held.
using TKeyEvent = std::function<void(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift)>;
// Character events: Key is the character code in the Windows convention
// (3 = Ctrl+C, 8 = Backspace, 22 = Ctrl+V ...); 0 means "refused, insert
// nothing". A handler may replace it.
using TKeyPressEvent = std::function<void(QObject* Sender, QChar& Key)>;
using TUDClickEvent = std::function<void(QObject* Sender, TUDBtnType Button)>;

// The arrow pair. The upper half reports btNext, the lower half btPrev, once
// per press and then repeatedly while the left button is held (wherever its
// release is delivered). An empty range
// (Min == Max) makes presses report nothing, although the arrows stay
// visible and enabled. The control never takes the keyboard focus.
class TUpDown : public QWidget {
    Q_OBJECT
public:
    explicit TUpDown(QWidget* Parent);

    int Min() const { return FMin; }
    int Max() const { return FMax; }
    void SetRange(int Min, int Max);

    TUDClickEvent OnClick;

    // The arrow a press at this local point would report.
    TUDBtnType ButtonAt(const QPoint& Pos) const;
    // The modifiers held at the press that produced the current report.
    Qt::KeyboardModifiers PressModifiers() const { return FPressModifiers; }

protected:
    void paintEvent(QPaintEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void hideEvent(QHideEvent* Event) override;
    void changeEvent(QEvent* Event) override;

private:
    void Report();
    void StopRepeat();

    int FMin = -100;
    int FMax = 100;
    bool FHeld = false;
    TUDBtnType FHeldButton = btNext;
    Qt::KeyboardModifiers FPressModifiers;
    QTimer FRepeat;
};

class TMyCustomNumEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TMyCustomNumEdit(QWidget* Parent = nullptr);
    ~TMyCustomNumEdit() override;

    bool UpDownEnable() const { return FUpDownEnable; }
    void SetUpDownEnable(bool Value);
    QString ShowName() const { return FShowName; }
    void SetShowName(const QString& Value) { FShowName = Value; }
    bool AutoCorrect() const { return FAutoCorrect; }
    void SetAutoCorrect(bool Value) { FAutoCorrect = Value; }
    bool FailureBeep() const { return FFailureBeep; }
    void SetFailureBeep(bool Value) { FFailureBeep = Value; }
    bool EditorEnabled() const { return FEditorEnabled; }
    void SetEditorEnabled(bool Value) { FEditorEnabled = Value; }
    bool Colored() const { return FColored; }
    void SetColored(bool Value);
    bool Enabled() const { return isEnabled(); }
    void SetEnabled(bool Value);
    // Select the whole text when the focus arrives other than by a mouse press.
    bool AutoSelect() const { return FAutoSelect; }
    void SetAutoSelect(bool Value) { FAutoSelect = Value; }
    bool TabStop() const { return (focusPolicy() & Qt::TabFocus) != 0; }

    // The arrow pair (a child of the field); null while the field is being
    // destroyed.
    TUpDown* UpDown() const { return FUpDown; }

    // Fired whenever the shown text changes, with the field as sender.
    TNotifyEvent OnChange;
    TNotifyEvent OnEnter;
    // Fired when the focus leaves for another control and the text validated.
    TNotifyEvent OnExit;
    TKeyEvent OnKeyDown;
    TKeyPressEvent OnKeyPress;
    TKeyEvent OnKeyUp;

    // Step the value one arrow press (Page False) or one page (Page True) up
    // or down; the Control key multiplies the step.
    virtual void StepValue(TUDBtnType Button, bool Page) = 0;
    // Show the value; the base clears the text.
    virtual void DisplayValue();
    // Accept, correct or reject the text; the base accepts anything.
    virtual bool ValidateText();

    // The context menu the field shows (Undo, Cut, Copy, Paste, Delete,
    // Select All; actions named "edit-undo", "edit-cut", "edit-copy",
    // "edit-paste", "edit-delete", "select-all"), with paste and cut disabled
    // while they are not allowed. The caller owns it.
    QMenu* CreateContextMenu();

    // Whether a character code in the Windows convention may be typed:
    // Ctrl+C, Backspace, Ctrl+V, "-" and the digits (and Enter, which never
    // gets as far as the filter).
    static bool IsAcceptedChar(unsigned Code);

signals:
    void Changed();

protected:
    // Whether Control counts as held for the step in progress: the modifiers
    // of the key or mouse event that started it, else the keyboard's state.
    bool ControlHeld() const;
    // Beep for a failed validation; tests count the calls.
    virtual void Beep();
    // After a rejected text: focus back on the field, whole text selected,
    // and a pending Enter-Tab dropped (the message box swallowed it).
    void ReclaimFocus();
    // Colour of the shown text (normal and inactive states; disabled text
    // keeps the style's grey).
    void SetFontColor(const QColor& Color);

    void keyPressEvent(QKeyEvent* Event) override;
    void keyReleaseEvent(QKeyEvent* Event) override;
    void focusInEvent(QFocusEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void contextMenuEvent(QContextMenuEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;

private:
    void PlaceArrows();
    void AdjustTextArea();
    void ArrowClick(QObject* Sender, TUDBtnType Button);
    void KeyStep(TUDBtnType Button, bool Page, Qt::KeyboardModifiers Modifiers);
    bool PasteAllowed() const { return FEditorEnabled && !isReadOnly(); }
    void DeliverPendingTab();
    // Types the character the key event produced, after OnKeyPress had its
    // say; Original is the code the event carried.
    void ApplyChar(QKeyEvent* Event, unsigned Original, QChar Key);

    TUpDown* FUpDown = nullptr;
    bool FUpDownEnable = true;
    bool FEditorEnabled = true;
    bool FColored = true;
    QString FShowName;
    bool FFailureBeep = false;
    bool FAutoCorrect = true;
    bool FAutoSelect = true;

    bool FStepModifiersValid = false;
    Qt::KeyboardModifiers FStepModifiers;
    int FTabsPending = 0;     // Enter presses whose Tab has not been delivered yet
    bool FEntered = false;    // the focus arrived and has not validly left since
    bool FMouseEntry = false; // it arrived by a mouse press not yet delivered
    bool FValidating = false;
};
