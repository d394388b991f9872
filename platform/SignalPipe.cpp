#include "platform/SignalPipe.h"

#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
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

} // namespace

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
