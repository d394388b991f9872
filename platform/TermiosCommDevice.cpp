#include "platform/TermiosCommDevice.h"

#include "platform/SystemError.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

// Watched modem lines are sampled this often.
constexpr int kLineSampleMs = 50;
// The input queue holds at least this much, whatever SetupQueues asked: a
// pseudo-terminal or a USB adapter hands over up to 4 KiB at a time, and a
// burst gathers many of those before one report.
constexpr std::size_t kMinInputQueue = 64 * 1024;
// A look at the tty that finds this much is taken to be in the middle of a
// burst: more has probably come by the time the bytes are read, so a reader
// then looks at the tty itself instead of leaving it to the event waiter.
constexpr std::size_t kBurstTakeIn = 1024;
// In a burst the waiter keeps taking bytes in before it reports, as long as
// each look finds more within kGatherLook, for kGatherLimit at most.
constexpr std::chrono::microseconds kGatherLook{250};
constexpr std::chrono::microseconds kGatherLimit{2000};

constexpr win::DWORD kModemEvents = win::EV_CTS | win::EV_DSR | win::EV_RLSD | win::EV_RING;

int TcGetAttr(int fd, termios& t) {
    return RetryOnEintr([&] { return ::tcgetattr(fd, &t); });
}

int TcSetAttr(int fd, const termios& t) {
    return RetryOnEintr([&] { return ::tcsetattr(fd, TCSANOW, &t); });
}

// The rate the line runs at now, also a non-standard one.
unsigned CurrentRate(int fd, const termios& t) {
    unsigned rate = 0;
    if (detail::GetArbitraryRate(fd, rate) && rate != 0)
        return rate;
    return detail::RateOfCode(cfgetospeed(&t));
}

