// The time-series output's answers from Debian's InfluxDB on 127.0.0.1 and
// from a server of the test's (an outage to VictoriaMetrics: tests/app).
#include "core/TimeSeries.h"
#include "core/EventLog.h"
#include "net/LocalHttpServer.h"
#include "net/uHTML.h"
#include "support/TimeSeriesServers.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

class TimeSeriesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setenv("no_proxy", "127.0.0.1", 1); }

    void Apply(const std::string& url, const QString& token = {}) {
        TimeSeriesSettings settings;
        settings.Url = QString::fromStdString(url);
        settings.Token = token;
        Series->Apply(settings);
    }
    // Readings a second apart from now on, 21.0, 21.1, ...; remembered as fed.
    void Feed(int count) {
        for (int i = 0; i < count; ++i) {
            const qint64 ms = Start + static_cast<qint64>(Fed.size()) * 1000;
            const double value = 21.0 + static_cast<double>(Fed.size()) / 10;
            Fed.emplace_back(ms, value);
            Series->Reading(value, QDateTime::fromMSecsSinceEpoch(ms));
        }
    }
    bool WaitForLog(const QString& part, int ms = 30000) {
        return QTest::qWaitFor([&] { return Texts.filter(part).size() > 0; }, ms);
    }

    QTemporaryDir Home;
    std::function<QDateTime()> Clock = [] { return QDateTime::currentDateTime(); };
    TEventLog Log{{Home.path()}, Clock};
    QStringList Texts;
    QMetaObject::Connection Tap = QObject::connect(
        &Log, &TEventLog::LineAdded, [this](const QString&, const QString& t) { Texts << t; });
    std::unique_ptr<TTimeSeries> Series = std::make_unique<TTimeSeries>(
        Log, NewUrlFetcher({std::chrono::seconds(10), std::chrono::seconds(4)}),
        Home.path() + QStringLiteral("/backlog"), "test host", "cellar", Clock);
    qint64 Start = QDateTime::currentMSecsSinceEpoch() - 60000;
    std::vector<StoredPoint> Fed;
};

// Points older than the database's retention: InfluxDB keeps the rest and
// says how many it dropped; they are never tried again. A missing database
// keeps the readings until the URL is put right.
TEST_F(TimeSeriesTest, InfluxDbRefusalsDropOrKeepAsTheyMean) {
    TimeSeriesServer influx(true, Home.path() + QStringLiteral("/influx"));
    ASSERT_TRUE(influx.Start());
    influx.Query("CREATE DATABASE home WITH DURATION 1h");
    Apply(influx.Base() + "/write?db=nothere");
    Start -= 3 * 3600 * 1000; // two readings before the retention's hour
    Feed(2);
    Fed.clear(); // never stored
    Start += 3 * 3600 * 1000;
    Feed(3);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Series->Status().State == TimeSeriesState::Failed; }, 20000));
    EXPECT_TRUE(Series->Status().Cause.startsWith(QStringLiteral("HTTP 404")))
        << Series->Status().Cause.toStdString();
    EXPECT_EQ(Series->Status().Backlog, 5);
    EXPECT_EQ(Texts.filter(QStringLiteral("HTTP 404")).size(), 1);

    Apply(influx.Base() + "/write?db=home");
    ASSERT_TRUE(WaitForLog(QStringLiteral("the backlog is sent (5 readings")))
        << Texts.join('\n').toStdString();
    const QStringList refused = Texts.filter(QStringLiteral("refused 2 of 5 readings for good"));
    ASSERT_EQ(refused.size(), 1) << Texts.join('\n').toStdString();
    EXPECT_TRUE(refused[0].contains(QStringLiteral("beyond retention policy")));
    EXPECT_EQ(influx.Points(Fed.size(), "home"), Fed); // values of one decimal, as stored
}

// The answers no real receiver gives on demand: a refused token and a
// server error keep the readings and try again; the token reaches the
// server and nothing else.
TEST_F(TimeSeriesTest, RefusedAndFailedAnswersKeepTheReadings) {
    LocalHttpServer server;
    std::mutex mutex;
    std::vector<std::string> bodies;
    std::vector<int> answers{401, 403, 503, 204};
    server.Server().Post("/api/v2/write", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex);
        res.status = answers[std::min(bodies.size(), answers.size() - 1)];
        if (res.status == 401)
            res.set_content("{\"code\":\"unauthorized\",\"message\":\"unauthorized access\"}",
                            "application/json");
        bodies.push_back(req.body);
    });
    server.Start();
    const QString token = QStringLiteral("s3cret-t0ken");
    Apply(server.BaseUrl() + "/api/v2/write?org=o&bucket=b", token);
    Feed(3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.Requests().size() >= 4; }, 30000));
    ASSERT_TRUE(WaitForLog(QStringLiteral("the backlog is sent (3 readings")))
        << Texts.join('\n').toStdString();
    // Each time the same points: the same series and time.
    const std::string expected = "temperature,host=test\\ host,instance=cellar celsius=21 " +
                                 std::to_string(Fed[0].first) +
                                 "\ntemperature,host=test\\ host,instance=cellar celsius=21.1 " +
                                 std::to_string(Fed[1].first) +
                                 "\ntemperature,host=test\\ host,instance=cellar "
                                 "celsius=21.2 " +
                                 std::to_string(Fed[2].first) + "\n";
    for (const std::string& body : bodies)
        EXPECT_EQ(body, expected);
    for (const SeenRequest& r : server.Requests()) {
        EXPECT_EQ(r.Authorization, "Token s3cret-t0ken");
        EXPECT_EQ(r.Target, "/api/v2/write?org=o&bucket=b&precision=ms");
    }
    EXPECT_EQ(Texts.filter(QStringLiteral("HTTP 401: unauthorized")).size(), 1)
        << Texts.join('\n').toStdString();
    EXPECT_EQ(Texts.filter(QStringLiteral("HTTP 403")).size(), 1);
    EXPECT_TRUE(Texts.filter(token).isEmpty());
}

} // namespace
