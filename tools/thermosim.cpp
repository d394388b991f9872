// thermosim: a simulated serial thermometer on a pseudo-terminal.
//
// Prints the terminal's device path on the first line of standard output,
// optionally links it as DIR/COM<n> (for KELVOX_PORT_DIR), and writes
// readings the way the thermometer does ("+025.6C" then CR) following a slow
// curve with a little noise.
//
//   thermosim [--link-dir DIR --com N] [--interval-ms MS] [--start VALUE]
//             [--count N] [--silent-after N --silent-for S]
//             [--garbage-every N] [--hangup-after N] [--print]
//
// The master side is non-blocking: when nobody reads the terminal and its
// queue is full, readings are dropped rather than stalling the tool.
// SIGINT, SIGTERM and SIGHUP end it cleanly (exit 0), removing the link.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>

namespace {

struct Options {
    std::string LinkDir;
    int Com = 0;
    long IntervalMs = 1000;
    double Start = 21.0;
    long Count = -1; // readings; -1 = endless
    long SilentAfter = -1;
    double SilentFor = 0;
    long GarbageEvery = 0;
    long HangupAfter = -1;
    bool Print = false;
};

void PrintUsage(std::FILE* to) {
    std::fputs(
        "usage: thermosim [options]\n"
        "  --link-dir DIR --com N   link the terminal as DIR/COM<N>\n"
        "  --interval-ms MS         time between readings (default 1000)\n"
        "  --start VALUE            temperature the curve swings around (default 21.0)\n"
        "  --count N                stop after N readings\n"
        "  --silent-after N         go quiet after N readings ...\n"
        "  --silent-for S           ... for S seconds (default 0)\n"
        "  --garbage-every N        send a garbage line after every N-th reading\n"
        "  --hangup-after N         hang up (close the terminal) after N readings, then exit\n"
        "  --print                  echo each reading to standard output\n",
        to);
}

bool ParseLong(const char* text, long minimum, long& out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < minimum)
        return false;
    out = value;
    return true;
}

bool ParseDouble(const char* text, double& out) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value))
        return false;
    out = value;
    return true;
}

std::optional<Options> ParseArguments(int argc, char** argv, bool& help) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return o;
        }
        if (arg == "--print") {
            o.Print = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "thermosim: unknown or incomplete option: %s\n", arg.c_str());
            return std::nullopt;
        }
        const char* value = argv[++i];
        long number = 0;
        bool ok = true;
        if (arg == "--link-dir") {
            o.LinkDir = value;
        } else if (arg == "--com") {
            ok = ParseLong(value, 1, number) && number <= 255;
            o.Com = static_cast<int>(number);
        } else if (arg == "--interval-ms") {
            ok = ParseLong(value, 0, o.IntervalMs);
        } else if (arg == "--start") {
            ok = ParseDouble(value, o.Start) && std::fabs(o.Start) < 990;
        } else if (arg == "--count") {
            ok = ParseLong(value, 0, o.Count);
        } else if (arg == "--silent-after") {
            ok = ParseLong(value, 0, o.SilentAfter);
        } else if (arg == "--silent-for") {
            ok = ParseDouble(value, o.SilentFor) && o.SilentFor >= 0;
        } else if (arg == "--garbage-every") {
            ok = ParseLong(value, 1, o.GarbageEvery);
        } else if (arg == "--hangup-after") {
            ok = ParseLong(value, 0, o.HangupAfter);
        } else {
            std::fprintf(stderr, "thermosim: unknown option: %s\n", arg.c_str());
            return std::nullopt;
        }
        if (!ok) {
            std::fprintf(stderr, "thermosim: bad value for %s: %s\n", arg.c_str(), value);
            return std::nullopt;
        }
    }
    if (o.LinkDir.empty() != (o.Com == 0)) {
        std::fprintf(stderr, "thermosim: --link-dir and --com go together\n");
        return std::nullopt;
    }
    return o;
}

// "+025.6C": sign, three integer digits, one decimal, "C". A value that
// rounds to zero is "+000.0C", never "-000.0C".
std::string FormatReading(double value) {
    long tenths = std::lround(value * 10.0);
    const char sign = tenths < 0 ? '-' : '+';
    tenths = std::labs(tenths);
    if (tenths > 9999)
        tenths = 9999;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%03ld.%ldC", sign, tenths / 10, tenths % 10);
    return buf;
}

// Slow swing of three degrees over ten minutes of simulated time, plus noise
// of a few hundredths.
class Curve {
public:
    Curve(double start, long intervalMs) : start_(start), intervalMs_(intervalMs) {}
    double Next() {
        const double seconds =
            static_cast<double>(index_++) * static_cast<double>(intervalMs_) / 1000.0;
        const double swing = 3.0 * std::sin(2.0 * M_PI * seconds / 600.0);
        return start_ + swing + noise_(random_);
    }

private:
    double start_;
    long intervalMs_;
    long index_ = 0;
    std::mt19937 random_{std::random_device{}()};
    std::uniform_real_distribution<double> noise_{-0.05, 0.05};
};

bool SetRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

class Terminal {
public:
    ~Terminal() { Close(); }