// Sets or clears modem control lines. Drivers without modem lines (pseudo-
// terminals) answer ENOTTY or EINVAL, which is not an error here.
void SetLines(int fd, int bits, bool on) {
    IoctlRetry(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

} // namespace

CommOpenResult TermiosCommDevice::Open(const std::string& path, int comNumber,
                                       const PortOpenContext& context) {
    CommOpenResult result;
    result.Path = path;
    PortOpenResult opened = OpenPortDescriptor(path, context);
    if (opened.Fd < 0) {
        result.Error = opened.Error;
        result.SystemError = opened.SystemError;
        return result;
    }
    UniqueFd owned(opened.Fd);
    const int fd = owned.Get();
    termios t{};
    bool ok = TcGetAttr(fd, t) == 0;
    const win::DCB initial = detail::DcbFromTermios(t, ok ? CurrentRate(fd, t) : 0);
    if (ok) {
        detail::MakeRaw(t);
        ok = TcSetAttr(fd, t) == 0;
    }
    if (!ok) {
        result.SystemError = errno;
        result.Error = CommOpenError::CannotOpen;
        ClosePortDescriptor(owned.Release());
        return result;
    }
    std::unique_ptr<TermiosCommDevice> device(
        new TermiosCommDevice(std::move(owned), comNumber, *context.Uart));
    device->shadow_ = initial;
    {
        // Line errors count from the open on, not from the last boot.
        std::lock_guard lock(device->mutex_);
        device->SampleCountersLocked();
        device->errors_ = 0;
        device->pending_ = 0;
    }
    result.Device = std::move(device);
    return result;
}

TermiosCommDevice::TermiosCommDevice(UniqueFd fd, int comNumber, UartAccess& uart)
    : fd_(std::move(fd)), comNumber_(comNumber), uart_(uart), queue_(kMinInputQueue) {}

TermiosCommDevice::~TermiosCommDevice() {
    ClosePortDescriptor(fd_.Release());
}

bool TermiosCommDevice::SetTimeouts(const win::COMMTIMEOUTS&) {
    return true; // nothing here ever waits on them; see CommDevice
}

bool TermiosCommDevice::SetupQueues(win::DWORD inQueue, win::DWORD outQueue) {
    std::lock_guard lock(mutex_);
    const std::size_t size = std::max<std::size_t>(inQueue, kMinInputQueue);
    if (size > queue_.size()) {
        // Grows the ring, keeping what it holds in order.
        std::vector<char> bigger(size);
        for (std::size_t i = 0; i < queued_; ++i)
            bigger[i] = queue_[(head_ + i) % queue_.size()];
        queue_.swap(bigger);
        head_ = 0;
    }
    outQueue_ = outQueue;
    return true;
}

namespace {

bool IsHangUpError(int err) {
    return SystemErrorClassOf(err) == SystemErrorClass::Gone;
}

constexpr win::DWORD kLineStatusErrors = win::CE_FRAME | win::CE_OVERRUN | win::CE_RXPARITY;

win::DWORD ChangedErrors(const UartCounters& before, const UartCounters& now) {
    win::DWORD errors = 0;
    if (now.Frame != before.Frame)
        errors |= win::CE_FRAME;
    if (now.Overrun != before.Overrun)
        errors |= win::CE_OVERRUN;
    if (now.Parity != before.Parity)
        errors |= win::CE_RXPARITY;
    if (now.Break != before.Break)
        errors |= win::CE_BREAK;
    if (now.BufferOverrun != before.BufferOverrun)
        errors |= win::CE_RXOVER;
    return errors;
}

} // namespace

void TermiosCommDevice::HangUpLocked() {
    if (hungUp_)
        return;
    hungUp_ = true;
    errors_ |= win::CE_IOE;
    if (mask_ & win::EV_ERR)
        pending_ |= win::EV_ERR;
    // Found by any thread: the waiter reports it, and no longer polls the
    // descriptor (a dead tty polls ready for ever).
    wake_.Set();
}

bool TermiosCommDevice::WatchingModemLinesLocked() const {
    return (mask_ & kModemEvents) && watchModem_ && modemSupported_ && !hungUp_;
}

int TermiosCommDevice::NextSampleInLocked(long long nowMs) const {
    if (!WatchingModemLinesLocked())
        return InfiniteWait;
    const long long due = lastSampleMs_ + kLineSampleMs - nowMs;
    return due > 0 ? static_cast<int>(due) : 0;
}

void TermiosCommDevice::SampleCountersLocked() {
    if (!countersSupported_ || hungUp_)
        return;
    UartCounters now;
    if (uart_.Counters(fd_.Get(), now) < 0) {
        if (IsHangUpError(errno))
            HangUpLocked();
        else
            countersSupported_ = false; // pseudo-terminals and the like
        return;
    }
    const win::DWORD changed = countersValid_ ? ChangedErrors(counters_, now) : 0;
    counters_ = now;
    countersValid_ = true;
    if (changed == 0)
        return;
    errors_ |= changed;
    // Only frame, overrun and parity errors are line-status errors; a break
    // is an event of its own, and a full tty buffer is no event at all.
    if (changed & kLineStatusErrors)
        pending_ |= win::EV_ERR & mask_;
    if (changed & win::CE_BREAK)
        pending_ |= win::EV_BREAK & mask_;
}

void TermiosCommDevice::SampleModemLinesLocked(long long nowMs) {
    lastSampleMs_ = nowMs;
    int bits = 0;
    if (uart_.ModemLines(fd_.Get(), bits) < 0) {
        if (IsHangUpError(errno))
            HangUpLocked();
        else
            modemSupported_ = false;
        return;
    }
    if (modemBaseValid_) {
        const int changed = bits ^ modemBase_;
        win::DWORD events = 0;
        if (changed & TIOCM_CTS)
            events |= win::EV_CTS;
        if (changed & TIOCM_DSR)
            events |= win::EV_DSR;
        if (changed & TIOCM_CD)
            events |= win::EV_RLSD;
        if (changed & TIOCM_RI)
            events |= win::EV_RING;
        pending_ |= events & mask_;
    }
    modemBase_ = bits;
    modemBaseValid_ = true;
}

void TermiosCommDevice::FillQueueLocked(bool silent) {
    std::size_t arrived = 0;
    while (!hungUp_ && !QueueFullLocked()) {
        // The free run of the ring behind the queued bytes.
        const std::size_t tail = (head_ + queued_) % queue_.size();
        const std::size_t room = tail >= head_ ? queue_.size() - tail : head_ - tail;
        const ssize_t n =
            RetryOnEintr([&] { return ::read(fd_.Get(), queue_.data() + tail, room); });
        if (n > 0) {
            queued_ += static_cast<std::size_t>(n);
            arrived += static_cast<std::size_t>(n);
            // A short read: the tty has no more just now. (Reading again at
            // once would wait for the kernel to move its next buffer in,
            // which costs a burst more than the gathering's wait does.)
            if (static_cast<std::size_t>(n) < room)
                break;
            continue;
        }
        // With VMIN and VTIME 0 an empty tty reads as 0 bytes (a hung-up one
        // too; the poll tells those apart).
        if (n < 0 && IsHangUpError(errno))
            HangUpLocked();
        break;
    }
    lastTakeIn_ = arrived;
    if (arrived == 0)
        return;
    if (!silent)
        unreported_ += arrived;
    // Errors come in with the bytes they spoiled (a UART counts them before
    // it hands the bytes on), so they are reported together.
    SampleCountersLocked();
}

void TermiosCommDevice::TakeArrivalsLocked() {
    if (unreported_ == 0)
        return;
    if (mask_ & win::EV_RXCHAR)
        pending_ |= win::EV_RXCHAR;
    unreported_ = 0;
}

void TermiosCommDevice::TakeInUnwatchedLocked() {
    // A waiter watching the tty takes bytes in as they come, and one away
    // reporting them takes in the rest when it is back (a look here would
    // mostly find nothing); otherwise the caller looks itself.
    if (!waiting_ && !reporting_)
        FillQueueLocked(/*silent=*/false);
}

bool TermiosCommDevice::SetEventMask(win::DWORD mask) {
    std::lock_guard lock(mutex_);
    mask_ = mask;
    if (mask == 0)
        reporting_ = false; // a waiter coming back finds nothing to wait for
    // Fresh baselines: what happened before the mask was set is no event.
    FillQueueLocked(/*silent=*/true);
    SampleCountersLocked();
    pending_ = 0;
    unreported_ = 0;
    modemBaseValid_ = false;
    if (WatchingModemLinesLocked())
        SampleModemLinesLocked(MonotonicMs());
    if (waiting_) {
        maskChanged_ = true;
        wake_.Set();
    }
    return true;
}

win::DWORD TermiosCommDevice::EventMask() {
    std::lock_guard lock(mutex_);
    return mask_;
}

void TermiosCommDevice::WatchModemLines(bool on) {
    std::lock_guard lock(mutex_);
    if (watchModem_ == on)
        return;
    watchModem_ = on;
    modemBaseValid_ = false;
    if (WatchingModemLinesLocked())
        SampleModemLinesLocked(MonotonicMs());
    if (waiting_)
        wake_.Set(); // the waiter's sampling pace has changed
}

bool TermiosCommDevice::SetState(const win::DCB& dcb) {
    std::lock_guard lock(mutex_);
    const int fd = fd_.Get();
    termios old{};
    if (TcGetAttr(fd, old) < 0)
        return false;
    termios t = old;
    if (!detail::TermiosFromDcb(dcb, t)) {
        errno = EINVAL; // a record termios cannot express
        return false;
    }

    speed_t code = 0;
    const bool standard = detail::StandardRateCode(dcb.BaudRate, code);
    if (TcSetAttr(fd, t) < 0)
        return false;
    if (!standard && !detail::SetArbitraryRate(fd, dcb.BaudRate)) {
        // Back to the settings in force before, keeping the rate's cause.
        const int cause = errno;
        TcSetAttr(fd, old);
        errno = cause;
        return false;
    }

    // DTR and RTS follow their control fields; under handshake the driver
    // drives RTS itself.
    const win::DWORD dtr = win::dtrControlOf(dcb.Flags);
    const win::DWORD rts = win::rtsControlOf(dcb.Flags);
    SetLines(fd, TIOCM_DTR, dtr == win::DTR_CONTROL_ENABLE);
    if (!(t.c_cflag & CRTSCTS))
        SetLines(fd, TIOCM_RTS, rts != win::RTS_CONTROL_DISABLE);
    shadow_ = dcb;
    return true;
}

bool TermiosCommDevice::GetState(win::DCB& dcb) {
    std::lock_guard lock(mutex_);
    dcb = shadow_;
    return true;
}

int TermiosCommDevice::WaitEvent(std::span<Event* const> events, std::size_t commSlot,
                                 int timeoutMs, win::DWORD& mask) {
    if (commSlot > events.size())
        return WaitFailed;
    {
        std::lock_guard lock(mutex_);
        if (waiting_)
            return WaitFailed; // only one waiter at a time
        waiting_ = true;
        reporting_ = false;
        maskChanged_ = false;
    }
    // Set on the way out when the waiter leaves to report comm events.
    bool reporting = false;
    struct WaitingGuard {
        TermiosCommDevice* self;
        const bool& reporting;
        ~WaitingGuard() {
            std::lock_guard lock(self->mutex_);
            self->waiting_ = false;
            self->reporting_ = reporting && self->mask_ != 0;
            self->maskChanged_ = false;
        }
    } guard{this, reporting};

    // The events, then the wake-up, then the device.
    const std::size_t wakeAt = events.size();
    const std::size_t deviceAt = events.size() + 1;
    pollfd fdsOnStack[8];
    std::vector<pollfd> fdsOnHeap;
    pollfd* fds = fdsOnStack;
    if (events.size() + 2 > std::size(fdsOnStack)) {
        fdsOnHeap.resize(events.size() + 2);
        fds = fdsOnHeap.data();
    }
    for (std::size_t i = 0; i < events.size(); ++i)
        fds[i] = pollfd{events[i]->Fd(), POLLIN, 0};
    fds[wakeAt] = pollfd{wake_.Fd(), POLLIN, 0};

    const long long start = MonotonicMs();
    for (;;) {
        int wait;
        {
            std::lock_guard lock(mutex_);
            const long long now = MonotonicMs();
            if (NextSampleInLocked(now) == 0)
                SampleModemLinesLocked(now);
            wait = RemainingMs(start, timeoutMs);
            TakeArrivalsLocked();
            if (maskChanged_ || mask_ == 0 || pending_ != 0) {
                wait = 0;
            } else {
                const int sampleIn = NextSampleInLocked(now);
                if (sampleIn != InfiniteWait && (wait == InfiniteWait || sampleIn < wait))
                    wait = sampleIn;
            }
            // A full queue takes nothing more; the tty holds the rest.
            const bool watch = !hungUp_ && !QueueFullLocked();
            fds[deviceAt] = pollfd{watch ? fd_.Get() : -1, POLLIN, 0};
        }
        fds[deviceAt].revents = 0;
        if (PollRetry(fds, deviceAt + 1, wait) < 0)
            return WaitFailed;
        if (fds[wakeAt].revents & POLLIN)
            wake_.TryTake();
        const short device = fds[deviceAt].revents;

        const int taken = TakeInWaitOrder(events, fds, commSlot, [&] {
            std::lock_guard lock(mutex_);
            if (device & POLLIN)
                FillQueueLocked(/*silent=*/false);
            if (device & (POLLHUP | POLLERR | POLLNVAL)) {
                // Bytes that came before the hang-up are still taken in.
                FillQueueLocked(/*silent=*/false);
                HangUpLocked();
            }
            TakeArrivalsLocked();
            if (maskChanged_ || mask_ == 0) {
                mask = 0;
                return true;
            }
            if (pending_ != 0) {
                mask = pending_;
                pending_ = 0;
                reporting = lastTakeIn_ < kBurstTakeIn;
                return true;
            }
            return false;
        });
        if (taken == static_cast<int>(commSlot) && mask != 0 && !reporting) {
            GatherBurst(wake_.Fd());
            std::lock_guard lock(mutex_);
            TakeArrivalsLocked();
            if (!maskChanged_ && mask_ != 0) {
                mask |= pending_;
                pending_ = 0;
            }
            reporting = lastTakeIn_ < kBurstTakeIn;
        }
        if (taken >= 0)
            return taken;
        if (RemainingMs(start, timeoutMs) == 0)
            return WaitTimeout;
    }
}

void TermiosCommDevice::GatherBurst(int wakeFd) {
    using std::chrono::steady_clock;
    const auto until = steady_clock::now() + kGatherLimit;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            // Half the queue is left for what comes while the report is
            // handled.
            if (lastTakeIn_ < kBurstTakeIn || hungUp_ || maskChanged_ ||
                queued_ >= queue_.size() / 2)
                return;
        }
        const auto left = until - steady_clock::now();
        if (left <= steady_clock::duration::zero())
            return;
        const auto look = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::min<steady_clock::duration>(left, kGatherLook));
        const timespec ts{0, static_cast<long>(look.count())};
        // A signalled wake-up (a stop, a changed mask) ends the gathering at
        // once and stays set for the next wait; a hang-up is left to it too.
        pollfd fds[2] = {{fd_.Get(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::ppoll(fds, 2, &ts, nullptr) <= 0 || fds[1].revents != 0 || fds[0].revents != POLLIN)
            return;
        std::lock_guard lock(mutex_);
        FillQueueLocked(/*silent=*/false);
    }
}

