// The thermometer's line protocol: received text in, readings out.
//
// A complete line is the text up to a CR. Its reading starts at the first
// sign ('+' or '-') in the line; a '+' is dropped, a '-' belongs to the
// number; the number is the run of "-0123456789,." that follows, read with
// '.' and ',' both taken as the locale's decimal separator. A line with no
// sign, whose number does not convert, or whose number no thermometer can
// send (below -273.15, or more than four digits before the decimal point,
// leading zeros aside) gives no reading. Each line is
// judged by its own bytes alone, so how the stream was cut into arrivals
// never changes a result. Pure computation; use from one thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace platform {
struct FormatSettings;
}

// What one pass over the received text found.
struct TParseResult {
    int Lines = 0;             // complete lines judged
    int Converted = 0;         // of these, the lines that gave a reading
    bool LastFailed = false;   // the last complete line gave no reading
    long double LastValue = 0; // the last reading converted (when Converted > 0)
};

class TReadingParser {
public:
    // Text after the last CR is cut to this many bytes (the oldest go), so a
    // device that never sends CR cannot grow it without end.
    static constexpr std::size_t RemainderLimit = 64 * 1024;

    // Judges every complete line at the front of Text and erases it; what is
    // left is the text after the last CR, waiting for its CR. OnReading, when
    // given, sees every converted value in stream order.
    TParseResult Parse(std::string& Text, const platform::FormatSettings& Formats,
                       const std::function<void(long double)>& OnReading = {});

    // Forgets a line cut by the size bound (a new link starts clean).
    void Reset() { DiscardToNextCR_ = false; }

    // True when the text after the last CR holds a sign: a reading on its
    // way. Line feeds or other bytes without a sign are not one.
    static bool ReadingInProgress(const std::string& Text);

private:
    // The remainder outgrew the bound: its line lost its start, so the text
    // up to and including the next CR is a failed line whatever it holds.
    bool DiscardToNextCR_ = false;
};
