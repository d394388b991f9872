#include "platform/FormatSettings.h"

#include <QDateTime>
#include <charconv>
#include <clocale>
#include <gtest/gtest.h>
#include <random>
#include <string>

using platform::FormatSettings;

namespace {

FormatSettings commaLocale() {
    FormatSettings s;
    s.DecimalSeparator = QStringLiteral(",");
    s.ThousandSeparator = QStringLiteral(" ");
    s.ShortDateFormat = "%d.%m.%Y";
    s.LongTimeFormat = "%H:%M:%S";
    return s;
}

FormatSettings pointLocale() {
    FormatSettings s;
    s.DecimalSeparator = QStringLiteral(".");
    s.ThousandSeparator = QStringLiteral(",");
    s.ShortDateFormat = "%m/%d/%y";
    s.LongTimeFormat = "%I:%M:%S %p";
    return s;
}

} // namespace

TEST(FormatTemperature, OneDecimalWithLocaleSeparators) {
    const FormatSettings c = commaLocale();
    EXPECT_EQ(c.FormatTemperature(25.6L), "25,6");
    EXPECT_EQ(c.FormatTemperature(-3.5L), "-3,5");
    EXPECT_EQ(c.FormatTemperature(-100.0L), "-100,0");
    EXPECT_EQ(c.FormatTemperature(0.0L), "0,0");
    EXPECT_EQ(c.FormatTemperature(1234.5L), "1 234,5");
    EXPECT_EQ(c.FormatTemperature(-1234567.25L), "-1 234 567,3");
    EXPECT_EQ(c.FormatTemperature(999.0L), "999,0");
    EXPECT_EQ(c.FormatTemperature(1000.0L), "1 000,0");
    const FormatSettings p = pointLocale();
    EXPECT_EQ(p.FormatTemperature(1234.5L), "1,234.5");
    EXPECT_EQ(p.FormatTemperature(25.6L), "25.6");
    FormatSettings noGrouping = commaLocale();
    noGrouping.ThousandSeparator.clear();
    EXPECT_EQ(noGrouping.FormatTemperature(1234567.5L), "1234567,5");
    FormatSettings nbsp = commaLocale();
    nbsp.ThousandSeparator = QString(QChar(0x00A0));
    EXPECT_EQ(nbsp.FormatTemperature(12345.0L), QStringLiteral("12\u00A0345,0"));
}

TEST(FormatTemperature, RoundsHalfAwayFromZeroAndCarries) {
    const FormatSettings c = commaLocale();
    EXPECT_EQ(c.FormatTemperature(0.25L), "0,3");
    EXPECT_EQ(c.FormatTemperature(-0.25L), "-0,3");
    EXPECT_EQ(c.FormatTemperature(9.96L), "10,0");
    EXPECT_EQ(c.FormatTemperature(999.96L), "1 000,0");
    EXPECT_EQ(c.FormatTemperature(0.04L), "0,0");
    // A negative value that rounds to zero shows no sign.
    EXPECT_EQ(c.FormatTemperature(-0.04L), "0,0");
    EXPECT_EQ(c.FormatTemperature(0.06L), "0,1");
    EXPECT_EQ(c.FormatTemperature(1e-30L), "0,0");
}

TEST(FormatTemperature, TenSignificantDigitsAtMost) {
    const FormatSettings c = commaLocale();
    // Nine integer digits leave room for the one decimal.
    EXPECT_EQ(c.FormatTemperature(123456789.06L), "123 456 789,1");
    // Ten integer digits use all the precision: the decimal is always 0.
    EXPECT_EQ(c.FormatTemperature(1234567890.4L), "1 234 567 890,0");
    EXPECT_EQ(c.FormatTemperature(1234567890.5L), "1 234 567 891,0");
    // More than ten integer digits cannot be shown in fixed notation.
    EXPECT_EQ(c.FormatTemperature(12345678901.0L), "1,23456789E+10");
    EXPECT_EQ(c.FormatTemperature(-5e20L), "-5E+20");
}

TEST(FormatTemperature, NonFiniteValues) {
    const FormatSettings c = commaLocale();
    EXPECT_EQ(c.FormatTemperature(std::numeric_limits<long double>::quiet_NaN()), "NAN");
    EXPECT_EQ(c.FormatTemperature(std::numeric_limits<long double>::infinity()), "INF");
    EXPECT_EQ(c.FormatTemperature(-std::numeric_limits<long double>::infinity()), "-INF");
}

TEST(TextToFloat, AcceptsNumbersWithTheLocaleSeparator) {
    const FormatSettings c = commaLocale();
    long double v = 0;
    ASSERT_TRUE(c.TextToFloat("025,6", v));
    EXPECT_EQ(v, 25.6L);
    ASSERT_TRUE(c.TextToFloat("-003,5", v));
    EXPECT_EQ(v, -3.5L);
    ASSERT_TRUE(c.TextToFloat("+7", v));
    EXPECT_EQ(v, 7.0L);
    ASSERT_TRUE(c.TextToFloat(",5", v));
    EXPECT_EQ(v, 0.5L);
    ASSERT_TRUE(c.TextToFloat("5,", v));
    EXPECT_EQ(v, 5.0L);
    ASSERT_TRUE(c.TextToFloat("1e3", v));
    EXPECT_EQ(v, 1000.0L);
    ASSERT_TRUE(c.TextToFloat("25E-1", v));
    EXPECT_EQ(v, 2.5L);
    ASSERT_TRUE(c.TextToFloat("-0", v));
    EXPECT_EQ(v, 0.0L);
    const FormatSettings p = pointLocale();
    ASSERT_TRUE(p.TextToFloat("025.6", v));
    EXPECT_EQ(v, 25.6L);
}

