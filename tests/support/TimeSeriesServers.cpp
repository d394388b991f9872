#include "support/TimeSeriesServers.h"

#include "support/Loopback.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QUrl>
#include <algorithm>
#include <httplib.h>

namespace {

std::string Fetch(int port, const std::string& path, bool post = false) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(std::chrono::seconds(2));
    const auto r = post ? client.Post(path, "", "text/plain") : client.Get(path);
    return r ? std::to_string(r->status) + ' ' + r->body : std::string();
}

std::string Encoded(const std::string& text) {
    return QUrl::toPercentEncoding(QString::fromStdString(text)).toStdString();
}

} // namespace

TimeSeriesServer::TimeSeriesServer(bool influx, const QString& dataDir)
    : Influx_(influx), Dir_(dataDir), Port_(ClosedPort()) {
    QDir().mkpath(Dir_);
    Proc_.setProcessChannelMode(QProcess::MergedChannels);
    Proc_.setStandardOutputFile(Dir_ + QStringLiteral("/server.log"), QIODevice::Append);
    QFile config(Dir_ + QStringLiteral("/influxdb.conf"));
    if (Influx_ && config.open(QIODevice::WriteOnly))
        config.write(QStringLiteral("reporting-disabled = true\nbind-address = \"127.0.0.1:%1\"\n"
                                    "[meta]\n dir = \"%2/meta\"\n[data]\n dir = \"%2/data\"\n"
                                    " wal-dir = \"%2/wal\"\n query-log-enabled = false\n"
                                    "[http]\n bind-address = \"127.0.0.1:%3\"\n"
                                    " log-enabled = false\n[monitor]\n store-enabled = false\n")
                         .arg(ClosedPort())
                         .arg(Dir_)
                         .arg(Port_)
                         .toUtf8());
}

bool TimeSeriesServer::Start() {
    if (Influx_)
        Proc_.start("/usr/bin/influxd", {"-config", Dir_ + QStringLiteral("/influxdb.conf")});
    else
        Proc_.start("/usr/bin/victoria-metrics",
                    {QStringLiteral("-httpListenAddr=127.0.0.1:%1").arg(Port_),
                     "-storageDataPath=" + Dir_ + "/data", "-retentionPeriod=100y",
                     "-search.latencyOffset=0s"});
    const std::string ready = Influx_ ? "204" : "200";
    return Proc_.waitForStarted(10000) &&
           QTest::qWaitFor(
               [&] { return Fetch(Port_, Influx_ ? "/ping" : "/health").starts_with(ready); },
               30000);
}

void TimeSeriesServer::Stop() {
    if (Proc_.state() == QProcess::NotRunning)
        return;
    Proc_.terminate();
    if (!Proc_.waitForFinished(20000))
        Proc_.kill();
    Proc_.waitForFinished(10000);
}

std::string TimeSeriesServer::Query(const std::string& statement, const std::string& db) const {
    return Fetch(Port_, "/query?epoch=ms&db=" + Encoded(db) + "&q=" + Encoded(statement), true);
}

std::vector<StoredPoint> TimeSeriesServer::Points(std::size_t atLeast,
                                                  const std::string& db) const {
    std::vector<StoredPoint> points;
    static_cast<void>(QTest::qWaitFor(
        [&] {
            points.clear();
            Fetch(Port_, "/internal/force_flush");
            const std::string body =
                Influx_ ? Query("SELECT time, celsius FROM temperature", db)
                        : Fetch(Port_, "/api/v1/export?match[]=temperature_celsius");
            for (QByteArray line : QByteArray::fromStdString(body).split('\n')) {
                line = line.mid(line.indexOf('{')); // after the status
                const QJsonObject o = QJsonDocument::fromJson(line).object();
                const QJsonArray values = o["values"].toArray(), times = o["timestamps"].toArray();
                for (qsizetype k = 0; k < values.size() && k < times.size(); ++k)
                    points.emplace_back(times[k].toInteger(), values[k].toDouble());
                for (const QJsonValue series : o["results"][0]["series"].toArray())
                    for (const QJsonValue row : series["values"].toArray())
                        points.emplace_back(row[0].toInteger(), row[1].toDouble());
            }
            return points.size() >= atLeast;
        },
        20000)); // the caller compares what came
    std::sort(points.begin(), points.end());
    return points;
}
