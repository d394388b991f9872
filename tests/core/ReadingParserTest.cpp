// The reading parser on its own: text in, results out, formats given.
#include "core/ReadingParser.h"
#include "platform/FormatSettings.h"
#include "support/Formats.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

using platform::FormatSettings;

namespace {

FormatSettings pointLocale() {
    FormatSettings s;
    s.ThousandSeparator = QStringLiteral(",");
    return s;
}

struct Fed {
    TParseResult Result;
    std::vector<long double> Readings;
};

Fed feed(TReadingParser& parser, std::string& text, const std::string& bytes,
         const FormatSettings& fs) {
    Fed fed;
    text += bytes;
    fed.Result = parser.Parse(text, fs, [&](long double v) { fed.Readings.push_back(v); });
    return fed;
}

} // namespace

TEST(ReadingParser, ReadsSignedNumbersInEitherSeparator) {
    TReadingParser parser;
    std::string text;
    for (const FormatSettings& fs : {CommaFormats(), pointLocale()}) {
        const Fed fed = feed(parser, text, "+025.6C\r\n  -003,5C\r+1 234.5C\rxx-7.25\r", fs);
        EXPECT_EQ(fed.Readings, (std::vector<long double>{25.6L, -3.5L, 1.0L, -7.25L}));
        EXPECT_EQ(fed.Result.Lines, 4);
        EXPECT_FALSE(fed.Result.LastFailed);
        EXPECT_EQ(fed.Result.LastValue, -7.25L);
        EXPECT_EQ(text, "");
    }
}

// A noise burst (a wrong baud rate, a loose plug) arrives in one piece: every
// bad line is judged in the same pass, so the good reading after it counts
// at once; and when a bad line is the last one, it is what the pass ends on.
TEST(ReadingParser, EveryCompleteLineIsJudgedInOnePass) {
    TReadingParser parser;
    std::string text;
    std::string burst;
    for (int i = 0; i < 100; ++i)
        burst += "+x\r";
    Fed fed = feed(parser, text, burst + "-\r+1,2,3C\r25.6C\r\r+21.5C\r", CommaFormats());
    EXPECT_EQ(fed.Result.Lines, 105);
    EXPECT_EQ(fed.Result.Converted, 1);
    EXPECT_FALSE(fed.Result.LastFailed);
    EXPECT_EQ(fed.Result.LastValue, 21.5L);
    EXPECT_EQ(text, "");

    fed = feed(parser, text, "+22.0C\r+1-2\r+", CommaFormats());
    EXPECT_EQ(fed.Readings, std::vector<long double>{22.0L});
    EXPECT_TRUE(fed.Result.LastFailed);
    EXPECT_EQ(text, "+"); // waits for its CR
}

// What is left after the last CR is a reading on its way only when it holds
// a sign: the line feed of a CR LF device is not one.
TEST(ReadingParser, RemainderWaitsAndOnlyASignMakesItAReading) {
    TReadingParser parser;
    std::string text;
    Fed fed = feed(parser, text, "+25.6C\r\n", CommaFormats());
    EXPECT_EQ(text, "\n");
    EXPECT_FALSE(TReadingParser::ReadingInProgress(text));
    fed = feed(parser, text, "+02", CommaFormats());
    EXPECT_EQ(fed.Result.Lines, 0);
    EXPECT_TRUE(TReadingParser::ReadingInProgress(text));
    fed = feed(parser, text, "5.6C\r", CommaFormats());
    EXPECT_EQ(fed.Readings, std::vector<long double>{25.6L});
}

TEST(ReadingParser, UnterminatedTextIsBoundedAndItsLineFails) {
    TReadingParser parser;
    std::string text;
    for (int i = 0; i < 100; ++i) {
        feed(parser, text, "+" + std::string(1023, '5'), CommaFormats());
        ASSERT_LE(text.size(), TReadingParser::RemainderLimit);
    }
    // The cut line has lost its start: it fails, whatever its end looks like.
    Fed fed = feed(parser, text, "5.0C\r+21.0C\r", CommaFormats());
    EXPECT_EQ(fed.Result.Lines, 2);
    EXPECT_EQ(fed.Readings, std::vector<long double>{21.0L});

    // A new link starts clean.
    feed(parser, text, std::string(TReadingParser::RemainderLimit + 1, '+'), CommaFormats());
    parser.Reset();
    text.clear();
    fed = feed(parser, text, "+19.0C\r", CommaFormats());
    EXPECT_EQ(fed.Readings, std::vector<long double>{19.0L});
}

// Random streams of good and bad lines, cut line by line, byte by byte, in
// random pieces or not at all: the same readings in the same order, and the
// pass that ends on a line's CR reports that line's own verdict.
TEST(ReadingParser, ResultsDoNotDependOnHowTheStreamIsCut) {
    const std::vector<std::string> kinds = {"+025.6C", "-003.5C", "+1234.5C", "+25,6C", "\n+021.0C",
                                            "xx-7.25", "+0.0C",   "-",        "+",      "25.6C",
                                            "",        "+1,2,3",  "+1-2",     "++5",    "-,",
                                            "+.5C",    " +5.C",   "+5e3",     "abc",    "-0012,50"};
    std::mt19937 rng(1207);
    for (const FormatSettings& fs : {CommaFormats(), pointLocale()}) {
        for (int round = 0; round < 200; ++round) {
            std::string stream;
            std::vector<long double> expected;
            bool lastFailed = false;
            const int count = 1 + static_cast<int>(rng() % 30);
            for (int i = 0; i < count; ++i) {
                const std::string line = kinds[rng() % kinds.size()] + '\r';
                TReadingParser alone;
                std::string t = line;
                const Fed f = feed(alone, t, "", fs);
                expected.insert(expected.end(), f.Readings.begin(), f.Readings.end());
                lastFailed = f.Result.LastFailed;
                stream += line;
            }
            stream += kinds[rng() % kinds.size()]; // an unfinished tail
            SCOPED_TRACE(testing::Message() << "stream: " << testing::PrintToString(stream));

            for (int cut = 0; cut < 3; ++cut) {
                TReadingParser parser;
                std::string text;
                std::vector<long double> got;
                bool failed = false;
                std::size_t at = 0;
                while (at < stream.size()) {
                    const std::size_t piece = cut == 0   ? stream.size()
                                              : cut == 1 ? 1
                                                         : 1 + rng() % (stream.size() - at);
                    const Fed f = feed(parser, text, stream.substr(at, piece), fs);
                    got.insert(got.end(), f.Readings.begin(), f.Readings.end());
                    if (f.Result.Lines > 0)
                        failed = f.Result.LastFailed;
                    at += piece;
                }
                ASSERT_EQ(got, expected) << "cut " << cut;
                ASSERT_EQ(failed, lastFailed) << "cut " << cut;
                ASSERT_EQ(text, stream.substr(stream.rfind('\r') + 1)) << "cut " << cut;
            }
        }
    }
}

TEST(ReadingParser, ImpossibleNumbersFailTheirLine) {
    TReadingParser parser;
    std::string text = "+" + std::string(32, '9') + ".9C\r-300.0C\r+10000C\r";
    const Fed fed = feed(parser, text, "-273,15C\r+0009999,9C\r", CommaFormats());
    EXPECT_EQ(fed.Readings, (std::vector<long double>{-273.15L, 9999.9L}));
}
