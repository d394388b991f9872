// Number and date formats of the process locale, captured once at start-up.
//
// The program formats temperatures, log dates and times with these values and
// never with the global C locale, so that a later setlocale() elsewhere (Qt
// calls it too) cannot change what is written to the logs or sent to the
// server. Tests construct a FormatSettings directly and install it with
// SetCurrent(). Current()/SetCurrent() are meant for the main thread; the
// value itself is immutable once captured and may be copied anywhere.
#pragma once

#include <QDateTime>
#include <QString>
#include <string>
#include <string_view>

namespace platform {

struct FormatSettings {
    QString DecimalSeparator = QStringLiteral(".");
    QString ThousandSeparator;                // empty: no grouping
    std::string ShortDateFormat = "%m/%d/%y"; // strftime format (nl_langinfo(D_FMT))
    std::string LongTimeFormat = "%H:%M:%S";  // strftime format (nl_langinfo(T_FMT))

    // Reads localeconv() and nl_langinfo() of the process locale as it is now
    // (call after setlocale(LC_ALL, "")).
    static FormatSettings FromProcessLocale();

    // The process-wide value. Before the first SetCurrent() it is the
    // built-in default above (the C locale's formats).
    static const FormatSettings& Current();
    static void SetCurrent(const FormatSettings& settings);

    // The temperature text: thousands separators, exactly one decimal place,
    // at most 10 significant digits ("25,6", "1 234,5", "-100,0").
    QString FormatTemperature(long double value) const;

    // Converts a decimal number written with the locale's decimal separator
    // (no thousands separators, optional leading '-' or '+', optional
    // exponent). The whole text must form the number; an empty text, a lone
    // sign or any stray character fails. Returns false on failure and leaves
    // `out` unchanged.
    bool TextToFloat(std::string_view text, long double& out) const;

    QString FormatShortDate(const QDateTime& when) const;
    QString FormatLongTime(const QDateTime& when) const;
};

// A date text made usable inside a file name: '/', '\\' and NUL become '-'
// ("12/07/2026" -> "12-07-2026").
QString FileSafeDate(QString date);

} // namespace platform
