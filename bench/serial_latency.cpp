// Latency of one reading through a pseudo-terminal: from the moment the
// reading is written into the other side until
//   - OnDataRecived runs on the main thread, and
//   - ReadString has returned it,
// with the main thread in its ordinary event loop. Peers on the same kind of
// pty in the same run: QSerialPort with readyRead (main thread, event loop),
// and a pyserial reader thread (bench/pyserial_peer.py under /usr/bin/python3).
//
//   bench_serial_latency [--count N] [--spacing-ms N] [--no-peers] [--sequential]
//
// Readings go out every 10 ms by default, 10,000 of them per contender. The
// contenders run side by side (each in its own process, on its own pty), so
// that they meet the same load on the machine; --sequential runs them one
// after the other in this process.
#include "bench/PtyBench.h"
#include "serial/AfComPort.h"

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

int g_offsetMs = 0; // when this contender's first reading goes out, after 50 ms

std::string Reading(int seq) {
    return "+" + std::to_string(seq / 10) + "." + std::to_string(seq % 10) + "\r";
}

// Collects complete readings from a byte stream and stamps each.
class Receiver {
public:
    explicit Receiver(std::vector<long long>& stamps) : FStamps(stamps) {}
    // Stamps every reading completed by these bytes with ns; their numbers
    // go to `completed` when given.
    void Feed(const std::string& bytes, long long ns, std::vector<int>* completed = nullptr) {
        for (char c : bytes) {
            if (c != '\r') {
                FLine += c;
                continue;
            }
            const auto dot = FLine.find('.');
            if (FLine.size() > 1 && FLine[0] == '+' && dot != std::string::npos) {
                const int seq =
                    std::atoi(FLine.c_str() + 1) * 10 + std::atoi(FLine.c_str() + dot + 1);
                if (seq >= 0 && seq < static_cast<int>(FStamps.size()) && FStamps[seq] == 0) {
                    FStamps[seq] = ns;
                    ++FCount;
                    if (completed)
                        completed->push_back(seq);
                }
            }
            FLine.clear();
        }
    }
    int Count() const { return FCount; }

private:
    std::vector<long long>& FStamps;
    std::string FLine;
    int FCount = 0;
};

// Writes `count` readings into the master side, one every spacing, stamping
// each just before its write.
class Writer {
public:
    Writer(int master, int count, int spacingMs, std::vector<long long>& sent)
        : FThread([=, &sent] {
              auto next = Clock::now() + std::chrono::milliseconds(50 + g_offsetMs);
              for (int i = 0; i < count; ++i) {
                  std::this_thread::sleep_until(next);
                  next += std::chrono::milliseconds(spacingMs);
                  const std::string r = Reading(i);
                  sent[i] = NowNs();
                  if (::write(master, r.data(), r.size()) != static_cast<ssize_t>(r.size()))
                      std::perror("write");
              }
          }) {}
    ~Writer() { FThread.join(); }

private:
    std::thread FThread;
};

struct Stats {
    double medianUs = 0, p99Us = 0, maxUs = 0;
    int n = 0;
};

Stats Summarise(const std::vector<long long>& sent, const std::vector<long long>& got) {
    std::vector<double> us;
    for (std::size_t i = 0; i < sent.size(); ++i)
        if (sent[i] && got[i])
            us.push_back(static_cast<double>(got[i] - sent[i]) / 1000.0);
    Stats s;
    s.n = static_cast<int>(us.size());
    if (us.empty())
        return s;
    std::sort(us.begin(), us.end());
    s.medianUs = us[us.size() / 2];
    s.p99Us = us[std::min(us.size() - 1, static_cast<std::size_t>(us.size() * 0.99))];
    s.maxUs = us.back();
    return s;
}

void Print(const char* name, const Stats& s, int expected) {
    std::printf("%-36s n=%5d/%d  median %8.1f us  p99 %8.1f us  max %9.1f us\n", name, s.n,
                expected, s.medianUs, s.p99Us, s.maxUs);
    std::fflush(stdout);
}

void RunOurs(int count, int spacingMs) {
    Pty pty;
    const std::string dir =
        std::filesystem::temp_directory_path() / ("kelvox-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(pty.path, dir + "/COM1");
    ::setenv("KELVOX_PORT_DIR", dir.c_str(), 1);

    std::vector<long long> sent(count), handler(count), read(count);
    Receiver atRead(read);
    {
        TAfComPort com;
        com.setObjectName(QStringLiteral("AfComPort1"));
        com.SetBaudRate(br9600);
        com.SetComNumber(1);
        com.Loaded();
        std::vector<int> completed;
        com.OnDataRecived = [&](QObject*, std::int32_t) {
            const long long t1 = NowNs();
            const std::string s = com.ReadString();
            const long long t2 = NowNs();
            // Every reading completed by this call got its handler at t1.
            completed.clear();
            atRead.Feed(s, t2, &completed);
            for (int seq : completed)
                handler[seq] = t1;
        };
        com.Open();
        {
            Writer w(pty.master, count, spacingMs, sent);
            RunLoopUntil([&] { return atRead.Count() >= count; }, count * spacingMs + 10000, 20);
        }
        com.Close();
    }
    std::filesystem::remove_all(dir);
    Print("kelvox: write -> OnDataRecived", Summarise(sent, handler), count);
    Print("kelvox: write -> ReadString done", Summarise(sent, read), count);
}

void RunQSerialPort(int count, int spacingMs) {
    Pty pty;
    std::vector<long long> sent(count), got(count);
    Receiver rx(got);
    QSerialPort port;
    port.setPortName(QString::fromStdString(pty.path));
    if (!port.open(QIODevice::ReadWrite)) {
        std::printf("QSerialPort: cannot open %s: %s\n", pty.path.c_str(),
                    port.errorString().toLocal8Bit().constData());
        return;
    }
    port.setBaudRate(9600);
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        const QByteArray data = port.readAll();
        rx.Feed(data.toStdString(), NowNs());
    });
    {
        Writer w(pty.master, count, spacingMs, sent);
        RunLoopUntil([&] { return rx.Count() >= count; }, count * spacingMs + 10000, 20);
    }
    port.close();
    Print("QSerialPort: write -> readAll done", Summarise(sent, got), count);
}

