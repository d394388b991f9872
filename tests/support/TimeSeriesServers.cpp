#include "support/TimeSeriesServers.h"

#include "support/Loopback.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <httplib.h>
#include <thread>

namespace {

httplib::Result Get(int port, const std::string& path) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(std::chrono::seconds(2));
    return client.Get(path);
}

std::string Encoded(const std::string& text) {
    return QUrl::toPercentEncoding(QString::fromStdString(text)).toStdString();
}

} // namespace

TimeSeriesServer::TimeSeriesServer(QString program, QString dataDir)
    : DataDir_(std::move(dataDir)), Port_(ClosedPort()), Program_(std::move(program)) {
    QDir().mkpath(DataDir_);
    Proc_.setProcessChannelMode(QProcess::MergedChannels);
    Proc_.setStandardOutputFile(DataDir_ + QStringLiteral("/server.log"), QIODevice::Append);
}

TimeSeriesServer::~TimeSeriesServer() {
    Stop();
}

bool TimeSeriesServer::Start() {
    Proc_.start(Program_, Arguments());
    if (!Proc_.waitForStarted(10000))
        return false;
    for (int i = 0; i < 300; ++i) {
        if (Ready())
            return true;
        if (Proc_.state() == QProcess::NotRunning)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void TimeSeriesServer::Stop() {
    if (Proc_.state() == QProcess::NotRunning)
        return;
    Proc_.terminate();
    if (!Proc_.waitForFinished(20000)) {
        Proc_.kill();
        Proc_.waitForFinished(10000);
    }
}

VictoriaMetrics::VictoriaMetrics(const QString& dataDir)
    : TimeSeriesServer(QStringLiteral("/usr/bin/victoria-metrics"), dataDir) {}

QStringList VictoriaMetrics::Arguments() const {
    return {QStringLiteral("-httpListenAddr=127.0.0.1:%1").arg(Port_),
            QStringLiteral("-storageDataPath=") + DataDir_ + QStringLiteral("/data"),
            QStringLiteral("-retentionPeriod=100y"), QStringLiteral("-search.latencyOffset=0s")};
}

bool VictoriaMetrics::Ready() const {
    const auto r = Get(Port_, "/health");
    return r && r->status == 200;
}

std::vector<StoredPoint> VictoriaMetrics::Points(std::size_t atLeast) const {
    std::vector<StoredPoint> points;
    for (int i = 0; i < 100; ++i) {
        Get(Port_, "/internal/force_flush");
        points.clear();
        const auto r = Get(Port_, "/api/v1/export?match[]=temperature_celsius");
        for (const QByteArray& line : QByteArray::fromStdString(r ? r->body : "").split('\n')) {
            const QJsonObject series = QJsonDocument::fromJson(line).object();
            const QJsonArray values = series["values"].toArray();
            const QJsonArray times = series["timestamps"].toArray();
            for (qsizetype k = 0; k < values.size() && k < times.size(); ++k)
                points.emplace_back(times[k].toInteger(), values[k].toDouble());
        }
        if (points.size() >= atLeast)
            break;
        QTest::qWait(200); // the program under test goes on meanwhile
    }
    std::sort(points.begin(), points.end());
    return points;
}

InfluxDb::InfluxDb(const QString& dataDir)
    : TimeSeriesServer(QStringLiteral("/usr/bin/influxd"), dataDir) {
    QFile config(DataDir_ + QStringLiteral("/influxdb.conf"));
    config.open(QIODevice::WriteOnly);
    config.write(QStringLiteral("reporting-disabled = true\n"
                                "bind-address = \"127.0.0.1:%1\"\n"
                                "[meta]\n  dir = \"%2/meta\"\n"
                                "[data]\n  dir = \"%2/data\"\n  wal-dir = \"%2/wal\"\n"
                                "  query-log-enabled = false\n"
                                "[http]\n  bind-address = \"127.0.0.1:%3\"\n  log-enabled = false\n"
                                "[monitor]\n  store-enabled = false\n")
                     .arg(ClosedPort())
                     .arg(DataDir_)
                     .arg(Port_)
                     .toUtf8());
}

QStringList InfluxDb::Arguments() const {
    return {QStringLiteral("-config"), DataDir_ + QStringLiteral("/influxdb.conf")};
}

bool InfluxDb::Ready() const {
    const auto r = Get(Port_, "/ping");
    return r && r->status == 204;
}

std::string InfluxDb::Query(const std::string& statement, const std::string& db) const {
    httplib::Client client("127.0.0.1", Port_);
    const auto r = client.Post("/query?epoch=ms&db=" + Encoded(db) + "&q=" + Encoded(statement), "",
                               "text/plain");
    return r ? r->body : std::string();
}

std::vector<StoredPoint> InfluxDb::Points(const std::string& db) const {
    std::vector<StoredPoint> points;
    const QJsonObject answer =
        QJsonDocument::fromJson(
            QByteArray::fromStdString(Query("SELECT time, celsius FROM temperature", db)))
            .object();
    for (const QJsonValue result : answer["results"].toArray())
        for (const QJsonValue series : result["series"].toArray())
            for (const QJsonValue row : series["values"].toArray())
                points.emplace_back(row[0].toInteger(), row[1].toDouble());
    std::sort(points.begin(), points.end());
    return points;
}
