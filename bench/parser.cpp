// Throughput of the reading parser on one large arrival of back-to-back
// readings, and how its time grows with the size of the arrival.
//
//   cmake -S . -B build-bench -G Ninja -DKELVOX_BENCH=ON
//   cmake --build build-bench --target bench_parser && build-bench/bench/bench_parser
#include "core/Core.h"
#include "platform/FormatSettings.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <string>
#include <time.h>

namespace {

std::string readings(std::size_t bytes) {
    static const std::string line = "+025.6C\r";
    std::string s;
    s.reserve(bytes);
    while (s.size() + line.size() <= bytes)
        s += line;
    return s;
}

// CPU time of the calling thread: on a shared, loaded machine wall time
// mostly measures how long other processes held the CPU.
double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Best of `runs` timings of one arrival judged by the link over `data`, in
// seconds of thread CPU time.
double timeParse(TLink& m, const std::string& data, int runs) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        const double t0 = threadSeconds();
        m.Feed(data);
        const double t1 = threadSeconds();
        if (!m.ReceivedText().empty() || m.Temperature() != 25.6L) {
            std::fprintf(stderr, "parse result wrong\n");
            std::exit(1);
        }
        best = std::min(best, t1 - t0);
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    platform::FormatSettings fs;
    fs.DecimalSeparator = QStringLiteral(",");
    fs.ThousandSeparator = QStringLiteral(" ");
    platform::FormatSettings::SetCurrent(fs);
    QTemporaryDir home; // nothing is written: the settings are never saved
    CoreDeps deps;
    deps.Paths = {home.path()};
    TKelvoxCore core(std::move(deps));
    TLink& m = core.Link();

    const std::string mib = readings(1 << 20);
    const double t = timeParse(m, mib, 30);
    std::printf("(times are thread CPU time, best of several runs)\n");
    std::printf("one arrival of 1 MiB (%zu readings): %.3f ms, %.0f MB/s (goal >= 100 MB/s)\n",
                mib.size() / 8, t * 1e3, mib.size() / t / 1e6);

    std::printf("\n%10s %12s %12s %10s %10s\n", "bytes", "time [ms]", "ns/byte", "MB/s",
                "time/64K");
    double base = 0;
    for (std::size_t size = 64 << 10; size <= (4u << 20); size *= 2) {
        const std::string data = readings(size);
        const double ts = timeParse(m, data, size <= (1u << 20) ? 30 : 10);
        if (base == 0)
            base = ts;
        std::printf("%10zu %12.3f %12.3f %10.0f %10.1f\n", data.size(), ts * 1e3,
                    ts * 1e9 / data.size(), data.size() / ts / 1e6, ts / base);
    }
    std::printf("(linear growth: time/64K doubles with each doubling of the size)\n");
    return 0;
}