std::ptrdiff_t TermiosCommDevice::Read(void* destination, std::size_t count) {
    if (count == 0)
        return 0;
    // Also after a hang-up: bytes that came before it can still be read.
    std::lock_guard lock(mutex_);
    TakeInUnwatchedLocked();
    const bool wasFull = QueueFullLocked();
    auto* out = static_cast<char*>(destination);
    std::size_t done = 0;
    while (done < count && queued_ > 0) {
        const std::size_t run = std::min({count - done, queued_, queue_.size() - head_});
        std::memcpy(out + done, queue_.data() + head_, run);
        head_ = (head_ + run) % queue_.size();
        queued_ -= run;
        done += run;
    }
    // Bytes read are no longer news.
    unreported_ = std::min(unreported_, queued_);
    if (wasFull && done > 0 && waiting_)
        wake_.Set(); // the waiter watches the tty again
    return static_cast<std::ptrdiff_t>(done);
}

std::size_t TermiosCommDevice::InputQueued() {
    std::lock_guard lock(mutex_);
    return queued_;
}

int TermiosCommDevice::BurstFd() {
    std::lock_guard lock(mutex_);
    // A waiter away with a burst (reporting_ unset) leaves the tty to the
    // readers; watching it from the report keeps the burst moving meanwhile.
    const bool burst = !waiting_ && !reporting_ && lastTakeIn_ >= kBurstTakeIn;
    return burst && mask_ != 0 && !hungUp_ && !QueueFullLocked() ? fd_.Get() : -1;
}

