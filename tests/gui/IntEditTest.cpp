// The integer field's value model: limits, clamping, parsing, validation,
// colours and change notifications. No focus or window activation needed.
#include "gui/uIntEdit.h"
#include "platform/MessageBox.h"
#include "support/MessageRecorder.h"

#include <QTest>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

namespace {

constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();

class CountingIntEdit : public TIntEdit {
public:
    using TIntEdit::TIntEdit;
    int Beeps = 0;

protected:
    void Beep() override { ++Beeps; }
};

QColor TextColor(const QWidget& w) {
    return w.palette().color(QPalette::Active, QPalette::Text);
}

} // namespace

TEST(IntEdit, NewFieldShowsZeroInBlackWithItsDefaults) {
    TIntEdit edit;
    EXPECT_EQ(edit.text(), "0");
    EXPECT_EQ(edit.Value(), 0);
    EXPECT_EQ(edit.MinValue(), 0);
    EXPECT_EQ(edit.MaxValue(), 100);
    EXPECT_EQ(edit.Increment(), 1);
    EXPECT_EQ(edit.PageMult(), 10);
    EXPECT_EQ(edit.ShowName(), "Hodnota");
    EXPECT_TRUE(edit.AutoCorrect());
    EXPECT_FALSE(edit.FailureBeep());
    EXPECT_TRUE(edit.EditorEnabled());
    EXPECT_TRUE(edit.Colored());
    EXPECT_TRUE(edit.UpDownEnable());
    EXPECT_TRUE(edit.AutoSelect());
    EXPECT_FALSE(edit.isReadOnly());
    EXPECT_EQ(TextColor(edit), QColor(0, 0, 0));
}

TEST(IntEdit, ValueIsClampedIntoTheLimits) {
    TIntEdit edit;
    edit.SetValue(150);
    EXPECT_EQ(edit.Value(), 100);
    EXPECT_EQ(edit.text(), "100");
    edit.SetValue(-5);
    EXPECT_EQ(edit.Value(), 0);
    EXPECT_EQ(edit.text(), "0");
    edit.SetValue(kMin32);
    EXPECT_EQ(edit.Value(), 0);
    edit.SetValue(kMax32);
    EXPECT_EQ(edit.Value(), 100);
}

TEST(IntEdit, LimitsThatCrossArePinnedAndReclampTheValue) {
    TIntEdit edit;
    edit.SetValue(50);
    edit.SetMinValue(200);
    EXPECT_EQ(edit.MinValue(), 100);
    EXPECT_EQ(edit.Value(), 100);
    EXPECT_EQ(edit.text(), "100");

    TIntEdit other;
    other.SetMaxValue(-1);
    EXPECT_EQ(other.MaxValue(), 0);
    EXPECT_EQ(other.MinValue(), 0);

    // Narrowing re-clamps; widening again does not bring the old value back.
    TIntEdit third;
    third.SetValue(50);
    third.SetMaxValue(20);
    EXPECT_EQ(third.Value(), 20);
    third.SetMaxValue(100);
    EXPECT_EQ(third.Value(), 20);
    third.SetMinValue(-10);
    third.SetValue(-7);
    EXPECT_EQ(third.text(), "-7");
}

TEST(IntEdit, IncrementIgnoresZeroAndNegatives) {
    TIntEdit edit;
    edit.SetIncrement(5);
    edit.SetIncrement(0);
    EXPECT_EQ(edit.Increment(), 5);
    edit.SetIncrement(-3);
    EXPECT_EQ(edit.Increment(), 5);
    edit.SetIncrement(kMin32);
    EXPECT_EQ(edit.Increment(), 5);
}

