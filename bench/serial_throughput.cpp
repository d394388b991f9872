// Throughput of a 4 MiB burst written into the other side of a pseudo-
// terminal as fast as it takes it, received whole and in order (byte i is
// i % 251): the port component (OnDataRecived + ReadString on the main
// thread, event loop running) next to QSerialPort (readyRead + readAll) and a
// pyserial reader thread, one after the other in the same run. The first
// burst of a run is slow for whoever takes it, so the component and
// QSerialPort take turns at going first, and each one's median over the
// rounds is printed at the end.
//
//   bench_serial_throughput [--mib N] [--rounds N]   (3 rounds by default)
#include "bench/PtyBench.h"
#include "serial/AfComPort.h"

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <QSerialPort>

namespace {

using namespace ptybench;

// Writes the burst into the master side as fast as the pty takes it; the
// start time is taken just before the first write. Gives up when nobody
// takes the bytes for kStallMs, so a dead reader cannot hang the run.
class Burst {
public:
    static constexpr int kStallMs = 10000;
    Burst(int master, std::size_t bytes, std::atomic<long long>& startNs)
        : FThread([this, master, bytes, &startNs] {
              std::string data(bytes, '\0');
              for (std::size_t i = 0; i < bytes; ++i)
                  data[i] = static_cast<char>(i % 251);
              std::size_t done = 0;
              startNs = NowNs();
              long long lastProgress = NowNs();
              while (done < bytes && !FStop.load()) {
                  const ssize_t n = ::write(master, data.data() + done, bytes - done);
                  if (n > 0) {
                      done += static_cast<std::size_t>(n);
                      lastProgress = NowNs();
                      continue;
                  }
                  if (NowNs() - lastProgress > kStallMs * 1000000LL) {
                      std::printf("burst writer: nobody reads, giving up\n");
                      break;
                  }
                  pollfd p{master, POLLOUT, 0};
                  ::poll(&p, 1, 100);
              }
          }) {}
    ~Burst() {
        FStop.store(true);
        FThread.join();
    }

private:
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// Checks the received stream byte by byte.
struct Checker {
    std::size_t got = 0;
    bool ok = true;
    long long lastNs = 0;
    void Feed(const char* p, std::size_t n) {
        for (std::size_t i = 0; i < n && ok; ++i)
            ok = static_cast<unsigned char>(p[i]) == (got + i) % 251;
        got += n;
        lastNs = NowNs();
    }
};

// Each contender's rates (MB/s) over the rounds; a broken run counts as 0.
std::map<std::string, std::vector<double>> g_rates;

void Print(const char* name, std::size_t bytes, const Checker& c, long long startNs) {
    const double s = static_cast<double>(c.lastNs - startNs) / 1e9;
    g_rates[name].push_back(c.ok && c.got == bytes && s > 0 ? static_cast<double>(c.got) / 1e6 / s
                                                            : 0.0);
    std::printf("%-28s %s %7.2f MB/s  (%zu of %zu bytes in %.3f s)\n", name,
                c.ok && c.got == bytes ? "whole, in order" : "BROKEN         ",
                s > 0 ? static_cast<double>(c.got) / 1e6 / s : 0.0, c.got, bytes, s);
    std::fflush(stdout);
}

void RunOurs(std::size_t bytes) {
    Pty pty(/*nonBlockingMaster=*/true);
    const std::string dir =
        std::filesystem::temp_directory_path() / ("kelvox-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(pty.path, dir + "/COM1");
    ::setenv("KELVOX_PORT_DIR", dir.c_str(), 1);
    Checker c;
    std::atomic<long long> start{0};
    {
        TAfComPort com;
        com.SetComNumber(1);
        com.SetBaudRate(br115200);
        com.Loaded();
        com.OnDataRecived = [&](QObject*, std::int32_t) {
            const std::string s = com.ReadString();
            c.Feed(s.data(), s.size());
        };
        com.Open();
        {
            Burst b(pty.master, bytes, start);
            RunLoopUntil([&] { return c.got >= bytes || !c.ok; }, 120000, 5);
        }
        com.Close();
    }
    std::filesystem::remove_all(dir);
    Print("kelvox component", bytes, c, start);
}

void RunQSerialPort(std::size_t bytes) {
    Pty pty(/*nonBlockingMaster=*/true);
    Checker c;
    std::atomic<long long> start{0};
    QSerialPort port;
    port.setPortName(QString::fromStdString(pty.path));
    if (!port.open(QIODevice::ReadWrite)) {
        std::printf("QSerialPort: cannot open %s\n", pty.path.c_str());
        return;
    }
    port.setBaudRate(115200);
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        const QByteArray d = port.readAll();
        c.Feed(d.constData(), static_cast<std::size_t>(d.size()));
    });
    {
        Burst b(pty.master, bytes, start);
        RunLoopUntil([&] { return c.got >= bytes || !c.ok; }, 120000, 5);
    }
    port.close();
    Print("QSerialPort", bytes, c, start);
}

void RunPyserial(std::size_t bytes) {
    Pty pty(/*nonBlockingMaster=*/true);
    PeerProcess peer = StartPyserialPeer("throughput", pty.path, std::to_string(bytes));
    if (peer.out < 0)
        return;
    std::string text;
    const auto ready = [](const std::string& t) { return t.find("ready\n") != std::string::npos; };
    if (!ReadUntil(peer.out, text, ready, 20000)) {
        std::printf("pyserial reader thread: did not start (python3-serial missing?)\n");
        EndChild(peer.pid, peer.out);
        return;
    }
    std::atomic<long long> start{0};
    {
        Burst b(pty.master, bytes, start);
        // The peer prints its result and ends within 120 s of its start.
        ReadUntil(
            peer.out, text, [](const std::string&) { return false; }, 130000);
    }
    EndChild(peer.pid, peer.out);
    long long first = 0, last = 0;
    int ok = 0;
    const std::size_t at = text.find("ready\n");
    if (at == std::string::npos ||
        std::sscanf(text.c_str() + at + 6, "%lld %lld %d", &first, &last, &ok) != 3) {
        std::printf("pyserial reader thread: no result (python3-serial missing?)\n");
        return;
    }
    Checker c;
    c.got = ok ? bytes : 0;
    c.ok = ok != 0;
    c.lastNs = last;
    Print("pyserial reader thread", bytes, c, start);
}

} // namespace

int main(int argc, char** argv) {
    std::size_t mib = 4;
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--mib" && i + 1 < argc)
            mib = static_cast<std::size_t>(std::atoi(argv[++i]));
        else if (a == "--rounds" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::size_t bytes = mib << 20;
    std::printf("%zu MiB burst through a pseudo-terminal, %d round(s)\n", mib, rounds);
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == 1)
            RunQSerialPort(bytes);
        RunOurs(bytes);
        if (r % 2 == 0)
            RunQSerialPort(bytes);
        RunPyserial(bytes);
    }
    for (auto& [name, rates] : g_rates) {
        std::sort(rates.begin(), rates.end());
        std::printf("median over %zu round(s): %-24s %7.2f MB/s\n", rates.size(), name.c_str(),
                    rates[rates.size() / 2]);
    }
    return 0;
}
