#include "gui/uCustomNumEdit.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QStyle>
#include <QStyleOption>

namespace {

// Delay before a held arrow starts repeating, and the repeat period.
constexpr int kRepeatDelayMs = 300;
constexpr int kRepeatIntervalMs = 100;

// The character a key event types, as a Windows character code (what the
// edit's character handler would see), or -1 for a key that types nothing
// (navigation, function keys, Delete). Control letters are taken from the
// key code, not the event text, because the text of a Control chord differs
// between platforms and input methods.
int CharCodeOf(const QKeyEvent* Event) {
    const int key = Event->key();
    const Qt::KeyboardModifiers mods = Event->modifiers();
    const bool ctrl = (mods & Qt::ControlModifier) != 0;
    const bool alt = (mods & Qt::AltModifier) != 0;
    // Alt chords are menu keys; Control+Alt (AltGr on some systems) types
    // whatever its text says.
    if (alt && !ctrl)
        return -1;
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        return ctrl ? 10 : 13;
    if (key == Qt::Key_Backspace)
        return ctrl ? 127 : 8;
    if (ctrl && !alt) {
        if (key >= Qt::Key_A && key <= Qt::Key_Z)
            return key - Qt::Key_A + 1;
        return -1;
    }
    const QString text = Event->text();
    if (text.isEmpty())
        return -1;
    const char16_t c = text.at(0).unicode();
    if (c < 32 || c == 127)
        return -1;
    return c;
}

bool IsStepKey(int Key) {
    return Key == Qt::Key_PageUp || Key == Qt::Key_PageDown || Key == Qt::Key_Up ||
           Key == Qt::Key_Down;
}

bool IsEnterKey(int Key) {
    return Key == Qt::Key_Return || Key == Qt::Key_Enter;
}

// Focus changes that only reflect window activation or a popup: the focus
// has not moved to another control, so they neither enter nor leave.
bool IsActivationOnly(Qt::FocusReason Reason) {
    return Reason == Qt::ActiveWindowFocusReason || Reason == Qt::PopupFocusReason ||
           Reason == Qt::MenuBarFocusReason;
}

} // namespace

// ---------------------------------------------------------------------------
// TUpDown

TUpDown::TUpDown(QWidget* Parent) : QWidget(Parent) {
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::ArrowCursor);
    // The width of a vertical scroll bar, as native arrow pairs have.
    const int width = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    resize(width > 0 ? width : 16, 20);
    FRepeat.setSingleShot(false);
    connect(&FRepeat, &QTimer::timeout, this, [this] {
        // The release may have gone elsewhere (to a modal box the click
        // handler showed, say): the button's state, not our release event,
        // tells whether it is still held.
        if (!(QGuiApplication::mouseButtons() & Qt::LeftButton)) {
            StopRepeat();
            return;
        }
        FRepeat.setInterval(kRepeatIntervalMs);
        FPressModifiers = QGuiApplication::queryKeyboardModifiers();
        Report();
    });
}

void TUpDown::SetRange(int Min, int Max) {
    FMin = Min;
    FMax = Max;
}

TUDBtnType TUpDown::ButtonAt(const QPoint& Pos) const {
    return Pos.y() < height() / 2 ? btNext : btPrev;
}

void TUpDown::Report() {
    // An empty range cannot move, so the native control reports nothing.
    if (FMin == FMax || !OnClick)
        return;
    OnClick(this, FHeldButton);
}

void TUpDown::StopRepeat() {
    FRepeat.stop();
    if (FHeld) {
        FHeld = false;
        update();
    }
}

void TUpDown::mousePressEvent(QMouseEvent* Event) {
    Event->accept();
    if (Event->button() != Qt::LeftButton)
        return;
    FHeld = true;
    FHeldButton = ButtonAt(Event->position().toPoint());
    FPressModifiers = Event->modifiers();
    update();
    // The click handler may hide, disable or even delete us.
    QPointer<TUpDown> self(this);
    Report();
    if (self && FHeld && isEnabled() && isVisible())
        FRepeat.start(kRepeatDelayMs);
}

void TUpDown::mouseReleaseEvent(QMouseEvent* Event) {
    Event->accept();
    if (Event->button() == Qt::LeftButton)
        StopRepeat();
}

void TUpDown::hideEvent(QHideEvent* Event) {
    StopRepeat();
    QWidget::hideEvent(Event);
}

