// Cost of one new point on an open history chart that shows a full week
// (10,080 minutes), against replotting the week from scratch, which is what
// the chart does only when its time axis moves on; and the cost of a
// reading while no chart is open. With --logs MB instead: how long the main
// thread waits while the history takes in eight day logs of MB MiB each
// (foreign or damaged files as big as that), and the memory it takes.
//
//   cmake -S . -B build-bench -G Ninja -DKELVOX_BENCH=ON
//   cmake --build build-bench --target bench_history && build-bench/bench/bench_history
//   (--png FILE also saves the week's picture; --logs 200 measures the logs)
#include "core/TemperatureHistory.h"
#include "core/TemperatureLogReader.h"
#include "gui/uHistory.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtCharts/QLineSeries>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <time.h>
#include <vector>

namespace {

// CPU time of the calling thread: on a shared, loaded machine wall time
// mostly measures how long other processes held the CPU. Painting happens
// on this thread too (offscreen platform).
double threadMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

// Everything the change set off: the scene's update, the repaint.
void settle() {
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

double temperatureAt(std::int64_t minute) {
    return 21.0 + 3.0 * std::sin(static_cast<double>(minute) / 180.0) +
           0.2 * std::sin(static_cast<double>(minute) / 7.0);
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

long peakRssMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// Eight day files of megabytes MiB of well-formed lines each, the history
// taking them in while the main thread's timer is watched.
int benchLogs(int megabytes) {
    QTemporaryDir dir;
    platform::FormatSettings formats;
    formats.DecimalSeparator = QStringLiteral(",");
    formats.ShortDateFormat = "%d.%m.%Y";
    const QDateTime now(QDate(2026, 12, 7), QTime(12, 0));
    for (int d = 0; d <= 7; ++d) {
        const QDateTime day = now.addDays(-d);
        const QString date = formats.FormatShortDate(day);
        QFile file(dir.filePath(QStringLiteral("Temperature(%1).log").arg(date)));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        QByteArray block;
        for (int s = 0; block.size() < (1 << 20); s = (s + 1) % 86400)
            block += (date + QStringLiteral("\t%1:%2:%3\t21,5\r\n")
                                 .arg(s / 3600, 2, 10, QChar(u'0'))
                                 .arg(s / 60 % 60, 2, 10, QChar(u'0'))
                                 .arg(s % 60, 2, 10, QChar(u'0')))
                         .toUtf8();
        for (int m = 0; m < megabytes; ++m)
            file.write(block);
    }
    const TemperatureLogQuery query{dir.path(), now, 7, formats};
    const long rssBefore = peakRssMb();

    TemperatureHistory history;
    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestWait = 0;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestWait = std::max(longestWait, clock.elapsed() - lastTick);
        lastTick = clock.elapsed();
    });
    qint64 arrived = -1;
    QObject::connect(&history, &TemperatureHistory::Changed, [&] { arrived = clock.elapsed(); });
    tick.start();
    clock.start();
    history.LoadEarlier(query);
    const qint64 call = clock.elapsed();
    while (arrived < 0 && clock.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    longestWait = std::max(longestWait, clock.elapsed() - lastTick);
    std::printf("8 day logs of %d MiB: LoadEarlier returned after %lld ms, the %zu points"
                " arrived after %lld ms; the main thread waited %lld ms at most (goal < 100 ms)\n",
                megabytes, static_cast<long long>(call), history.Points().size(),
                static_cast<long long>(arrived), static_cast<long long>(longestWait));
    std::printf("peak memory: %ld MB before, %ld MB after\n", rssBefore, peakRssMb());

    QElapsedTimer peer;
    peer.start();
    const std::size_t n = ReadTemperatureLogs(query).size();
    std::printf("peer, the same logs read on the calling thread: %lld ms (%zu readings)\n",
                static_cast<long long>(peer.elapsed()), n);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const char* png = nullptr;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--png") == 0)
            png = argv[i + 1];
        if (std::strcmp(argv[i], "--logs") == 0)
            return benchLogs(std::atoi(argv[i + 1]));
    }

    // A week of readings, three a minute, ending at a round two hours so
    // that the timed points below start a fresh stretch of the time axis.
    const std::int64_t start = 29'500'080 - TemperatureHistory::kSpanMinutes;
    std::int64_t minute = start;
    QDateTime now;
    TemperatureHistory history;
    auto add = [&](std::int64_t m) {
        now = QDateTime::fromMSecsSinceEpoch(m * 60000 + 30000);
        for (int s = 0; s < 3; ++s)
            history.AddReading(m * 60000 + s * 20000, temperatureAt(m) + 0.05 * s);
    };
    for (; minute < start + TemperatureHistory::kSpanMinutes; ++minute)
        add(minute);

    // Closed chart: a reading costs only the per-minute store.
    {
        TemperatureHistory closed;
        const int n = 3 * 100000;
        const double t0 = threadMs();
        for (int i = 0; i < n; ++i)
            closed.AddReading((start + i / 3) * 60000 + (i % 3) * 20000, 20.0 + (i % 50) * 0.1);
        const double t1 = threadMs();
        std::printf("no chart open: %.0f ns per reading (%d readings)\n", (t1 - t0) * 1e6 / n, n);
    }

    auto* w = new TfHistory(
        &history, [&] { return now; }, nullptr); // no settings kept
    w->SetSpan(TfHistory::Span::Week);
    w->resize(900, 520);
    w->show();
    settle();
    std::printf("week on screen: %zu points in %zu pieces of the line\n", history.Points().size(),
                w->Pieces().size());

    // One new minute at a time: three readings, the first one a new point.
    std::vector<double> appends;
    std::vector<double> shifts;
    for (int i = 0; i < 480; ++i, ++minute) {
        const double t0 = threadMs();
        add(minute);
        settle();
        const double t1 = threadMs();
        (minute % w->AxisStep() == 0 ? shifts : appends).push_back(t1 - t0);
    }

    // The peer: the same week replotted from scratch, as a chart that
    // rebuilt its series for every point would have to.
    std::vector<double> full;
    for (int i = 0; i < 20; ++i) {
        const double t0 = threadMs();
        w->Rebuild();
        settle();
        full.push_back(threadMs() - t0);
    }

    std::printf("(times are thread CPU time, 900x520 window, antialiased)\n");
    std::printf("new point on the full week: median %.3f ms, 95%% %.3f ms, max %.3f ms over %zu"
                " points (goal < 2 ms)\n",
                percentile(appends, 0.5), percentile(appends, 0.95),
                *std::max_element(appends.begin(), appends.end()), appends.size());
    std::printf("time axis moving on (once every %lld minutes): median %.3f ms over %zu moves\n",
                static_cast<long long>(w->AxisStep()), percentile(shifts, 0.5), shifts.size());
    std::printf("peer, the week replotted from scratch: median %.3f ms over %zu runs\n",
                percentile(full, 0.5), full.size());
    std::printf("a new point costs %.1f%% of a full replot\n",
                100.0 * percentile(appends, 0.5) / percentile(full, 0.5));
    if (png && !w->SavePicture(QString::fromLocal8Bit(png)))
        std::fprintf(stderr, "cannot write %s\n", png);
    delete w;
    return 0;
}
