#include "platform/Headless.h"

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

int g_pipe[2] = {-1, -1};

extern "C" void onSignal(int signo) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    // A full pipe only loses repeats of signals already waiting there.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

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
        else if (arg.startsWith(u'-'))
            return CommandLine{false, false, false, QStringLiteral("unknown option '%1'").arg(arg)};
        else
            return CommandLine{false, false, false,
                               QStringLiteral("unexpected argument '%1'").arg(arg)};
    }
    return result;
}

QString UsageText() {
    return QStringLiteral(
        "Usage: kelvox [--headless] [--help] [--version]\n"
        "Shows the readings of a serial thermometer and sends them to a web server.\n"
        "\n"
        "  --headless  run without windows or tray icon; event log lines go to\n"
        "              standard output, messages to standard error; SIGINT, SIGTERM\n"
        "              and SIGHUP save and exit, SIGUSR1 sends the temperature now\n"
        "  --help      show this text and exit\n"
        "  --version   show the version and exit\n"
        "\n"
        "Without DISPLAY and WAYLAND_DISPLAY the program runs headless by itself.\n"
        "Environment: KELVOX_HOME (directory for settings and logs), KELVOX_PORT_DIR\n"
        "(directory of COM<n> entries naming the serial devices), KELVOX_MINUTE_MS\n"
        "(length of one period minute in milliseconds, default 60000).\n");
}

bool HasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QString JournalPrefix(const QString& text) {
    // JOURNAL_STREAM is inherited by children whose output goes elsewhere, so
    // it counts only when it names the very stream standard output is. Fixed
    // for the process: standard output is not redirected while it runs.
    static const bool journal = [] {
        const QByteArray value = qgetenv("JOURNAL_STREAM");
        const int colon = value.indexOf(':');
        bool devOk = false, inoOk = false;
        const qulonglong dev = value.left(colon).toULongLong(&devOk);
        const qulonglong ino = value.mid(colon + 1).toULongLong(&inoOk);
        struct stat st {};
        return colon > 0 && devOk && inoOk && ::fstat(STDOUT_FILENO, &st) == 0 &&
               dev == static_cast<qulonglong>(st.st_dev) &&
               ino == static_cast<qulonglong>(st.st_ino);
    }();
    if (!journal)
        return {};
    return text.startsWith(QStringLiteral("ERR")) ? QStringLiteral("<3>") : QStringLiteral("<6>");
}

void EchoToStdout(const QString& line) {
    const QByteArray bytes = line.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool InstallSignalPipe(std::initializer_list<int> signalNumbers) {
    if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    bool ok = true;
    for (int s : signalNumbers)
        ok = ::sigaction(s, &sa, nullptr) == 0 && ok;
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
    // Everything waiting is read first and each signal is delivered once: a
    // handler may block for a long time (a send to a server that does not
    // answer), and the repeats that pile up meanwhile must not each run it
    // again back to back, ahead of everything else the program has to do.
    std::vector<int> pending;
    unsigned char buffer[64];
    for (;;) {
        const ssize_t n = ::read(g_pipe[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
            if (std::find(pending.begin(), pending.end(), buffer[i]) == pending.end())
                pending.push_back(buffer[i]);
    }
    for (const int signo : pending)
        if (OnSignal)
            OnSignal(signo);
}

} // namespace platform