void TUpDown::changeEvent(QEvent* Event) {
    if (Event->type() == QEvent::EnabledChange && !isEnabled())
        StopRepeat();
    QWidget::changeEvent(Event);
}

void TUpDown::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int half = height() / 2;
    const QRect rects[2] = {QRect(0, 0, width(), half), QRect(0, half, width(), height() - half)};
    for (int i = 0; i < 2; ++i) {
        const TUDBtnType button = i == 0 ? btNext : btPrev;
        QStyleOptionButton panel;
        panel.initFrom(this);
        panel.rect = rects[i];
        panel.state |=
            (FHeld && FHeldButton == button) ? QStyle::State_Sunken : QStyle::State_Raised;
        style()->drawPrimitive(QStyle::PE_PanelButtonBevel, &panel, &painter, this);
        QStyleOption arrow;
        arrow.initFrom(this);
        arrow.rect = rects[i].adjusted(2, 1, -2, -1);
        arrow.state = panel.state;
        style()->drawPrimitive(i == 0 ? QStyle::PE_IndicatorArrowUp : QStyle::PE_IndicatorArrowDown,
                               &arrow, &painter, this);
    }
}

// ---------------------------------------------------------------------------
// TMyCustomNumEdit

TMyCustomNumEdit::TMyCustomNumEdit(QWidget* Parent)
    : QLineEdit(Parent), FShowName(QStringLiteral("Hodnota")) {
    FUpDown = new TUpDown(this);
    FUpDown->SetRange(-100, 100);
    FUpDown->OnClick = [this](QObject* Sender, TUDBtnType Button) { ArrowClick(Sender, Button); };
    PlaceArrows();
    AdjustTextArea();
    // Text only arrives by typing (filtered), stepping and the gated paste;
    // drops and input-method compositions would bypass all three.
    setAcceptDrops(false);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    connect(this, &QLineEdit::textChanged, this, [this] {
        if (OnChange)
            OnChange(this);
        emit Changed();
    });
}

TMyCustomNumEdit::~TMyCustomNumEdit() {
    // The arrow pair is a child and goes with the widget; forget it first so
    // that nothing running during the teardown reaches it.
    FUpDown = nullptr;
}

void TMyCustomNumEdit::SetUpDownEnable(bool Value) {
    FUpDownEnable = Value;
    if (FUpDown)
        FUpDown->SetRange(Value ? -100 : 0, Value ? 100 : 0);
}

void TMyCustomNumEdit::SetColored(bool Value) {
    FColored = Value;
    if (!Value)
        SetFontColor(QColor(0, 0, 0));
    DisplayValue();
}

void TMyCustomNumEdit::SetEnabled(bool Value) {
    setEnabled(Value);
    if (FUpDown)
        FUpDown->setEnabled(Value);
}

void TMyCustomNumEdit::DisplayValue() {
    clear();
}

bool TMyCustomNumEdit::ValidateText() {
    return true;
}

bool TMyCustomNumEdit::IsAcceptedChar(unsigned Code) {
    // Bit n of the low word stands for character n (0..31), bit n of the
    // high word for character 32 + n: Ctrl+C (3), Backspace (8), Enter (13,
    // which the key handling takes before it gets here), Ctrl+V (22), "-"
    // (45) and "0".."9" (48..57).
    constexpr unsigned long long kAccepted = (0x03FF2000ULL << 32) | 0x00402108ULL;
    return Code < 64 && ((kAccepted >> Code) & 1U) != 0;
}

bool TMyCustomNumEdit::ControlHeld() const {
    const Qt::KeyboardModifiers mods =
        FStepModifiersValid ? FStepModifiers : QGuiApplication::queryKeyboardModifiers();
    return (mods & Qt::ControlModifier) != 0;
}

void TMyCustomNumEdit::Beep() {
    QApplication::beep();
}

void TMyCustomNumEdit::ReclaimFocus() {
    FTabsPending = 0;
    if (!hasFocus())
        setFocus(Qt::OtherFocusReason);
    selectAll();
}

void TMyCustomNumEdit::SetFontColor(const QColor& Color) {
    QPalette pal = palette();
    pal.setColor(QPalette::Active, QPalette::Text, Color);
    pal.setColor(QPalette::Inactive, QPalette::Text, Color);
    setPalette(pal);
}

void TMyCustomNumEdit::PlaceArrows() {
    if (!FUpDown || FUpDown->isHidden())
        return;
    const int w = FUpDown->width();
    FUpDown->setGeometry(width() - w - 1, 1, w, height() - 2);
}

