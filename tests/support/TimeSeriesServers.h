// Debian's VictoriaMetrics and InfluxDB 1.x, started on a free loopback port
// with their data in a folder of the test's, and what they stored read back.
// Test thread only.
#pragma once

#include <QProcess>
#include <QString>
#include <string>
#include <utility>
#include <vector>

// A stored point: time in UTC ms and value.
using StoredPoint = std::pair<long long, double>;

class TimeSeriesServer {
public:
    TimeSeriesServer(QString program, QString dataDir);
    virtual ~TimeSeriesServer();
    // Starts it (again, on the same port and data) and waits until it answers.
    bool Start();
    // SIGTERM, as a service stop: what it acknowledged is kept.
    void Stop();
    int Port() const { return Port_; }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(Port_); }

protected:
    virtual QStringList Arguments() const = 0;
    virtual bool Ready() const = 0;
    QString DataDir_;
    int Port_;

private:
    QString Program_;
    QProcess Proc_;
};

class VictoriaMetrics : public TimeSeriesServer {
public:
    explicit VictoriaMetrics(const QString& dataDir);
    // The points of temperature_celsius, oldest first, once at least
    // `atLeast` have become visible (or 20 s have passed, the event loop
    // running meanwhile).
    std::vector<StoredPoint> Points(std::size_t atLeast = 1) const;

protected:
    QStringList Arguments() const override;
    bool Ready() const override;
};

class InfluxDb : public TimeSeriesServer {
public:
    explicit InfluxDb(const QString& dataDir);
    // An InfluxQL statement; returns the answer's body.
    std::string Query(const std::string& statement, const std::string& db = {}) const;
    // The points of the measurement "temperature" in db, oldest first.
    std::vector<StoredPoint> Points(const std::string& db) const;

protected:
    QStringList Arguments() const override;
    bool Ready() const override;
};
