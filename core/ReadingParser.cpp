#include "core/ReadingParser.h"

#include "platform/FormatSettings.h"

#include <cstring>
#include <string_view>

namespace {

bool isNumberChar(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == ',' || c == '.';
}

bool isSign(char c) {
    return c == '+' || c == '-';
}

// No thermometer reads below absolute zero or needs five digits before the
// point; such a number is line noise (a run of digits, a wrong baud rate)
// and must not reach the uploads or the logs as a temperature.
constexpr long double kAbsoluteZero = -273.15L;
constexpr int kMaxIntegerDigits = 4;

// Number holds only "-0123456789" and one decimal separator here (it has
// converted); the digits before the separator count without leading zeros.
bool isPossibleReading(std::string_view number, long double value) {
    if (value < kAbsoluteZero)
        return false;
    std::size_t i = 0;
    while (i < number.size() && number[i] == '-')
        ++i;
    while (i < number.size() && number[i] == '0')
        ++i;
    int digits = 0;
    for (; i < number.size() && number[i] >= '0' && number[i] <= '9'; ++i)
        if (++digits > kMaxIntegerDigits)
            return false;
    return true;
}

} // namespace

// One pass, each byte looked at a constant number of times; a failed line
// is over at its CR like any other and never holds up the lines after it.
TParseResult TReadingParser::Parse(std::string& Text, const platform::FormatSettings& Formats,
                                   const std::function<void(long double)>& OnReading) {
    char from = 0, to = 0;
    if (Formats.DecimalSeparator == QStringLiteral(",")) {
        from = '.';
        to = ',';
    } else if (Formats.DecimalSeparator == QStringLiteral(".")) {
        from = ',';
        to = '.';
    }

    TParseResult result;
    const char* const data = Text.data();
    const std::size_t size = Text.size();
    std::size_t pos = 0; // everything before pos is judged
    std::string number;
    while (pos < size) {
        const void* found = std::memchr(data + pos, '\r', size - pos);
        if (!found)
            break;
        const std::size_t cr = static_cast<std::size_t>(static_cast<const char*>(found) - data);
        std::size_t start = pos;
        pos = cr + 1;
        ++result.Lines;
        result.LastFailed = true;
        if (DiscardToNextCR_) {
            DiscardToNextCR_ = false;
            continue;
        }
        while (start < cr && !isSign(data[start]))
            ++start;
        if (start == cr)
            continue;
        if (data[start] == '+')
            ++start;
        std::size_t end = start;
        while (end < cr && isNumberChar(data[end]))
            ++end;
        number.assign(data + start, end - start);
        if (from)
            for (char& c : number)
                if (c == from)
                    c = to;
        long double value = 0;
        if (!Formats.TextToFloat(number, value) || !isPossibleReading(number, value))
            continue;
        result.LastFailed = false;
        result.LastValue = value;
        ++result.Converted;
        if (OnReading)
            OnReading(value);
    }

    Text.erase(0, pos);
    if (Text.size() > RemainderLimit) {
        const std::size_t drop = Text.size() - RemainderLimit;
        DiscardToNextCR_ = true;
        Text.erase(0, drop);
    }
    return result;
}

bool TReadingParser::ReadingInProgress(const std::string& Text) {
    const std::size_t cr = Text.rfind('\r');
    const std::size_t from = cr == std::string::npos ? 0 : cr + 1;
    return Text.find_first_of("+-", from) != std::string::npos;
}