void TMyCustomNumEdit::AdjustTextArea() {
    // The margin is relative to the right edge, so it keeps the text clear of
    // the arrows at any width.
    const int right = (FUpDown && !FUpDown->isHidden()) ? FUpDown->width() + 2 : 0;
    setTextMargins(0, 0, right, 0);
}

void TMyCustomNumEdit::ArrowClick(QObject*, TUDBtnType Button) {
    KeyStep(Button, false, FUpDown ? FUpDown->PressModifiers() : Qt::NoModifier);
    if (TabStop() && isEnabled() && isVisible())
        setFocus(Qt::OtherFocusReason);
    // Qt hands the focus to the field before the press reaches the arrows,
    // as if the text had been clicked; an entry by the arrows is not a press
    // on the text, so it selects like any other entry.
    if (FMouseEntry) {
        FMouseEntry = false;
        if (FAutoSelect)
            selectAll();
    }
}

void TMyCustomNumEdit::KeyStep(TUDBtnType Button, bool Page, Qt::KeyboardModifiers Modifiers) {
    const bool savedValid = FStepModifiersValid;
    const Qt::KeyboardModifiers saved = FStepModifiers;
    FStepModifiersValid = true;
    FStepModifiers = Modifiers;
    StepValue(Button, Page);
    FStepModifiersValid = savedValid;
    FStepModifiers = saved;
}

void TMyCustomNumEdit::DeliverPendingTab() {
    if (FTabsPending <= 0)
        return;
    --FTabsPending;
    // Like a Tab typed by the user, it acts only where the focus is.
    if (hasFocus())
        focusNextChild();
}

void TMyCustomNumEdit::keyPressEvent(QKeyEvent* Event) {
    const int key = Event->key();
    const Qt::KeyboardModifiers mods = Event->modifiers();
    QPointer<TMyCustomNumEdit> self(this);

    // The field's own key action comes first.
    switch (key) {
    case Qt::Key_PageUp:
        KeyStep(btNext, true, mods);
        break;
    case Qt::Key_PageDown:
        KeyStep(btPrev, true, mods);
        break;
    case Qt::Key_Up:
        KeyStep(btNext, false, mods);
        break;
    case Qt::Key_Down:
        KeyStep(btPrev, false, mods);
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Enter moves on like Tab, but only after the key and character
        // handling below (validation included) have run: queue it.
        ++FTabsPending;
        QMetaObject::invokeMethod(
            this, [this] { DeliverPendingTab(); }, Qt::QueuedConnection);
        break;
    default:
        break;
    }
    if (!self)
        return;

    int userKey = key;
    if (OnKeyDown) {
        OnKeyDown(this, userKey, mods);
        if (!self)
            return;
    }

    const int code = CharCodeOf(Event);
    if (code >= 0) {
        // Accepting Enter keeps a dialog from treating it as a press of its
        // default button; nothing is inserted and OnKeyPress never sees it.
        Event->accept();
        if (code == 13) {
            ValidateText();
            return;
        }
        QChar ch = IsAcceptedChar(static_cast<unsigned>(code)) ? QChar(char16_t(code)) : QChar();
        if (OnKeyPress) {
            OnKeyPress(this, ch);
            if (!self)
                return;
        }
        ApplyChar(Event, static_cast<unsigned>(code), ch);
        return;
    }

    // Keys that type nothing: the stepping keys and Enter are used up here,
    // so neither the dialog nor a parent view acts on them as well.
    if (IsStepKey(key) || IsEnterKey(key) || userKey == 0) {
        Event->accept();
        return;
    }
    if ((Event->matches(QKeySequence::Paste) || Event->matches(QKeySequence::Cut)) &&
        !PasteAllowed()) {
        Event->accept();
        return;
    }
    QLineEdit::keyPressEvent(Event);
}

void TMyCustomNumEdit::ApplyChar(QKeyEvent* Event, unsigned Original, QChar Key) {
    // The control characters act directly: the base recognises them only
    // in its own key combinations (Ctrl+Shift+V, for one, would do nothing).
    switch (const unsigned code = Key.unicode()) {
    case 0:
        return;
    case 3:
        copy();
        return;
    case 22:
        if (PasteAllowed())
            paste();
        return;
    case 8:
        if (!isReadOnly())
            backspace();
        return;
    default:
        if (code == Original)
            QLineEdit::keyPressEvent(Event); // typed as it came
        else if (code >= 32 && code != 127 && !isReadOnly())
            insert(QString(Key)); // OnKeyPress replaced it
        Event->accept();
        return;
    }
}

