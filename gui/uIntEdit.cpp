#include "gui/uIntEdit.h"

#include "gui/MessageParent.h"

#include <QPointer>
#include <algorithm>
#include <limits>

namespace {

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

int DigitValue(QChar Ch, int Base) {
    const char16_t c = Ch.unicode();
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (Base == 16) {
        if (c >= u'a' && c <= u'f')
            return c - u'a' + 10;
        if (c >= u'A' && c <= u'F')
            return c - u'A' + 10;
    }
    return -1;
}

} // namespace

TIntEdit::TIntEdit(QWidget* Parent) : TMyCustomNumEdit(Parent) {
    DisplayValue();
}

void TIntEdit::AssignValue(std::int64_t Value) {
    FValue = static_cast<std::int32_t>(std::clamp<std::int64_t>(Value, FMinValue, FMaxValue));
    DisplayValue();
}

void TIntEdit::SetValue(std::int32_t Value) {
    AssignValue(Value);
}

void TIntEdit::SetMinValue(std::int32_t Value) {
    FMinValue = Value > FMaxValue ? FMaxValue : Value;
    ReapplyValue();
}

void TIntEdit::SetMaxValue(std::int32_t Value) {
    FMaxValue = Value < FMinValue ? FMinValue : Value;
    ReapplyValue();
}

void TIntEdit::SetIncrement(std::int32_t Value) {
    if (Value > 0)
        FIncrement = Value;
}

bool TIntEdit::ParseText(const QString& Text, std::int32_t& Candidate) {
    const qsizetype n = Text.size();
    qsizetype i = 0;
    while (i < n && Text.at(i) == u' ')
        ++i;
    bool negative = false;
    if (i < n && (Text.at(i) == u'-' || Text.at(i) == u'+')) {
        negative = Text.at(i) == u'-';
        ++i;
    }
    int base = 10;
    if (i < n && (Text.at(i) == u'$' || Text.at(i) == u'x' || Text.at(i) == u'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && Text.at(i) == u'0' &&
               (Text.at(i + 1) == u'x' || Text.at(i + 1) == u'X')) {
        base = 16;
        i += 2;
    }
    // The magnitude stops growing once it is past every 32-bit value, so it
    // cannot overflow however many digits follow.
    constexpr std::uint64_t kCap = static_cast<std::uint64_t>(kInt32Max) + 2;
    std::uint64_t magnitude = 0;
    qsizetype digits = 0;
    for (; i < n; ++i) {
        const int d = DigitValue(Text.at(i), base);
        if (d < 0)
            break;
        magnitude = std::min<std::uint64_t>(magnitude * base + d, kCap);
        ++digits;
    }
    const std::int64_t signedValue =
        negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    const bool inRange = signedValue >= kInt32Min && signedValue <= kInt32Max;
    Candidate = static_cast<std::int32_t>(std::clamp(signedValue, kInt32Min, kInt32Max));
    return digits > 0 && i == n && inRange;
}

void TIntEdit::StepValue(TUDBtnType Button, bool Page) {
    // Take up text typed but not yet accepted before stepping from it.
    std::int32_t typed = 0;
    AssignValue(ParseText(text(), typed) ? typed : FValue);

    std::int64_t multiplier = ControlHeld() ? 10 : 1;
    if (Page)
        multiplier *= FPageMult;
    // At most 2^31 * 655350: no 64-bit overflow, and the result is clamped.
    const std::int64_t delta = static_cast<std::int64_t>(FIncrement) * multiplier;
    AssignValue(Button == btNext ? FValue + delta : FValue - delta);
}

void TIntEdit::DisplayValue() {
    if (Colored())
        SetFontColor(FValue < 0 ? NegativeColor() : FValue == 0 ? ZeroColor() : PositiveColor());
    setText(QString::number(FValue));
}

bool TIntEdit::ValidateText() {
    std::int32_t candidate = 0;
    const bool parsed = ParseText(text(), candidate);
    const bool outOfRange =
        FMinValue != FMaxValue && (candidate < FMinValue || candidate > FMaxValue);
    if (parsed && !outOfRange) {
        AssignValue(candidate);
        return true;
    }
    if (FailureBeep())
        Beep();
    if (AutoCorrect()) {
        AssignValue(candidate);
        return true;
    }
    platform::MessageRequest request;
    // One pass over the pattern, so a name holding "%2" stays as it is.
    request.Text = QStringLiteral("%1 musí být v rozmezí od %2 do %3!")
                       .arg(ShowName(), QString::number(FMinValue), QString::number(FMaxValue));
    request.Caption = QStringLiteral("Confirm");
    request.Icon = platform::MsgIcon::Question;
    request.Buttons = platform::MsgButtons::Ok;
    QPointer<TIntEdit> self(this);
    ShowMessageOver(this, request);
    if (self)
        ReclaimFocus();
    return false;
}
