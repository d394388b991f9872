#include "app/uMain.h"
#include "platform/FormatSettings.h"

#include <QLabel>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <vector>

using platform::FormatSettings;

namespace {

FormatSettings commaLocale() {
    FormatSettings s;
    s.DecimalSeparator = QStringLiteral(",");
    s.ThousandSeparator = QStringLiteral(" ");
    return s;
}

FormatSettings pointLocale() {
    FormatSettings s;
    s.DecimalSeparator = QStringLiteral(".");
    s.ThousandSeparator = QStringLiteral(",");
    return s;
}

const QString kDeg = QStringLiteral("\u00B0C");

// The parser exactly as the steps read, text rewritten from the front once
// per line, plus the rule that a line which failed to convert is dropped at
// the next call. Fed one complete line per call it is the yardstick for
// every other way of feeding the same stream.
struct LiteralParser {
    std::string Text;
    long double Temperature = 0;
    QString Label = QStringLiteral("-");
    int SilenceCount = 0;
    bool DropFailedLine = false;

    void Parse(const FormatSettings& fs) {
        if (DropFailedLine) {
            Text.erase(0, Text.find('\r') + 1);
            DropFailedLine = false;
        }
        while (Text.find('\r') != std::string::npos) {
            while (!Text.empty() && Text[0] != '+' && Text[0] != '-')
                Text.erase(0, 1);
            if (!Text.empty() && Text[0] == '+')
                Text.erase(0, 1);
            std::size_t n = 0;
            while (n < Text.size() && Text[n] != '\0' &&
                   std::strchr("-0123456789,.", Text[n]) != nullptr)
                ++n;
            for (char& c : Text) {
                if (fs.DecimalSeparator == "," && c == '.')
                    c = ',';
                else if (fs.DecimalSeparator == "." && c == ',')
                    c = '.';
            }
            long double v = 0;
            if (!fs.TextToFloat(Text.substr(0, n), v)) {
                Temperature = -100;
                DropFailedLine = !Text.empty();
                return;
            }
            Temperature = v;
            const std::size_t cr = Text.find('\r');
            if (cr != std::string::npos)
                Text.erase(0, cr + 1);
        }
        Label = fs.FormatTemperature(Temperature) + QStringLiteral("\u00B0C");
        SilenceCount = 0;
    }
};

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        Saved_ = FormatSettings::Current();
        FormatSettings::SetCurrent(commaLocale());
        Main = std::make_unique<TfMain>();
    }
    void TearDown() override {
        Main.reset();
        FormatSettings::SetCurrent(Saved_);
    }
    void Feed(const std::string& bytes) {
        Main->ReceivedText += bytes;
        Main->ParseReceived();
    }
    QString Label() const { return Main->Label1->text(); }

    std::unique_ptr<TfMain> Main;

private:
    FormatSettings Saved_;
};

} // namespace

TEST_F(ParserTest, WorkedExampleAndNegativeReadings) {
    Main->SilenceCount = 7;
    Feed("+025.6C\r");
    EXPECT_EQ(Main->Temperature, 25.6L);
    EXPECT_EQ(Label(), "25,6" + kDeg);
    EXPECT_EQ(Main->ReceivedText, "");
    EXPECT_EQ(Main->SilenceCount, 0);
    Feed("-003.5C\r");
    EXPECT_EQ(Main->Temperature, -3.5L);
    EXPECT_EQ(Label(), "-3,5" + kDeg);
    // Line feeds and other bytes before the sign are skipped.
    Feed("\n  -0,5C\r");
    EXPECT_EQ(Main->Temperature, -0.5L);
    EXPECT_EQ(Label(), "-0,5" + kDeg);
}

TEST_F(ParserTest, SeveralLinesInOneArrivalLeaveTheLastValue) {
    Feed("+020.0C\r+021.5C\r-001.0C\r+022.5C\r");
    EXPECT_EQ(Main->Temperature, 22.5L);
    EXPECT_EQ(Label(), "22,5" + kDeg);
    EXPECT_EQ(Main->ReceivedText, "");
}

TEST_F(ParserTest, SplitReadingIsConvertedWhenItsCrArrives) {
    Feed("+02");
    EXPECT_EQ(Main->Temperature, 0.0L);
    EXPECT_EQ(Main->ReceivedText, "+02");
    Feed("5.6C");
    EXPECT_EQ(Main->Temperature, 0.0L);
    Feed("\r");
    EXPECT_EQ(Main->Temperature, 25.6L);
    EXPECT_EQ(Label(), "25,6" + kDeg);
}