void TMyCustomNumEdit::keyReleaseEvent(QKeyEvent* Event) {
    if (OnKeyUp) {
        QPointer<TMyCustomNumEdit> self(this);
        int key = Event->key();
        OnKeyUp(this, key, Event->modifiers());
        if (!self)
            return;
        if (key == 0) {
            Event->accept();
            return;
        }
    }
    QLineEdit::keyReleaseEvent(Event);
}

void TMyCustomNumEdit::focusInEvent(QFocusEvent* Event) {
    const bool hadSelection = hasSelectedText();
    QLineEdit::focusInEvent(Event);
    if (FEntered)
        return; // back after a rejected text or a window switch: not a new entry
    FEntered = true;
    FMouseEntry = Event->reason() == Qt::MouseFocusReason;
    if (FAutoSelect) {
        if (Event->reason() != Qt::MouseFocusReason)
            selectAll();
    } else if (!hadSelection && hasSelectedText()) {
        deselect(); // the base selects on Tab by itself
    }
    if (OnEnter)
        OnEnter(this);
}

void TMyCustomNumEdit::focusOutEvent(QFocusEvent* Event) {
    FMouseEntry = false;
    QLineEdit::focusOutEvent(Event);
    // A message box or a menu taking the focus is no departure; neither is a
    // focus change caused by our own validation.
    if (!FEntered || FValidating || IsActivationOnly(Event->reason()))
        return;
    QPointer<TMyCustomNumEdit> self(this);
    FValidating = true;
    const bool ok = ValidateText();
    if (!self)
        return;
    FValidating = false;
    if (ok) {
        FEntered = false;
        if (OnExit)
            OnExit(this);
        return;
    }
    // Rejected: the field keeps the focus until its text validates.
    if (!hasFocus())
        setFocus(Qt::OtherFocusReason);
}

void TMyCustomNumEdit::resizeEvent(QResizeEvent* Event) {
    QLineEdit::resizeEvent(Event);
    PlaceArrows();
}

QMenu* TMyCustomNumEdit::CreateContextMenu() {
    // Built here rather than taken from the base: its entries cannot be told
    // apart reliably, and it would advertise Ctrl+X and Ctrl+A, which this
    // field refuses.
    auto* menu = new QMenu(this);
    const bool editable = !isReadOnly();
    const bool selected = hasSelectedText();
    const bool allowed = PasteAllowed();
    auto add = [menu](const QString& text, const char* name, bool enabled) {
        QAction* action = menu->addAction(text);
        action->setObjectName(QLatin1String(name));
        action->setEnabled(enabled);
        return action;
    };
    connect(add(tr("&Undo"), "edit-undo", editable && isUndoAvailable()), &QAction::triggered, this,
            [this] {
                if (!isReadOnly())
                    undo();
            });
    menu->addSeparator();
    // Paste and cut check the gate again when they fire: the flags may change
    // while the menu is open.
    connect(add(tr("Cu&t"), "edit-cut", allowed && selected), &QAction::triggered, this, [this] {
        if (PasteAllowed())
            cut();
    });
    connect(add(tr("&Copy"), "edit-copy", selected), &QAction::triggered, this, [this] { copy(); });
    connect(add(tr("&Paste"), "edit-paste", allowed), &QAction::triggered, this, [this] {
        if (PasteAllowed())
            paste();
    });
    connect(add(tr("&Delete"), "edit-delete", editable && selected), &QAction::triggered, this,
            [this] {
                if (!isReadOnly() && hasSelectedText())
                    del();
            });
    menu->addSeparator();
    connect(add(tr("Select &All"), "select-all", !text().isEmpty()), &QAction::triggered, this,
            [this] { selectAll(); });
    return menu;
}

void TMyCustomNumEdit::contextMenuEvent(QContextMenuEvent* Event) {
    QMenu* menu = CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(Event->globalPos());
}

void TMyCustomNumEdit::mousePressEvent(QMouseEvent* Event) {
    FMouseEntry = false; // the press landed on the text itself
    QLineEdit::mousePressEvent(Event);
}

void TMyCustomNumEdit::mouseReleaseEvent(QMouseEvent* Event) {
    // The middle button pastes the selection on X11: a paste like any other.
    if (Event->button() == Qt::MiddleButton && !PasteAllowed()) {
        Event->accept();
        return;
    }
    QLineEdit::mouseReleaseEvent(Event);
}
