// Debian's VictoriaMetrics and InfluxDB 1.x on a free loopback port with
// their data in a folder of the test's, and what they stored read back
// (oldest first, as time in UTC ms and value). Test thread only.
#pragma once

#include <QProcess>
#include <string>
#include <utility>
#include <vector>

using StoredPoint = std::pair<long long, double>;

class TimeSeriesServer {
public:
    TimeSeriesServer(bool influx, const QString& dataDir); // else VictoriaMetrics
    ~TimeSeriesServer() { Stop(); }
    // Starts it (again, on the same port and data); true once it answers.
    bool Start();
    // SIGTERM, as a service stop: what it acknowledged is kept.
    void Stop();
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(Port_); }
    std::string Query(const std::string& statement, const std::string& db = {}) const;
    // The points of the series once at least atLeast are visible (or 20 s
    // have passed, the event loop running meanwhile): VictoriaMetrics'
    // temperature_celsius, InfluxDB's temperature in db.
    std::vector<StoredPoint> Points(std::size_t atLeast = 1, const std::string& db = {}) const;

private:
    bool Influx_;
    QString Dir_;
    int Port_;
    QProcess Proc_;
};
