// Shared pieces of the serial benchmarks: a raw pseudo-terminal pair, a
// monotonic nanosecond clock, running the event loop until a condition holds
// and starting the pyserial peer script. Header-only: every bench/*.cpp is
// its own program. Use from the main thread.
#pragma once

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef KELVOX_SOURCE_DIR
#define KELVOX_SOURCE_DIR "."
#endif

namespace ptybench {

using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC, as Python's monotonic_ns

inline long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// A pseudo-terminal pair, master side raw; the program exits when none can
// be had. nonBlockingMaster: writes to the master return at once when the
// pair is full instead of waiting for room.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    explicit Pty(bool nonBlockingMaster = false) {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) < 0) {
            std::perror("openpty");
            std::exit(1);
        }
        path = name;
        termios t{};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSANOW, &t);
        if (nonBlockingMaster)
            ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    }
    ~Pty() {
        ::close(slave);
        ::close(master);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

// Runs the application's event loop until done() holds (checked every
// checkMs) or limitMs has passed.
inline void RunLoopUntil(const std::function<bool()>& done, int limitMs, int checkMs) {
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done())
            QCoreApplication::quit();
    });
    check.start(checkMs);
    QTimer limit; // owned here, so it cannot end a later loop
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::quit(); });
    limit.start(limitMs);
    QCoreApplication::exec();
}

// The pyserial peer (bench/pyserial_peer.py) as a child process; its
// standard output comes back on `out`. pid and out are -1 when no pipe
// could be made.
struct PeerProcess {
    pid_t pid = -1;
    int out = -1;
};

inline PeerProcess StartPyserialPeer(const char* mode, const std::string& path,
                                     const std::string& arg) {
    const std::string script = std::string(KELVOX_SOURCE_DIR) + "/bench/pyserial_peer.py";
    int out[2];
    if (::pipe(out) < 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        ::execl("/usr/bin/python3", "python3", script.c_str(), mode, path.c_str(), arg.c_str(),
                static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(out[1]);
    return {child, out[0]};
}

// Reads from fd into text until done(text) holds (true), the writer closes
// its end or fails (false), or limitMs has passed (false). Never blocks past
// the limit, whatever the other side does.
inline bool ReadUntil(int fd, std::string& text,
                      const std::function<bool(const std::string&)>& done, int limitMs) {
    const long long end = NowNs() + static_cast<long long>(limitMs) * 1000000;
    char buffer[65536];
    while (!done(text)) {
        const long long left = (end - NowNs()) / 1000000;
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

// Ends a child for good: closes its output, kills it if it still runs and
// reaps it.
inline void EndChild(pid_t pid, int& out) {
    if (out >= 0)
        ::close(out);
    out = -1;
    if (pid <= 0)
        return;
    if (::waitpid(pid, nullptr, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

} // namespace ptybench