    bool Open() {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            std::perror("thermosim: openpty");
            return false;
        }
        path_ = name;
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
        // Our own slave descriptor stays open so that the terminal survives
        // the reader closing and reopening it.
        if (!SetRaw(slave_) || !SetRaw(master_)) {
            std::perror("thermosim: raw mode");
            return false;
        }
        const int flags = fcntl(master_, F_GETFL);
        if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
            std::perror("thermosim: non-blocking");
            return false;
        }
        return true;
    }

    const std::string& Path() const { return path_; }

    // Queues text unless an earlier text is still waiting; sends what the
    // terminal takes. Returns false when the text was dropped.
    bool Send(const std::string& text) {
        Flush();
        if (!pending_.empty())
            return false;
        pending_ = text;
        Flush();
        return true;
    }

    // Writes as much of the waiting text as the terminal takes, and throws
    // away whatever the reader sent us (the thermometer ignores input).
    void Flush() {
        char sink[512];
        while (read(master_, sink, sizeof sink) > 0) {
        }
        while (!pending_.empty()) {
            const ssize_t n = write(master_, pending_.data(), pending_.size());
            if (n > 0) {
                pending_.erase(0, static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break; // full (EAGAIN) or gone: try again at the next tick
            }
        }
    }

    bool IsOpen() const { return master_ >= 0; }

    // True when everything sent has been read from the terminal.
    bool Drained() {
        Flush();
        int queued = 0;
        return pending_.empty() && (ioctl(slave_, FIONREAD, &queued) != 0 || queued == 0);
    }

    void Close() {
        if (slave_ >= 0)
            close(slave_);
        if (master_ >= 0)
            close(master_);
        slave_ = master_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::string pending_;
};

class Link {
public:
    ~Link() { Remove(); }

    bool Create(const std::string& dir, int com, const std::string& target) {
        path_ = dir + "/COM" + std::to_string(com);
        target_ = target;
        struct stat st {};
        if (lstat(path_.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                std::fprintf(stderr, "thermosim: %s exists and is not a link\n", path_.c_str());
                path_.clear();
                return false;
            }
            unlink(path_.c_str()); // a stale link left by an earlier run
        }
        if (symlink(target.c_str(), path_.c_str()) != 0) {
            std::fprintf(stderr, "thermosim: cannot link %s: %s\n", path_.c_str(),
                         std::strerror(errno));
            path_.clear();
            return false;
        }
        return true;
    }

    // Removes the link, but only while it still points at our terminal: a
    // newer simulator may have taken the name over.
    void Remove() {
        if (path_.empty())
            return;
        char buf[4096];
        const ssize_t n = readlink(path_.c_str(), buf, sizeof buf - 1);
        if (n >= 0 && std::string(buf, static_cast<std::size_t>(n)) == target_)
            unlink(path_.c_str());
        path_.clear();
    }

private:
    std::string path_;
    std::string target_;
};

// Sleeps up to ms milliseconds; returns true when a stop signal came.
bool WaitOrStop(const sigset_t& signals, double ms) {
    if (ms < 0)
        ms = 0;
    timespec limit{};
    limit.tv_sec = static_cast<time_t>(ms / 1000.0);
    limit.tv_nsec = static_cast<long>(std::fmod(ms, 1000.0) * 1e6);
    for (;;) {
        const int sig = sigtimedwait(&signals, nullptr, &limit);
        if (sig > 0)
            return true;
        if (errno == EAGAIN)
            return false;
        if (errno != EINTR)
            return false;
    }
}

} // namespace

int main(int argc, char** argv) {
    bool help = false;
    const auto parsed = ParseArguments(argc, argv, help);
    if (help) {
        PrintUsage(stdout);
        return 0;
    }
    if (!parsed) {
        PrintUsage(stderr);
        return 2;
    }
    const Options o = *parsed;

    // Taken by sigtimedwait while blocked. An ignored signal would be
    // discarded instead of kept pending, and a parent shell may have left
    // SIGINT ignored (background jobs): restore the defaults first.
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        signal(sig, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Terminal terminal;
    if (!terminal.Open())
        return 1;
    Link link;
    if (!o.LinkDir.empty() && !link.Create(o.LinkDir, o.Com, terminal.Path()))
        return 1;
    // The first line announces a terminal that is ready, link included.
    std::printf("%s\n", terminal.Path().c_str());
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    Curve curve(o.Start, o.IntervalMs);
    auto next = Clock::now();
    long sent = 0;
    bool silenced = false;
    for (;;) {
        if (o.Count >= 0 && sent >= o.Count)
            break;
        if (o.HangupAfter >= 0 && sent >= o.HangupAfter) {
            // Closing the master side is a hang-up for whoever reads.
            terminal.Close();
            break;
        }
        if (!silenced && o.SilentAfter >= 0 && sent == o.SilentAfter && o.SilentFor > 0) {
            silenced = true;
            if (WaitOrStop(stopSignals, o.SilentFor * 1000.0))
                return 0;
            next = Clock::now();
        }

        const std::string reading = FormatReading(curve.Next());
        terminal.Send(reading + "\r");
        ++sent;
        if (o.Print) {
            std::printf("%s\n", reading.c_str());
            std::fflush(stdout);
        }
        if (o.GarbageEvery > 0 && sent % o.GarbageEvery == 0) {
            terminal.Send("#E?x*\r");
            if (o.Print) {
                std::printf("garbage #E?x*\n");
                std::fflush(stdout);
            }
        }

        next += std::chrono::milliseconds(o.IntervalMs);
        const auto now = Clock::now();
        if (next < now)
            next = now; // fell behind (a stop of the process): do not burst
        const double waitMs = std::chrono::duration<double, std::milli>(next - now).count();
        if (WaitOrStop(stopSignals, waitMs))
            return 0;
    }
    // The terminal's queue is thrown away when it closes with us: give a
    // reader up to two seconds to take the last readings (not after a
    // hang-up, which is meant to be abrupt).
    if (terminal.IsOpen()) {
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (!terminal.Drained() && Clock::now() < deadline) {
            if (WaitOrStop(stopSignals, 20))
                break;
        }
    }
    return 0;
}