TEST_F(ParserTest, TextWithoutCrRefreshesTheLabelAndResetsSilence) {
    Main->SilenceCount = 40;
    Feed("+025.6C");
    EXPECT_EQ(Main->Temperature, 0.0L);
    EXPECT_EQ(Label(), "0,0" + kDeg);
    EXPECT_EQ(Main->SilenceCount, 0);
    EXPECT_EQ(Main->ReceivedText, "+025.6C"); // nothing unified: no line was read
}

TEST_F(ParserTest, LeftoverAfterTheLastCrWaitsAsReceived) {
    Feed("+25.6C\r+26.1");
    EXPECT_EQ(Main->Temperature, 25.6L);
    EXPECT_EQ(Main->ReceivedText, "+26.1");
    Feed("C\r");
    EXPECT_EQ(Main->Temperature, 26.1L);
    EXPECT_EQ(Main->ReceivedText, "");
}

TEST_F(ParserTest, LineWithoutSignFailsAndKeepsLabelAndSilence) {
    Feed("+25.6C\r");
    Main->SilenceCount = 9;
    Feed("25.6C\r");
    EXPECT_EQ(Main->Temperature, -100.0L);
    EXPECT_EQ(Label(), "25,6" + kDeg);
    EXPECT_EQ(Main->SilenceCount, 9);
    EXPECT_EQ(Main->ReceivedText, "");
    Feed("+24.0C\r");
    EXPECT_EQ(Main->Temperature, 24.0L);
    EXPECT_EQ(Main->SilenceCount, 0);
}

TEST_F(ParserTest, FailedLineStaysUntilTheNextArrivalThenLaterLinesGoOn) {
    Feed("+25.0C\r");
    Main->SilenceCount = 3;
    // A lone "-" is kept at the front; it must not stop the lines after it.
    Feed("-\r+21.5C\r");
    EXPECT_EQ(Main->Temperature, -100.0L);
    EXPECT_EQ(Main->ReceivedText, "-\r+21.5C\r");
    EXPECT_EQ(Label(), "25,0" + kDeg);
    EXPECT_EQ(Main->SilenceCount, 3);
    Feed("");
    EXPECT_EQ(Main->Temperature, 21.5L);
    EXPECT_EQ(Label(), "21,5" + kDeg);
    EXPECT_EQ(Main->ReceivedText, "");
    EXPECT_EQ(Main->SilenceCount, 0);
    // A "+" whose number does not convert: the '+' is gone, the rest stays.
    Feed("+1,2,3C\r");
    EXPECT_EQ(Main->Temperature, -100.0L);
    EXPECT_EQ(Main->ReceivedText, "1,2,3C\r");
    // A sign later in the failed line does not start a reading of its own.
    Feed("+1-2\r");
    EXPECT_EQ(Main->Temperature, -100.0L);
    EXPECT_EQ(Main->ReceivedText, "1-2\r");
    Feed("+19.0C\r");
    EXPECT_EQ(Main->Temperature, 19.0L);
    EXPECT_EQ(Main->ReceivedText, "");
}

TEST_F(ParserTest, FullStopLocaleTakesCommaReadings) {
    FormatSettings::SetCurrent(pointLocale());
    Feed("+025,6C\r");
    EXPECT_EQ(Main->Temperature, 25.6L);
    EXPECT_EQ(Label(), "25.6" + kDeg);
    Feed("+1234.5C\r");
    EXPECT_EQ(Label(), "1,234.5" + kDeg);
}

TEST_F(ParserTest, ThousandsSeparatorsInTheLabelButNotInTheInput) {
    Feed("+1234.5C\r");
    EXPECT_EQ(Main->Temperature, 1234.5L);
    EXPECT_EQ(Label(), "1 234,5" + kDeg);
    Feed("+1 234.5C\r"); // the number stops at the blank: 1
    EXPECT_EQ(Main->Temperature, 1.0L);
}

TEST_F(ParserTest, UnterminatedTextIsBoundedOldestBytesDropped) {
    std::string sent;
    for (int i = 0; i < 100; ++i) {
        std::string chunk(1024, static_cast<char>('a' + i % 26));
        chunk[0] = '+';
        sent += chunk;
        Feed(chunk);
        ASSERT_LE(Main->ReceivedText.size(), TfMain::ReceivedTextLimit);
    }
    EXPECT_EQ(Main->ReceivedText, sent.substr(sent.size() - TfMain::ReceivedTextLimit));
    // The cut line has lost its start: it is dropped with its CR, and the
    // next line reads normally.
    Feed("5.0C\r");
    EXPECT_EQ(Main->Temperature, 0.0L);
    EXPECT_EQ(Main->ReceivedText, "");
    Feed("+21.0C\r");
    EXPECT_EQ(Main->Temperature, 21.0L);
}

