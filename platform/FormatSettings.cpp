#include "platform/FormatSettings.h"

#include <QDate>
#include <QTime>
#include <algorithm>
#include <array>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <langinfo.h>
#include <vector>

namespace platform {
namespace {

FormatSettings& current() {
    static FormatSettings settings;
    return settings;
}

// Exact powers of ten: every 10^k with k <= 27 fits the 64-bit mantissa of
// long double, so one multiplication or division by it rounds correctly.
constexpr int kExactPow10 = 27;
long double pow10Exact(int k) {
    static const auto table = [] {
        std::array<long double, kExactPow10 + 1> t{};
        t[0] = 1.0L;
        for (int i = 1; i <= kExactPow10; ++i)
            t[i] = t[i - 1] * 10.0L;
        return t;
    }();
    return table[k];
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

QString formatTime(const std::string& format, const QDateTime& when) {
    if (format.empty())
        return {};
    const QDate d = when.date();
    const QTime t = when.time();
    std::tm tm{};
    tm.tm_year = d.year() - 1900;
    tm.tm_mon = d.month() - 1;
    tm.tm_mday = d.day();
    tm.tm_hour = t.hour();
    tm.tm_min = t.minute();
    tm.tm_sec = t.second();
    tm.tm_wday = d.dayOfWeek() % 7;
    tm.tm_yday = d.dayOfYear() - 1;
    tm.tm_isdst = -1;
    // Names (%a, %b, %p) come from LC_TIME of the process locale, which is
    // the locale these formats were captured from.
    std::vector<char> buffer(128);
    for (int attempt = 0; attempt < 6; ++attempt) {
        const std::size_t n = std::strftime(buffer.data(), buffer.size(), format.c_str(), &tm);
        if (n > 0)
            return QString::fromLocal8Bit(buffer.data(), static_cast<qsizetype>(n));
        buffer.resize(buffer.size() * 4);
    }
    return {}; // a format whose output is empty
}

} // namespace

FormatSettings FormatSettings::FromProcessLocale() {
    FormatSettings s;
    if (const std::lconv* lc = std::localeconv()) {
        const QString dec = QString::fromLocal8Bit(lc->decimal_point);
        s.DecimalSeparator = dec.isEmpty() ? QStringLiteral(".") : dec;
        s.ThousandSeparator = QString::fromLocal8Bit(lc->thousands_sep);
    }
    if (const char* df = nl_langinfo(D_FMT); df && *df)
        s.ShortDateFormat = df;
    if (const char* tf = nl_langinfo(T_FMT); tf && *tf)
        s.LongTimeFormat = tf;
    return s;
}

const FormatSettings& FormatSettings::Current() {
    return current();
}
void FormatSettings::SetCurrent(const FormatSettings& settings) {
    current() = settings;
}

QString FormatSettings::FormatTemperature(long double value) const {
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");

    constexpr int kPrecision = 10; // significant digits
    constexpr int kDecimals = 1;
    const bool negative = std::signbit(value);
    const long double magnitude = std::fabs(value);

    // Decimal digits of the value: 21 significant digits are more than long
    // double holds, so rounding them below is rounding the value itself. The
    // C library may print the point as the global locale's character, so
    // only digits and the exponent are taken from the text.
    char text[64];
    std::snprintf(text, sizeof text, "%.20Le", magnitude);
    std::vector<int> digits;
    int exponent = 0;
    {
        const char* p = text;
        for (; *p && *p != 'e'; ++p)
            if (isDigit(*p))
                digits.push_back(*p - '0');
        if (*p == 'e')
            exponent = std::atoi(p + 1);
    }
    // digits[0] stands at 10^exponent. Round once, half away from zero, at
    // the position that leaves both at most kPrecision significant digits and
    // at most kDecimals decimals.
    int keep = std::min(kPrecision, exponent + 1 + kDecimals);
    if (magnitude == 0)
        keep = -1;
    std::vector<int> kept;
    if (keep >= 0) {
        kept.assign(digits.begin(), digits.begin() + keep);
        if (digits[keep] >= 5) {
            int i = keep - 1;
            for (; i >= 0; --i) {
                if (++kept[i] < 10)
                    break;
                kept[i] = 0;
            }
            if (i < 0) { // carried out of the first digit: 9.99 -> 10.0
                kept.insert(kept.begin(), 1);
                ++exponent;
            }
        }
    }
    // Trim the rounded digits to the precision again after a carry.
    if (static_cast<int>(kept.size()) > kPrecision)
        kept.resize(kPrecision);
    bool allZero = true;
    for (int d : kept)
        allZero = allZero && d == 0;
    if (kept.empty() || allZero) {
        kept.clear();
        exponent = 0;
    }

    QString out;
    if (negative && !kept.empty())
        out += QLatin1Char('-');

    const int intDigits = kept.empty() ? 1 : exponent + 1;
    if (intDigits > kPrecision) {
        // Too large for fixed notation with this precision: d,dddE+NN.
        while (kept.size() > 1 && kept.back() == 0)
            kept.pop_back();
        out += QChar(u'0' + kept[0]);
        if (kept.size() > 1) {
            out += DecimalSeparator;
            for (std::size_t i = 1; i < kept.size(); ++i)
                out += QChar(u'0' + kept[i]);
        }
        out += QStringLiteral("E+") + QString::number(exponent);
        return out;
    }
    // Digit at decimal position p (p = 0 units, p = -1 tenths, p > 0 tens...).
    auto digitAt = [&](int p) -> int {
        const int index = exponent - p;
        if (kept.empty() || index < 0 || index >= static_cast<int>(kept.size()))
            return 0;
        return kept[index];
    };
    const int top = std::max(intDigits, 1) - 1;
    for (int p = top; p >= 0; --p) {
        out += QChar(u'0' + digitAt(p));
        if (p > 0 && p % 3 == 0)
            out += ThousandSeparator;
    }
    out += DecimalSeparator;
    for (int p = -1; p >= -kDecimals; --p)
        out += QChar(u'0' + digitAt(p));
    return out;
}

namespace {

// A number as TextToFloat reads it: [sign] digits [separator digits]
// [e|E [sign] digits]. Up to 19 significant digits are collected exactly;
// value = Mantissa * 10^(Scale + Exp10).
struct ScannedNumber {
    bool Negative = false;
    std::size_t NumberStart = 0;                // after the sign
    std::size_t SepAt = std::string_view::npos; // where the separator stands
    std::uint64_t Mantissa = 0;
    int Significant = 0;
    int Scale = 0;
    bool AnyDigit = false;
    bool ExactMantissa = true; // no non-zero digit beyond the 19th
    int Exp10 = 0;

