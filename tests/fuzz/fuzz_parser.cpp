// The reading parser: arbitrary bytes cut into arrivals as the port hands
// them over. Checks: the text kept between arrivals holds no CR and stays
// within its bound; the readings and line counts do not depend on the cut;
// a value comes only from a complete line (the text after the last CR adds
// none, and neither does a line whose start was dropped by the bound); every
// value is finite and one a thermometer can send (-273.15 up to below 10000).
#include "FuzzCheck.h"
#include "core/ReadingParser.h"
#include "platform/FormatSettings.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

namespace {

// Byte counts through the C library: the kept text may hold 64 KiB, and the
// fuzzer's comparison hooks in inlined loops would make each look slow.
std::size_t CountOf(const std::string& s, char c) {
    std::size_t n = 0;
    for (const char *p = s.data(), *end = p + s.size();
         (p = static_cast<const char*>(std::memchr(p, c, end - p))); ++p)
        ++n;
    return n;
}

struct Outcome {
    std::vector<long double> Values;
    int Lines = 0;
    int Converted = 0;
    std::string Left;

    bool operator==(const Outcome& o) const {
        return Lines == o.Lines && Converted == o.Converted && Left == o.Left &&
               Values == o.Values; // finite values: == compares them exactly
    }
};

// Feeds the arrivals one by one to one parser, as the port would.
Outcome Feed(TReadingParser& parser, const std::vector<std::string>& arrivals,
             const platform::FormatSettings& formats) {
    Outcome out;
    std::string text;
    for (const std::string& arrival : arrivals) {
        text += arrival;
        const std::size_t crs = CountOf(text, '\r');
        const TParseResult r =
            parser.Parse(text, formats, [&](long double v) { out.Values.push_back(v); });
        FUZZ_CHECK(static_cast<std::size_t>(r.Lines) == crs);
        FUZZ_CHECK(r.Converted <= r.Lines);
        FUZZ_CHECK(CountOf(text, '\r') == 0);
        FUZZ_CHECK(text.size() <= TReadingParser::RemainderLimit);
        if (text.size() < 4096) // (its backward search is slow under the hooks)
            FUZZ_CHECK(TReadingParser::ReadingInProgress(text) ==
                       (CountOf(text, '+') + CountOf(text, '-') > 0));
        out.Lines += r.Lines;
        out.Converted += r.Converted;
    }
    for (const long double v : out.Values)
        FUZZ_CHECK(std::isfinite(v) && v >= -273.15L && v < 10000.0L);
    FUZZ_CHECK(static_cast<std::size_t>(out.Converted) == out.Values.size());
    out.Left = text;
    return out;
}

Outcome FeedFresh(const std::vector<std::string>& arrivals,
                  const platform::FormatSettings& formats) {
    TReadingParser parser;
    return Feed(parser, arrivals, formats);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    static const char* const kSeparators[] = {".", ",", "\xC2\xB7"};
    platform::FormatSettings formats;
    formats.DecimalSeparator = QString::fromUtf8(in.PickValueInArray(kSeparators));
    // A flood is slow to check, so only one input in eight brings one.
    const bool flood = in.ConsumeIntegral<std::uint8_t>() % 8 == 7;
    const std::string stream = in.ConsumeRandomLengthString();
    std::vector<std::string> arrivals;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = in.remaining_bytes() > 0 ? 1 + in.ConsumeIntegral<std::uint8_t>() % 64
                                                       : stream.size() - at;
        arrivals.push_back(stream.substr(at, n));
        at += n;
    }

    const Outcome whole = FeedFresh({stream}, formats);
    FUZZ_CHECK(FeedFresh(arrivals, formats) == whole);

    // The text after the last CR gives nothing.
    const std::size_t lastCr = stream.rfind('\r');
    const std::string complete = lastCr == std::string::npos ? "" : stream.substr(0, lastCr + 1);
    const Outcome upToLastCr = FeedFresh({complete}, formats);
    FUZZ_CHECK(upToLastCr.Values == whole.Values);

    if (flood) {
        // More than the bound without a CR, then the stream: the line that
        // lost its start fails, and from its CR on everything is as usual.
        std::string junk = stream;
        std::replace(junk.begin(), junk.end(), '\r', '+');
        if (junk.empty())
            junk = "+1";
        std::string big;
        big.reserve(TReadingParser::RemainderLimit + 2 * junk.size());
        while (big.size() <= TReadingParser::RemainderLimit)
            big.append(junk.size() < 256 ? junk : junk.substr(0, 256));
        TReadingParser parser;
        // (The stream in one piece: each arrival costs a look at the whole
        // kept text, and the cut is checked above.)
        const Outcome afterFlood = Feed(parser, {big, big.substr(0, 100), stream}, formats);
        const std::size_t firstCr = stream.find('\r');
        const Outcome rest =
            FeedFresh({firstCr == std::string::npos ? "" : stream.substr(firstCr + 1)}, formats);
        if (firstCr != std::string::npos) {
            FUZZ_CHECK(afterFlood.Lines == rest.Lines + 1);
            FUZZ_CHECK(afterFlood.Converted == rest.Converted);
            FUZZ_CHECK(afterFlood.Left == rest.Left);
        } else {
            FUZZ_CHECK(afterFlood.Lines == 0);
        }
    }
    return 0;
}
