// Replay of a day of readings (86,400, one a second) from the time-series
// backlog to a VictoriaMetrics on this machine: how long until the backlog
// is empty, and how much the resident memory grows meanwhile (the spool is
// read as a stream, 5,000 points a batch).
//
//   bench_timeseries [--points N]
//
// Needs Debian's victoria-metrics; it runs on a free loopback port with its
// data in a temporary directory.
#include "core/TimeSeries.h"
#include "core/EventLog.h"
#include "net/uHTML.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>

namespace {

long ResidentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

int FreePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qint64 points = 86400;
    const QStringList args = app.arguments();
    if (const qsizetype at = args.indexOf(QStringLiteral("--points"));
        at > 0 && at + 1 < args.size())
        points = args[at + 1].toLongLong();
    qputenv("no_proxy", "127.0.0.1");

    QTemporaryDir dir;
    const int port = FreePort();
    QProcess vm;
    vm.setProcessChannelMode(QProcess::MergedChannels);
    vm.setStandardOutputFile(dir.path() + QStringLiteral("/vm.log"));
    vm.start(QStringLiteral("/usr/bin/victoria-metrics"),
             {QStringLiteral("-httpListenAddr=127.0.0.1:%1").arg(port),
              QStringLiteral("-storageDataPath=") + dir.path() + QStringLiteral("/vm"),
              QStringLiteral("-retentionPeriod=100y"), QStringLiteral("-search.latencyOffset=0s")});
    if (!vm.waitForStarted()) {
        std::fprintf(stderr, "bench_timeseries: cannot start /usr/bin/victoria-metrics\n");
        return 1;
    }
    QThread::sleep(2);

    // The spool as an outage of a day would leave it.
    const QString backlog = dir.path() + QStringLiteral("/backlog");
    const qint64 start = QDateTime::currentMSecsSinceEpoch() - points * 1000;
    {
        TSpool spool(backlog, QStringLiteral("timeseries"), 50LL * 1024 * 1024,
                     [](const QString& line) { std::printf("%s\n", qPrintable(line)); });
        spool.Open();
        std::vector<SpoolRecord> records;
        for (qint64 i = 0; i < points; ++i)
            records.push_back({start + i * 1000, 20.0 + static_cast<double>(i % 100) / 10});
        QString error;
        if (!spool.Append(records, &error)) {
            std::fprintf(stderr, "bench_timeseries: %s\n", qPrintable(error));
            return 1;
        }
    }

    auto clock = [] { return QDateTime::currentDateTime(); };
    TEventLog log({dir.path()}, clock);
    TTimeSeries series(log, NewUrlFetcher(), backlog, QStringLiteral("bench"), QString(), clock);
    QEventLoop loop;
    QObject::connect(&series, &TTimeSeries::StatusChanged, &loop, [&] {
        if (series.Status().State == TimeSeriesState::Sending)
            loop.quit();
    });
    QObject::connect(&log, &TEventLog::LineAdded, [](const QString& line, const QString&) {
        std::printf("%s\n", qPrintable(line));
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    const long before = ResidentKb();
    long peak = before;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] { peak = std::max(peak, ResidentKb()); });
    sample.start(50);
    QElapsedTimer took;
    took.start();
    TimeSeriesSettings settings;
    settings.Url = QStringLiteral("http://127.0.0.1:%1/write").arg(port);
    series.Apply(settings);
    loop.exec();
    const qint64 ms = took.elapsed();
    peak = std::max(peak, ResidentKb());
    const bool done = series.Status().Backlog == 0;
    std::printf("%lld points replayed %s in %.2f s; resident %ld kB before, peak %ld kB "
                "(growth %.2f MB)\n",
                static_cast<long long>(points), done ? "completely" : "NOT completely", ms / 1000.0,
                before, peak, (peak - before) / 1024.0);
    // What the receiver holds: the replay counts only when it is all there.
    auto get = [&](const QString& path) {
        FetchResult result;
        QEventLoop wait;
        auto fetch = NewUrlFetcher();
        fetch->Start(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path).toStdString(),
                     [&](const FetchResult& r) {
                         result = r;
                         wait.quit();
                     });
        wait.exec();
        return result.Text;
    };
    std::string stored;
    for (int i = 0;
         i < 50 && stored.find(QByteArray::number(points).constData()) == std::string::npos; ++i) {
        get(QStringLiteral("/internal/force_flush"));
        QThread::msleep(200);
        stored =
            get(QStringLiteral("/api/v1/query?query=count_over_time(temperature_celsius%5B3d%5D)"));
    }
    std::printf("stored: %s\n", stored.c_str());
    vm.terminate();
    vm.waitForFinished();
    return done ? 0 : 1;
}
