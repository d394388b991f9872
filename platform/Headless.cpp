#include "platform/Headless.h"

#include "platform/LineEcho.h"

#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {
namespace {

int g_pipe[2] = {-1, -1};

// One flag per signal number says the signal is waiting to be served; the
// pipe only wakes the main thread. So a pipe filled by a flood of one signal
// cannot lose another, and repeats of a waiting signal collapse into one.
std::atomic<bool> g_raised[NSIG];
static_assert(std::atomic<bool>::is_always_lock_free, "used in a signal handler");

// The installed signals in the order they are served.
std::vector<int>& servedOrder() {
    static std::vector<int> order;
    return order;
}

extern "C" void onSignal(int signo) {
    const int saved = errno;
    g_raised[signo].store(true);
    const unsigned char byte = static_cast<unsigned char>(signo);
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

// Standard output is left to a writer thread of its own, so that a reader
// who stops reading cannot stop the program. Never destroyed: the process
// may end while that writer is blocked on such a reader. Main thread.
LineEcho* g_echo = nullptr;
std::function<QString()> g_echoHeader; // main thread

} // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
    CommandLine result;
    for (const QString& arg : arguments) {
        if (arg == QStringLiteral("--headless"))
            result.Headless = true;
        else if (arg == QStringLiteral("--help") || arg == QStringLiteral("-h"))
            result.Help = true;
        else if (arg == QStringLiteral("--version"))
            result.Version = true;
        else if (arg == QStringLiteral("--check"))
            result.Check = true;
        else if (arg == QStringLiteral("--find"))
            result.Find = true;
        else if (arg == QStringLiteral("--save"))
            result.Save = true;
        else if (arg.startsWith(u'-'))
            return CommandLine{.Error = QStringLiteral("unknown option '%1'").arg(arg)};
        else
            return CommandLine{.Error = QStringLiteral("unexpected argument '%1'").arg(arg)};
    }
    if (result.Save && !result.Find)
        return CommandLine{.Error = QStringLiteral("--save goes with --find")};
    return result;
}

QString UsageText() {
    return QStringLiteral(
        "Usage: kelvox [--headless] [--check] [--find [--save]] [--help] [--version]\n"
        "Shows the readings of a serial thermometer and sends them to a web server.\n"
        "\n"
        "  --headless  run without windows or tray icon; event log lines go to\n"
        "              standard output, messages to standard error; SIGINT and\n"
        "              SIGTERM save and exit, SIGHUP reads kelvox.ini again,\n"
        "              SIGUSR1 sends the temperature now\n"
        "  --check     check the settings file, print every problem (or OK), exit\n"
        "  --find      listen 3 s on every free serial port (sending nothing), print\n"
        "              what each one sent, exit 0 when one thermometer was found,\n"
        "              1 when none, 2 when several\n"
        "  --save      with --find: write the thermometer's port to kelvox.ini\n"
        "  --help      show this text and exit\n"
        "  --version   show the version and exit\n"
        "\n"
        "Without DISPLAY and WAYLAND_DISPLAY, or when the display cannot be reached,\n"
        "the program runs headless by itself.\n"
        "Environment: KELVOX_HOME (directory for settings and logs), KELVOX_PORT_DIR\n"
        "(directory of COM<n> entries naming the serial devices), KELVOX_MINUTE_MS\n"
        "(length of one period minute in milliseconds, default 60000).\n");
}

bool HasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

namespace {
// JOURNAL_STREAM is inherited by children whose output goes elsewhere, so it
// counts only when it names the very stream `fd` is.
bool isJournal(int fd) {
    const QByteArray value = qgetenv("JOURNAL_STREAM");
    const int colon = value.indexOf(':');
    bool devOk = false, inoOk = false;
    const qulonglong dev = value.left(colon).toULongLong(&devOk);
    const qulonglong ino = value.mid(colon + 1).toULongLong(&inoOk);
    struct stat st {};
    return colon > 0 && devOk && inoOk && ::fstat(fd, &st) == 0 &&
           dev == static_cast<qulonglong>(st.st_dev) && ino == static_cast<qulonglong>(st.st_ino);
}
} // namespace

QString ErrorPrefix() {
    static const bool journal = isJournal(STDERR_FILENO);
    return journal ? QStringLiteral("<3>") : QString();
}

QString JournalPrefix(const QString& text) {
    // Fixed for the process: standard output is not redirected while it runs.
    static const bool journal = isJournal(STDOUT_FILENO);
    if (!journal)
        return {};
    return text.startsWith(QStringLiteral("ERR")) ? QStringLiteral("<3>") : QStringLiteral("<6>");
}

void EchoToStdout(const QString& line) {
    constexpr std::size_t kQueuedBytes = 256 * 1024;
    EchoHeaderNow();
    if (!g_echo)
        g_echo = new LineEcho(STDOUT_FILENO, kQueuedBytes);
    g_echo->Write(line.toLocal8Bit());
}

void SetEchoHeader(std::function<QString()> makeLine) {
    g_echoHeader = std::move(makeLine);
}

void EchoHeaderNow() {
    if (!g_echoHeader)
        return;
    const auto makeLine = std::exchange(g_echoHeader, nullptr);
    EchoToStdout(makeLine());
}

void FlushEcho() {
    if (g_echo)
        g_echo->Flush(LineEcho::FlushLimit);
}

bool InstallSignalPipe(std::initializer_list<int> signalNumbers) {
    if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    // This call's signals are served first, then those of earlier calls.
    std::vector<int> order(signalNumbers);
    for (int s : servedOrder())
        if (std::find(order.begin(), order.end(), s) == order.end())
            order.push_back(s);
    bool ok = true;
    for (int s : signalNumbers) {
        if (s <= 0 || s >= NSIG)
            return false;
        ok = ::sigaction(s, &sa, nullptr) == 0 && ok;
    }
    servedOrder() = std::move(order);
    return ok;
}

SignalRelay::SignalRelay(QObject* parent) : QObject(parent) {
    if (g_pipe[0] < 0)
        return;
    Notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(Notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });
}

SignalRelay::~SignalRelay() = default;

void SignalRelay::Drain() {
    unsigned char buffer[256];
    for (;;) {
        const ssize_t n = ::read(g_pipe[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
    }
    // Each waiting signal once, in the served order. One raised while a
    // handler runs (a stop during a send) has put a byte into the emptied
    // pipe, so the notifier brings it here again right after.
    for (int signo : servedOrder())
        if (g_raised[signo].exchange(false) && OnSignal)
            OnSignal(signo);
}

} // namespace platform