bool TermiosCommDevice::TakeInWhileAway() {
    std::lock_guard lock(mutex_);
    if (mask_ == 0)
        return false;
    FillQueueLocked(/*silent=*/false);
    return lastTakeIn_ > 0 && !hungUp_ && !QueueFullLocked();
}

std::ptrdiff_t TermiosCommDevice::Write(const void* source, std::size_t count) {
    if (count == 0)
        return 0;
    const ssize_t n = RetryOnEintr([&] { return ::write(fd_.Get(), source, count); });
    if (n >= 0)
        return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return 0;
    if (IsHangUpError(errno)) {
        std::lock_guard lock(mutex_);
        HangUpLocked();
    }
    return -1;
}

int TermiosCommDevice::WaitWritable(std::span<Event* const> events, std::size_t deviceSlot,
                                    int timeoutMs) {
    if (deviceSlot > events.size())
        return WaitFailed;
    {
        std::lock_guard lock(mutex_);
        if (writeWaiting_)
            return WaitFailed;
        writeWaiting_ = true;
    }
    struct WaitingGuard {
        TermiosCommDevice* self;
        ~WaitingGuard() {
            std::lock_guard lock(self->mutex_);
            self->writeWaiting_ = false;
        }
    } guard{this};

    std::vector<pollfd> fds(events.size() + 1);
    const long long start = MonotonicMs();
    for (;;) {
        bool dead;
        {
            std::lock_guard lock(mutex_);
            dead = hungUp_;
        }
        for (std::size_t i = 0; i < events.size(); ++i)
            fds[i] = pollfd{events[i]->Fd(), POLLIN, 0};
        // A dead device is not polled (it would be ready for ever); it
        // answers at once in its place instead.
        fds[events.size()] = pollfd{dead ? -1 : fd_.Get(), POLLOUT, 0};
        if (PollRetry(fds.data(), fds.size(), dead ? 0 : RemainingMs(start, timeoutMs)) < 0)
            return WaitFailed;
        const short device = fds[events.size()].revents;
        if (device & (POLLHUP | POLLERR | POLLNVAL)) {
            std::lock_guard lock(mutex_);
            HangUpLocked();
            dead = true;
        }
        const int taken = TakeInWaitOrder(events, fds.data(), deviceSlot,
                                          [&] { return dead || (device & POLLOUT); });
        if (taken >= 0)
            return taken;
        if (RemainingMs(start, timeoutMs) == 0)
            return WaitTimeout;
    }
}

