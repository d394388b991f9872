// The local upload receiver, run from the build tree and sent requests with
// the program's own URL fetch.
#include "net/FetchUrl.h"
#include "net/LocalHttpServer.h"
#include "tools/ToolProcess.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <string>

namespace {

class SinkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("no_proxy", "127.0.0.1,localhost", 1);
        setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    }

    // Starts the sink on a free port; returns its base URL (ending in '/').
    std::string StartSink(QStringList extra = {}) {
        QStringList args{"--port", "0"};
        args << extra;
        if (!sink.Start(args))
            return {};
        const auto first = sink.ReadLine();
        static const QRegularExpression listening(
            QRegularExpression::anchoredPattern(R"(listening on (http://127\.0\.0\.1:\d+/))"));
        if (!first)
            return {};
        const auto m = listening.match(QString::fromStdString(*first));
        return m.hasMatch() ? m.captured(1).toStdString() : std::string();
    }

    ToolProcess sink{"kelvox-sink"};
};

TEST_F(SinkTest, AnswersOkAndReportsTheLastParameter) {
    QTemporaryDir dir;
    const QString log = dir.filePath("sink.log");
    const std::string base = StartSink({"--log", log});
    ASSERT_FALSE(base.empty());

    const FetchResult r = FetchUrl(base + "teplota.php?teplota=25.6");
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.Text, "OK");
    const auto line = sink.ReadLine();
    ASSERT_TRUE(line.has_value());
    EXPECT_TRUE(
        QRegularExpression(QRegularExpression::anchoredPattern(
                               R"(\d\d:\d\d:\d\d /teplota\.php\?teplota=25\.6 received 25\.6)"))
            .match(QString::fromStdString(*line))
            .hasMatch())
        << *line;

    // The last of several parameters, percent-decoded.
    ASSERT_TRUE(FetchUrl(base + "t?a=1&t=%2B5.2").Ok);
    EXPECT_EQ(sink.ReadLine().value_or("").substr(8), " /t?a=1&t=%2B5.2 received +5.2");
    // No query at all.
    ASSERT_TRUE(FetchUrl(base + "plain").Ok);
    EXPECT_EQ(sink.ReadLine().value_or("").substr(8), " /plain no value");
    // Control bytes from a request never reach the terminal as such.
    ASSERT_TRUE(FetchUrl(base + "e?v=%1B[2J").Ok);
    EXPECT_EQ(sink.ReadLine().value_or("").substr(8), " /e?v=%1B[2J received \\x1B[2J");

    sink.Signal(SIGTERM);
    EXPECT_EQ(sink.WaitForExit(), 0);

    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList logged = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(logged.size(), 5);
    EXPECT_EQ(logged[0].toStdString(), "listening on " + base);
    EXPECT_TRUE(logged[1].endsWith(" /teplota.php?teplota=25.6 received 25.6"));
    EXPECT_TRUE(logged[4].endsWith(" received \\x1B[2J"));
}

TEST_F(SinkTest, InterruptEndsItCleanly) {
    const std::string base = StartSink();
    ASSERT_FALSE(base.empty());
    sink.Signal(SIGINT);
    EXPECT_EQ(sink.WaitForExit(), 0);
    // Nobody listens there any more.
    EXPECT_FALSE(FetchUrl(base + "x?t=1").Ok);
}

TEST_F(SinkTest, PortInUseOrBadArgumentsFail) {
    LocalHttpServer occupied; // bound, so the port is taken
    ASSERT_TRUE(sink.Start({"--port", QString::number(occupied.Port())}));
    EXPECT_EQ(sink.WaitForExit(), 1);

    for (const QStringList& args : {QStringList{"--port", "http"}, QStringList{"--port", "70000"},
                                    QStringList{"--port"}, QStringList{"--what"}}) {
        ToolProcess bad("kelvox-sink");
        ASSERT_TRUE(bad.Start(args));
        EXPECT_EQ(bad.WaitForExit(), 2) << args.join(' ').toStdString();
    }
}

} // namespace
