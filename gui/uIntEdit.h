// The integer entry field: a 32-bit signed value kept between a lower and an
// upper limit, stepped by an increment (times ten with Control, times the
// page multiplier for Page Up/Down). While the user types, Value keeps the
// last accepted number; the text is taken up by validation (Enter, leaving
// the field) or at the start of a step.
//
// Main (GUI) thread only.
#pragma once

#include "gui/uCustomNumEdit.h"

#include <QColor>
#include <cstdint>

class TIntEdit : public TMyCustomNumEdit {
    Q_OBJECT
public:
    explicit TIntEdit(QWidget* Parent = nullptr);

    // The last accepted number, not the text being typed.
    std::int32_t Value() const { return FValue; }
    // Clamps into MinValue..MaxValue, stores and shows it.
    void SetValue(std::int32_t Value);
    std::int32_t MinValue() const { return FMinValue; }
    // A minimum above the maximum is stored as the maximum.
    void SetMinValue(std::int32_t Value);
    std::int32_t MaxValue() const { return FMaxValue; }
    // A maximum below the minimum is stored as the minimum.
    void SetMaxValue(std::int32_t Value);
    std::int32_t Increment() const { return FIncrement; }
    // Only values above 0 are taken; 0 and negatives are ignored.
    void SetIncrement(std::int32_t Value);
    std::uint16_t PageMult() const { return FPageMult; }
    void SetPageMult(std::uint16_t Value) { FPageMult = Value; }

    void StepValue(TUDBtnType Button, bool Page) override;
    void DisplayValue() override;
    bool ValidateText() override;

    // Parses a whole text as a 32-bit signed integer: leading spaces, an
    // optional sign, then decimal digits or hexadecimal ones after "$", "x",
    // "X", "0x" or "0X", and nothing after them. Returns false for anything
    // else, an empty text and a number outside the 32-bit range. Candidate is
    // the number on success; on failure it is the signed number of the digits
    // read before parsing stopped (0 if none), saturated to the 32-bit range.
    static bool ParseText(const QString& Text, std::int32_t& Candidate);

    // Text colours by sign of the value while Colored is set.
    static QColor NegativeColor() { return QColor(0x80, 0, 0); }
    static QColor ZeroColor() { return QColor(0, 0, 0); }
    static QColor PositiveColor() { return QColor(0, 0, 0x80); }

private:
    // Stores the value clamped into the limits (any 64-bit input) and shows it.
    void AssignValue(std::int64_t Value);
    void ReapplyValue() { AssignValue(FValue); }

    std::int32_t FValue = 0;
    std::int32_t FMaxValue = 100;
    std::int32_t FMinValue = 0;
    std::uint16_t FPageMult = 10;
    std::int32_t FIncrement = 1;
};
