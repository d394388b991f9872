// Rebuild time of the port chooser's list for COM 1-255: with the machine's
// own port map, with a port directory of 255 links to free pseudo-terminals
// (every probe opens, locks and closes a real tty), and with 255 links whose
// targets are gone (every probe finds nothing). Prints the median, minimum
// and maximum of 100 rebuilds in milliseconds per case.
//
//   bench_portchooser [repetitions]
#include "gui/AfPortControls.h"

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <pty.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Stats {
    double median = 0;
    double min = 0;
    double max = 0;
    int items = 0;
};

Stats measure(int repetitions) {
    TAfPortComboBox combo;
    combo.SetOptions({pcCheckExist, pcHighlightOpen});
    combo.SetMaxComPorts(255); // the first, untimed rebuild warms caches
    std::vector<double> ms;
    ms.reserve(std::size_t(repetitions));
    for (int i = 0; i < repetitions; ++i) {
        const auto start = std::chrono::steady_clock::now();
        combo.FillPortList();
        const auto end = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(ms.begin(), ms.end());
    Stats s;
    const std::size_t n = ms.size();
    s.median = n % 2 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
    s.min = ms.front();
    s.max = ms.back();
    s.items = combo.count();
    return s;
}

void report(const char* name, const Stats& s) {
    std::printf("%-34s median %7.3f ms  min %7.3f  max %7.3f  items %d\n", name, s.median, s.min,
                s.max, s.items);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    namespace fs = std::filesystem;

    unsetenv("KELVOX_PORT_DIR");
    report("default port map", measure(repetitions));

    char pattern[] = "/tmp/kelvox-bench-ports-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir(made);
    setenv("KELVOX_PORT_DIR", made, 1);

    std::vector<int> descriptors;
    bool ok = true;
    for (int n = 1; n <= 255 && ok; ++n) {
        int master = -1;
        int slave = -1;
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            ok = false;
            break;
        }
        // The slave stays open here (without a lock) so that the pair lives;
        // the probe's own exclusive open still succeeds.
        descriptors.push_back(master);
        descriptors.push_back(slave);
        fs::create_symlink(name, dir / ("COM" + std::to_string(n)));
    }
    if (ok)
        report("255 links to free pseudo-terminals", measure(repetitions));

    for (int fd : descriptors)
        ::close(fd);
    // Now every link points at a tty that no longer exists.
    report("255 links to vanished terminals", measure(repetitions));

    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return ok ? 0 : 1;
}