    void TakeDigit(char c, bool fraction) {
        AnyDigit = true;
        if (Significant == 0 && c == '0') {
            if (fraction)
                --Scale;
            return;
        }
        if (Significant < 19) {
            Mantissa = Mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            ++Significant;
            if (fraction)
                --Scale;
        } else {
            if (c != '0')
                ExactMantissa = false;
            if (!fraction)
                ++Scale;
        }
    }
};

// Reads the whole of `text` as a number with the separator `sep`; false
// when it is not one.
bool scanNumber(std::string_view text, std::string_view sep, ScannedNumber& n) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        n.Negative = text[i] == '-';
        ++i;
    }
    n.NumberStart = i;
    for (; i < text.size() && isDigit(text[i]); ++i)
        n.TakeDigit(text[i], false);
    if (!sep.empty() && text.substr(i, sep.size()) == sep) {
        n.SepAt = i;
        i += sep.size();
        for (; i < text.size() && isDigit(text[i]); ++i)
            n.TakeDigit(text[i], true);
    }
    if (!n.AnyDigit)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool expNegative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            expNegative = text[i] == '-';
            ++i;
        }
        const std::size_t start = i;
        long long e = 0;
        for (; i < text.size() && isDigit(text[i]); ++i)
            if (e < 100000)
                e = e * 10 + (text[i] - '0');
        if (i == start)
            return false;
        n.Exp10 = expNegative ? static_cast<int>(-e) : static_cast<int>(e);
    }
    return i == text.size();
}

// Long or extreme numbers: the library's correctly rounded conversion, on a
// copy with '.' as the point (from_chars ignores the C locale).
bool convertByLibrary(std::string_view text, std::string_view sep, const ScannedNumber& n,
                      long double& out) {
    std::string normalized;
    normalized.reserve(text.size() + 1);
    if (n.Negative)
        normalized += '-';
    for (std::size_t k = n.NumberStart; k < text.size(); ++k) {
        if (k == n.SepAt) {
            normalized += '.';
            k += sep.size() - 1;
        } else {
            normalized += text[k];
        }
    }
    long double v = 0;
    const char* first = normalized.data();
    const char* last = first + normalized.size();
    const auto result = std::from_chars(first, last, v);
    if (result.ec != std::errc() || result.ptr != last)
        return false;
    out = v;
    return true;
}

} // namespace

bool FormatSettings::TextToFloat(std::string_view text, long double& out) const {
    // The separator as bytes. A one-character ASCII separator (the usual
    // case) needs no conversion, which keeps this free of allocations.
    char sepChar[1];
    QByteArray sepBytes;
    std::string_view sep;
    if (DecimalSeparator.size() == 1 && DecimalSeparator[0].unicode() < 0x80) {
        sepChar[0] = static_cast<char>(DecimalSeparator[0].unicode());
        sep = std::string_view(sepChar, 1);
    } else {
        sepBytes = DecimalSeparator.toLocal8Bit();
        sep = std::string_view(sepBytes.constData(), static_cast<std::size_t>(sepBytes.size()));
    }

    ScannedNumber n;
    if (!scanNumber(text, sep, n))
        return false;
    const int totalScale = n.Scale + n.Exp10;
    if (!n.ExactMantissa || totalScale < -kExactPow10 || totalScale > kExactPow10)
        return convertByLibrary(text, sep, n, out);
    long double v = static_cast<long double>(n.Mantissa);
    if (totalScale < 0)
        v /= pow10Exact(-totalScale);
    else
        v *= pow10Exact(totalScale);
    out = n.Negative ? -v : v;
    return true;
}

QString FormatSettings::FormatShortDate(const QDateTime& when) const {
    return formatTime(ShortDateFormat, when);
}

QString FormatSettings::FormatLongTime(const QDateTime& when) const {
    return formatTime(LongTimeFormat, when);
}

QString FileSafeDate(QString date) {
    for (QChar& c : date)
        if (c == u'/' || c == u'\\' || c == QChar(u'\0'))
            c = u'-';
    return date;
}

} // namespace platform