TEST(IntEdit, ParseTextAcceptsWholeDecimalAndHexNumbersOnly) {
    struct Case {
        const char* text;
        bool ok;
        std::int32_t candidate;
    };
    const Case cases[] = {
        {"12", true, 12},
        {"   -7", true, -7},
        {"+8", true, 8},
        {"007", true, 7},
        {"$1F", true, 31},
        {"x10", true, 16},
        {"X10", true, 16},
        {"0x1f", true, 31},
        {"0X10", true, 16},
        {"-$10", true, -16},
        {"2147483647", true, kMax32},
        {"-2147483648", true, kMin32},
        {"$7FFFFFFF", true, kMax32},
        // Out of range: the candidate saturates.
        {"2147483648", false, kMax32},
        {"-2147483649", false, kMin32},
        {"$FFFFFFFF", false, kMax32},
        {"99999999999999999999999999999", false, kMax32},
        {"-99999999999999999999999999999", false, kMin32},
        // 2^64 + 5: a magnitude that wrapped around would read as 5.
        {"18446744073709551621", false, kMax32},
        // Malformed: the digits read so far, with their sign.
        {"12a", false, 12},
        {"-12a", false, -12},
        {"12 ", false, 12},
        {"1-", false, 1},
        {"", false, 0},
        {" ", false, 0},
        {"-", false, 0},
        {"--5", false, 0},
        {"+", false, 0},
        {"$", false, 0},
        {"0x", false, 0},
        {"0xg", false, 0},
        {"1.5", false, 1},
        {"\t5", false, 0},
    };
    for (const Case& c : cases) {
        std::int32_t candidate = 12345;
        EXPECT_EQ(TIntEdit::ParseText(QString::fromUtf8(c.text), candidate), c.ok) << c.text;
        EXPECT_EQ(candidate, c.candidate) << c.text;
    }
}

TEST(IntEdit, ColoursFollowTheSignUntilColoredIsSwitchedOff) {
    TIntEdit edit;
    edit.SetMinValue(-10);
    edit.SetValue(-1);
    EXPECT_EQ(TextColor(edit), QColor(0x80, 0, 0));
    edit.SetValue(0);
    EXPECT_EQ(TextColor(edit), QColor(0, 0, 0));
    edit.SetValue(1);
    EXPECT_EQ(TextColor(edit), QColor(0, 0, 0x80));

    edit.SetColored(false);
    EXPECT_EQ(TextColor(edit), QColor(0, 0, 0));
    for (int v : {-1, 0, 5, -9}) {
        edit.SetValue(v);
        EXPECT_EQ(TextColor(edit), QColor(0, 0, 0)) << v;
    }
    edit.SetColored(true);
    EXPECT_EQ(TextColor(edit), QColor(0x80, 0, 0));
}

TEST(IntEdit, OnChangeFiresExactlyWhenTheShownTextChanges) {
    TIntEdit edit;
    int changes = 0;
    int emitted = 0;
    QObject* sender = nullptr;
    edit.OnChange = [&](QObject* s) {
        ++changes;
        sender = s;
    };
    QObject::connect(&edit, &TMyCustomNumEdit::Changed, [&] { ++emitted; });

    edit.SetValue(5);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(sender, &edit);
    edit.SetValue(5);
    edit.SetMinValue(-3); // value stays 5: same text
    edit.SetColored(false);
    EXPECT_EQ(changes, 1);
    edit.SetValue(500);
    EXPECT_EQ(changes, 2);
    edit.SetMaxValue(50);
    EXPECT_EQ(edit.text(), "50");
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(emitted, changes);
}

TEST(IntEdit, ValidationAcceptsCorrectsOrReports) {
    MessageRecorder boxes;
    {
        // One-number range: no range test, the setter pins the value.
        TIntEdit edit;
        edit.SetMinValue(7);
        edit.SetMaxValue(7);
        edit.SetAutoCorrect(false);
        edit.setText("500");
        EXPECT_TRUE(edit.ValidateText());
        EXPECT_EQ(edit.text(), "7");
        EXPECT_EQ(edit.Value(), 7);
    }
    {
        TIntEdit edit;
        edit.setText("12a");
        EXPECT_TRUE(edit.ValidateText());
        EXPECT_EQ(edit.text(), "12");
        edit.setText("");
        EXPECT_TRUE(edit.ValidateText());
        EXPECT_EQ(edit.text(), "0");
        edit.SetMaxValue(10);
        edit.SetMinValue(5);
        edit.setText("");
        EXPECT_TRUE(edit.ValidateText());
        EXPECT_EQ(edit.text(), "5");
        edit.setText("-");
        EXPECT_TRUE(edit.ValidateText());
        EXPECT_EQ(edit.text(), "5");
        edit.setText("-12a"); // keeps its sign, then clamped
        EXPECT_TRUE(edit.ValidateText());
        EXPECT_EQ(edit.text(), "5");
    }
    {
        // Numbers too long for 32 bits end clamped into the limits.
        TIntEdit edit;
        edit.SetMinValue(-50);
        edit.SetMaxValue(50);
        edit.setText("99999999999");
        EXPECT_TRUE(edit.ValidateText());
        EXPECT_EQ(edit.Value(), 50);
        edit.setText("-99999999999999999999");
        EXPECT_TRUE(edit.ValidateText());
        EXPECT_EQ(edit.Value(), -50);
    }
    EXPECT_TRUE(boxes.Seen.empty());
}