bool TermiosCommDevice::ClearError(win::DWORD& errors, win::COMSTAT* status) {
    std::lock_guard lock(mutex_);
    // A status answers what has come by now, also while the waiter is away
    // reporting; errors alone need no look.
    if (status != nullptr && !waiting_)
        FillQueueLocked(/*silent=*/false);
    else
        TakeInUnwatchedLocked();
    const win::DWORD before = pending_;
    SampleCountersLocked();
    if (pending_ != before && waiting_)
        wake_.Set(); // errors that came without bytes: the waiter reports them
    win::DWORD outQueue = 0;
    if (status != nullptr) {
        int value = 0;
        if (!hungUp_ && IoctlRetry(fd_.Get(), TIOCOUTQ, &value) == 0)
            outQueue = static_cast<win::DWORD>(std::max(value, 0));
        status->Flags = 0;
        status->cbInQue = static_cast<win::DWORD>(queued_);
        status->cbOutQue = outQueue;
    }
    errors = errors_;
    errors_ = 0;
    return true;
}

bool TermiosCommDevice::Purge(win::DWORD flags) {
    const bool rx = flags & (win::PURGE_RXABORT | win::PURGE_RXCLEAR);
    const bool tx = flags & (win::PURGE_TXABORT | win::PURGE_TXCLEAR);
    if (!rx && !tx)
        return true;
    std::lock_guard lock(mutex_);
    if (rx) {
        if (QueueFullLocked())
            wake_.Set();
        head_ = 0;
        queued_ = 0;
        unreported_ = 0;
    }
    const int how = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
    if (RetryOnEintr([&] { return ::tcflush(fd_.Get(), how); }) < 0) {
        if (IsHangUpError(errno))
            HangUpLocked();
        return false;
    }
    return true;
}