TEST_F(ParserTest, ALargeCompleteArrivalIsParsedWhole) {
    std::string big;
    while (big.size() < 4 * TfMain::ReceivedTextLimit)
        big += "+025.6C\r";
    big += "-012.5C\r+3";
    Feed(big);
    EXPECT_EQ(Main->Temperature, -12.5L);
    EXPECT_EQ(Main->ReceivedText, "+3");
}

// Random streams of good and bad lines: fed line by line, byte by byte, in
// random pieces or all at once, every way gives the literal parser's value
// for each complete line, and the same state at the end.
TEST_F(ParserTest, ResultsDoNotDependOnHowTheStreamIsCut) {
    const std::vector<std::string> kinds = {"+025.6C", "-003.5C", "+1234.5C", "+25,6C", "\n+021.0C",
                                            "xx-7.25", "+0.0C",   "-",        "+",      "25.6C",
                                            "",        "+1,2,3",  "+1-2",     "++5",    "-,",
                                            "+.5C",    " +5.C",   "+5e3",     "abc",    "-0012,50"};
    std::mt19937 rng(1207);
    for (const FormatSettings& fs : {commaLocale(), pointLocale()}) {
        FormatSettings::SetCurrent(fs);
        for (int round = 0; round < 150; ++round) {
            std::vector<std::string> lines;
            const int count = 1 + static_cast<int>(rng() % 30);
            for (int i = 0; i < count; ++i)
                lines.push_back(kinds[rng() % kinds.size()] + '\r');
            const std::string tail = rng() % 2 ? kinds[rng() % kinds.size()] : std::string();
            std::string stream;
            for (const auto& l : lines)
                stream += l;
            stream += tail;
            SCOPED_TRACE(testing::Message() << "stream: " << ::testing::PrintToString(stream));

            // The yardstick: one complete line per call, then the tail.
            LiteralParser ref;
            std::vector<long double> values;
            std::vector<QString> labels;
            for (const auto& l : lines) {
                ref.Text += l;
                ref.Parse(fs);
                values.push_back(ref.Temperature);
                labels.push_back(ref.Label);
            }
            if (!tail.empty()) {
                ref.Text += tail;
                ref.Parse(fs);
            }

            // Line by line: identical state after every line.
            {
                TfMain m;
                for (std::size_t i = 0; i < lines.size(); ++i) {
                    m.ReceivedText += lines[i];
                    m.ParseReceived();
                    ASSERT_EQ(m.Temperature, values[i]) << "line " << i;
                    ASSERT_EQ(m.Label1->text(), labels[i]) << "line " << i;
                }
                if (!tail.empty()) {
                    m.ReceivedText += tail;
                    m.ParseReceived();
                }
                ASSERT_EQ(m.ReceivedText, ref.Text);
                ASSERT_EQ(m.Label1->text(), ref.Label);
            }
            // Byte by byte: each CR gives that line's value.
            {
                TfMain m;
                std::size_t line = 0;
                for (char c : stream) {
                    m.ReceivedText += c;
                    m.ParseReceived();
                    if (c == '\r') {
                        ASSERT_EQ(m.Temperature, values[line]) << "line " << line;
                        ++line;
                    }
                }
                ASSERT_EQ(m.Temperature, ref.Temperature);
                ASSERT_EQ(m.ReceivedText, ref.Text);
                if (!tail.empty()) {
                    ASSERT_EQ(m.Label1->text(), ref.Label);
                }
            }
            // Random pieces, the first being possibly the whole stream; then
            // further calls until the failed lines are worked through.
            {
                TfMain m;
                std::size_t at = 0;
                while (at < stream.size()) {
                    const std::size_t piece =
                        round % 5 == 0 ? stream.size() : 1 + rng() % (stream.size() - at);
                    m.ReceivedText += stream.substr(at, piece);
                    m.ParseReceived();
                    at += std::min(piece, stream.size() - at);
                }
                for (std::size_t extra = 0; extra <= lines.size() && m.ReceivedText != ref.Text;
                     ++extra)
                    m.ParseReceived();
                ASSERT_EQ(m.ReceivedText, ref.Text);
                ASSERT_EQ(m.Temperature, ref.Temperature);
            }
        }
    }
}