TEST(IntEdit, RejectedTextShowsTheRangeMessageAndKeepsTheValue) {
    MessageRecorder boxes;
    TIntEdit edit;
    edit.SetShowName("Value");
    edit.SetAutoCorrect(false);
    edit.SetValue(30);
    edit.setText("500");
    EXPECT_FALSE(edit.ValidateText());
    ASSERT_EQ(boxes.Seen.size(), 1u);
    EXPECT_EQ(boxes.Seen[0].Text, QString::fromUtf8("Value musí být v rozmezí od 0 do 100!"));
    EXPECT_EQ(boxes.Seen[0].Caption, "Confirm");
    EXPECT_EQ(boxes.Seen[0].Icon, platform::MsgIcon::Question);
    EXPECT_EQ(boxes.Seen[0].Buttons, platform::MsgButtons::Ok);
    EXPECT_EQ(edit.Value(), 30);
    EXPECT_EQ(edit.text(), "500");
    EXPECT_EQ(edit.selectedText(), "500");

    edit.setText("50");
    EXPECT_TRUE(edit.ValidateText());
    EXPECT_EQ(edit.Value(), 50);
    EXPECT_EQ(boxes.Seen.size(), 1u);

    // A name with a placeholder in it is shown as it is.
    edit.SetShowName("A%2");
    edit.SetMinValue(-5);
    edit.setText("x");
    EXPECT_FALSE(edit.ValidateText());
    ASSERT_EQ(boxes.Seen.size(), 2u);
    EXPECT_EQ(boxes.Seen[1].Text, QString::fromUtf8("A%2 musí být v rozmezí od -5 do 100!"));
}

TEST(IntEdit, FailureBeepSoundsOncePerFailedValidationOnly) {
    MessageRecorder boxes;
    CountingIntEdit edit;
    edit.setText("500");
    EXPECT_TRUE(edit.ValidateText());
    EXPECT_EQ(edit.Beeps, 0); // off by default

    edit.SetFailureBeep(true);
    edit.setText("40");
    EXPECT_TRUE(edit.ValidateText());
    EXPECT_EQ(edit.Beeps, 0);
    edit.setText("500");
    EXPECT_TRUE(edit.ValidateText());
    EXPECT_EQ(edit.Beeps, 1);
    edit.setText("4x");
    EXPECT_TRUE(edit.ValidateText());
    EXPECT_EQ(edit.Beeps, 2);
    edit.SetAutoCorrect(false);
    edit.setText("-1");
    EXPECT_FALSE(edit.ValidateText());
    EXPECT_EQ(edit.Beeps, 3);
    EXPECT_EQ(boxes.Seen.size(), 1u);
}

TEST(IntEdit, StepsBeyondThe32BitRangeEndClampedAtTheLimits) {
    TIntEdit edit;
    edit.SetMaxValue(kMax32);
    edit.SetMinValue(kMin32);
    edit.SetIncrement(kMax32);
    edit.SetPageMult(65535);
    edit.SetValue(kMax32 - 1);
    QTest::keyClick(&edit, Qt::Key_PageUp, Qt::ControlModifier);
    EXPECT_EQ(edit.Value(), kMax32);
    QTest::keyClick(&edit, Qt::Key_PageUp, Qt::ControlModifier);
    EXPECT_EQ(edit.Value(), kMax32);
    edit.SetValue(kMin32 + 1);
    QTest::keyClick(&edit, Qt::Key_PageDown, Qt::ControlModifier);
    EXPECT_EQ(edit.Value(), kMin32);
    QTest::keyClick(&edit, Qt::Key_Down);
    EXPECT_EQ(edit.Value(), kMin32);
    EXPECT_EQ(edit.text(), "-2147483648");

    // A step over a number too long to parse starts from the stored value.
    TIntEdit small;
    small.SetValue(7);
    small.setText("99999999999");
    QTest::keyClick(&small, Qt::Key_Up);
    EXPECT_EQ(small.Value(), 8);
}