bool TermiosCommDevice::EscapeFunction(win::DWORD code) {
    std::lock_guard lock(mutex_);
    if (hungUp_)
        return false;
    const int fd = fd_.Get();
    int bits = 0;
    unsigned long request = 0;
    switch (code) {
    case win::SETDTR:
    case win::CLRDTR:
        bits = TIOCM_DTR;
        request = code == win::SETDTR ? TIOCMBIS : TIOCMBIC;
        break;
    case win::SETRTS:
    case win::CLRRTS: {
        // Under handshake the driver owns RTS; Linux would accept the change
        // and quietly undo it.
        const win::DWORD rts = win::rtsControlOf(shadow_.Flags);
        if (rts == win::RTS_CONTROL_HANDSHAKE || rts == win::RTS_CONTROL_TOGGLE)
            return false;
        bits = TIOCM_RTS;
        request = code == win::SETRTS ? TIOCMBIS : TIOCMBIC;
        break;
    }
    case win::SETBREAK:
        return IoctlRetry(fd, TIOCSBRK, nullptr) == 0;
    case win::CLRBREAK:
        return IoctlRetry(fd, TIOCCBRK, nullptr) == 0;
    case win::SETXOFF:
    case win::SETXON:
        return RetryOnEintr([&] { return ::tcflow(fd, code == win::SETXOFF ? TCOOFF : TCOON); }) ==
               0;
    default:
        return false;
    }
    return IoctlRetry(fd, request, &bits) == 0;
}

// ---------------------------------------------------------------------------

CommOpenResult TermiosCommBackend::Open(int comNumber) {
    const std::string path = ComPortPath(comNumber);
    if (path.empty()) {
        CommOpenResult result;
        result.Error = CommOpenError::NotFound;
        result.SystemError = ENOENT;
        return result;
    }
    return TermiosCommDevice::Open(path, comNumber, context_);
}

PortProbe TermiosCommBackend::Probe(int comNumber) {
    return ProbePortPath(ComPortPath(comNumber), context_);
}

bool TermiosCommBackend::Exists(int comNumber) {
    const std::string path = ComPortPath(comNumber);
    return !path.empty() && ::access(path.c_str(), F_OK) == 0;
}

} // namespace platform