void RunPyserial(int count, int spacingMs) {
    Pty pty;
    PeerProcess peer = StartPyserialPeer("latency", pty.path, std::to_string(count));
    if (peer.out < 0)
        return;
    // The peer says "ready" once its reader thread runs.
    std::string text;
    const auto ready = [](const std::string& t) { return t.find("ready\n") != std::string::npos; };
    if (!ReadUntil(peer.out, text, ready, 20000)) {
        std::printf("pyserial peer did not start (python3-serial missing?)\n");
        EndChild(peer.pid, peer.out);
        return;
    }
    std::vector<long long> sent(count), got(count);
    {
        Writer w(pty.master, count, spacingMs, sent);
        // The peer prints its result and ends once it has seen every reading,
        // or when its own time limit passes.
        ReadUntil(
            peer.out, text, [](const std::string&) { return false; },
            static_cast<int>(count) * (spacingMs + 50) + 70000);
    }
    EndChild(peer.pid, peer.out);
    // Lines "seq ns".
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        const std::string line = text.substr(pos, end == std::string::npos ? end : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        int seq;
        long long ns;
        if (std::sscanf(line.c_str(), "%d %lld", &seq, &ns) == 2 && seq >= 0 && seq < count)
            got[seq] = ns;
    }
    Print("pyserial thread: write -> read done", Summarise(sent, got), count);
}

// Starts this program again as one contender; its output comes back on the
// returned descriptor.
struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child SpawnSelf(const std::vector<std::string>& args) {
    Child c;
    int fds[2];
    if (::pipe(fds) < 0)
        return c;
    c.pid = ::fork();
    if (c.pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        std::vector<char*> argv;
        std::string self = "/proc/self/exe";
        argv.push_back(self.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    ::close(fds[1]);
    c.out = fds[0];
    return c;
}

// The contender's output; one that has not finished within limitMs is
// killed.
std::string Collect(Child& c, int limitMs) {
    std::string text;
    ReadUntil(
        c.out, text, [](const std::string&) { return false; }, limitMs);
    EndChild(c.pid, c.out);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    int count = 10000;
    int spacingMs = 10;
    int offsetMs = 0;
    bool peers = true;
    bool sequential = false;
    std::string contender;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--count" && i + 1 < argc)
            count = std::atoi(argv[++i]);
        else if (a == "--spacing-ms" && i + 1 < argc)
            spacingMs = std::atoi(argv[++i]);
        else if (a == "--offset-ms" && i + 1 < argc)
            offsetMs = std::atoi(argv[++i]);
        else if (a == "--contender" && i + 1 < argc)
            contender = argv[++i];
        else if (a == "--no-peers")
            peers = false;
        else if (a == "--sequential")
            sequential = true;
    }
    g_offsetMs = offsetMs;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (contender == "kelvox" || contender == "qserialport") {
        QApplication app(argc, argv);
        if (contender == "kelvox")
            RunOurs(count, spacingMs);
        else
            RunQSerialPort(count, spacingMs);
        return 0;
    }
    std::printf("%d readings, one every %d ms, through a pseudo-terminal (%s)\n", count, spacingMs,
                sequential || !peers ? "one contender at a time" : "contenders side by side");
    std::fflush(stdout);
    if (sequential || !peers) {
        QApplication app(argc, argv);
        RunOurs(count, spacingMs);
        if (peers) {
            RunQSerialPort(count, spacingMs);
            RunPyserial(count, spacingMs);
        }
        return 0;
    }
    // Side by side: every contender sees the same load on the machine. The
    // writers are staggered by a few milliseconds so that their readings do
    // not arrive at the same instant.
    const std::string n = std::to_string(count), sp = std::to_string(spacingMs);
    Child ours =
        SpawnSelf({"--contender", "kelvox", "--count", n, "--spacing-ms", sp, "--offset-ms", "0"});
    Child qt = SpawnSelf({"--contender", "qserialport", "--count", n, "--spacing-ms", sp,
                          "--offset-ms", std::to_string(spacingMs / 3)});
    g_offsetMs = 2 * spacingMs / 3;
    RunPyserial(count, spacingMs);
    // A contender runs count * spacing; one that hangs is killed well after.
    const int limitMs = count * (spacingMs + 5) + 60000;
    std::fputs(Collect(ours, limitMs).c_str(), stdout);
    std::fputs(Collect(qt, limitMs).c_str(), stdout);
    return 0;
}