TEST(TextToFloat, RejectsAnythingButOneWholeNumber) {
    const FormatSettings c = commaLocale();
    long double v = 42;
    for (const char* bad :
         {"",   "-",   "+",  ",",   "-,", "1,2,3",   "1.5",  "12a", " 12", "12 ",     "--5",
          "5-", "1-2", "1e", "1e+", "e5", "1 234,5", "0x10", "nan", "inf", "1e99999", "-1e99999"}) {
        EXPECT_FALSE(c.TextToFloat(bad, v)) << '"' << bad << '"';
        EXPECT_EQ(v, 42) << "value changed by a failed conversion of \"" << bad << '"';
    }
    // The full-stop locale does not take a comma.
    EXPECT_FALSE(pointLocale().TextToFloat("25,6", v));
    // A separator that is neither comma nor full stop takes neither.
    FormatSettings other = commaLocale();
    other.DecimalSeparator = QString(QChar(0x066B));
    EXPECT_FALSE(other.TextToFloat("25,6", v));
    EXPECT_FALSE(other.TextToFloat("25.6", v));
    ASSERT_TRUE(other.TextToFloat(QStringLiteral("25\u066B6").toUtf8().toStdString(), v));
    EXPECT_EQ(v, 25.6L);
}

// The short-number path computes with exact powers of ten; every result must
// be the correctly rounded value, the same as the library's conversion.
TEST(TextToFloat, MatchesCorrectlyRoundedConversionOnRandomNumbers) {
    const FormatSettings p = pointLocale();
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<int> digitCount(1, 24), digit(0, 9), coin(0, 3);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        if (coin(rng) == 0)
            text += '-';
        const int intDigits = digitCount(rng) % 12;
        for (int k = 0; k < intDigits; ++k)
            text += static_cast<char>('0' + digit(rng));
        const int fracDigits = coin(rng) == 0 ? 0 : digitCount(rng);
        if (fracDigits || intDigits == 0) {
            text += '.';
            for (int k = 0; k < std::max(fracDigits, 1); ++k)
                text += static_cast<char>('0' + digit(rng));
        }
        if (coin(rng) == 0)
            text += "e" + std::to_string(digit(rng) * 7 - 30);
        long double expected = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), expected);
        ASSERT_EQ(r.ec, std::errc()) << text;
        long double got = 0;
        ASSERT_TRUE(p.TextToFloat(text, got)) << text;
        ASSERT_EQ(got, expected) << text;
    }
}

TEST(FormatDates, UseTheCapturedFormats) {
    const QDateTime when(QDate(2026, 7, 3), QTime(14, 5, 9));
    EXPECT_EQ(commaLocale().FormatShortDate(when), "03.07.2026");
    EXPECT_EQ(commaLocale().FormatLongTime(when), "14:05:09");
    EXPECT_EQ(pointLocale().FormatShortDate(when), "07/03/26");
    EXPECT_EQ(pointLocale().FormatLongTime(when), "02:05:09 PM");
    FormatSettings empty = commaLocale();
    empty.ShortDateFormat.clear();
    EXPECT_EQ(empty.FormatShortDate(when), "");
}

TEST(FormatDates, FileSafeDateReplacesPathCharacters) {
    EXPECT_EQ(platform::FileSafeDate(QStringLiteral("12/07/2026")), "12-07-2026");
    EXPECT_EQ(platform::FileSafeDate(QStringLiteral("12\\07\\26")), "12-07-26");
    QString withNul = QStringLiteral("a");
    withNul += QChar(u'\0');
    withNul += u'b';
    EXPECT_EQ(platform::FileSafeDate(withNul), "a-b");
    EXPECT_EQ(platform::FileSafeDate(QStringLiteral("03.07.2026")), "03.07.2026");
}

TEST(FormatSettingsCapture, ReadsTheProcessLocaleAndCanBeReplaced) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    const FormatSettings c = FormatSettings::FromProcessLocale();
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(c.DecimalSeparator, ".");
    EXPECT_EQ(c.ThousandSeparator, "");
    EXPECT_EQ(c.ShortDateFormat, "%m/%d/%y");
    EXPECT_EQ(c.LongTimeFormat, "%H:%M:%S");

    const FormatSettings before = FormatSettings::Current();
    FormatSettings::SetCurrent(commaLocale());
    EXPECT_EQ(FormatSettings::Current().FormatTemperature(1.25L), "1,3");
    FormatSettings::SetCurrent(before);
    EXPECT_EQ(FormatSettings::Current().DecimalSeparator, before.DecimalSeparator);
}
