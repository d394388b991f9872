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
    device->Shadow_ = initial;
    if (opened.StaleExclusiveCleared)
        device->OpenNotice_ = path + " was left exclusive by a program that has ended; taken over";
    {
        // Line errors count from the open on, not from the last boot.
        std::lock_guard lock(device->Mutex_);
        device->SampleCountersLocked();
        device->Errors_ = 0;
        device->Pending_ = 0;
    }
    result.Device = std::move(device);
    return result;
}

TermiosCommDevice::TermiosCommDevice(UniqueFd fd, int comNumber, UartAccess& uart)
    : Fd_(std::move(fd)), ComNumber_(comNumber), Uart_(uart), Queue_(kMinInputQueue) {}

TermiosCommDevice::~TermiosCommDevice() {
    ClosePortDescriptor(Fd_.Release());
}

bool TermiosCommDevice::SetTimeouts(const win::COMMTIMEOUTS&) {
    return true; // nothing here ever waits on them; see CommDevice
}

bool TermiosCommDevice::SetupQueues(win::DWORD inQueue, win::DWORD outQueue) {
    std::lock_guard lock(Mutex_);
    const std::size_t size = std::max<std::size_t>(inQueue, kMinInputQueue);
    if (size > Queue_.size()) {
        // Grows the ring, keeping what it holds in order.
        std::vector<char> bigger(size);
        for (std::size_t i = 0; i < Queued_; ++i)
            bigger[i] = Queue_[(Head_ + i) % Queue_.size()];
        Queue_.swap(bigger);
        Head_ = 0;
    }
    OutQueue_ = outQueue;
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
    if (HungUp_)
        return;
    HungUp_ = true;
    Errors_ |= win::CE_IOE;
    if (Mask_ & win::EV_ERR)
        Pending_ |= win::EV_ERR;
    // Found by any thread: the waiter reports it, and no longer polls the
    // descriptor (a dead tty polls ready for ever).
    Wake_.Set();
}

bool TermiosCommDevice::WatchingModemLinesLocked() const {
    return (Mask_ & kModemEvents) && WatchModem_ && ModemSupported_ && !HungUp_;
}

int TermiosCommDevice::NextSampleInLocked(long long nowMs) const {
    if (!WatchingModemLinesLocked())
        return InfiniteWait;
    const long long due = LastSampleMs_ + kLineSampleMs - nowMs;
    return due > 0 ? static_cast<int>(due) : 0;
}

void TermiosCommDevice::SampleCountersLocked() {
    if (!CountersSupported_ || HungUp_)
        return;
    UartCounters now;
    if (Uart_.Counters(Fd_.Get(), now) < 0) {
        if (IsHangUpError(errno))
            HangUpLocked();
        else
            CountersSupported_ = false; // pseudo-terminals and the like
        return;
    }
    const win::DWORD changed = CountersValid_ ? ChangedErrors(Counters_, now) : 0;
    Counters_ = now;
    CountersValid_ = true;
    if (changed == 0)
        return;
    Errors_ |= changed;
    // Only frame, overrun and parity errors are line-status errors; a break
    // is an event of its own, and a full tty buffer is no event at all.
    if (changed & kLineStatusErrors)
        Pending_ |= win::EV_ERR & Mask_;
    if (changed & win::CE_BREAK)
        Pending_ |= win::EV_BREAK & Mask_;
}

void TermiosCommDevice::SampleModemLinesLocked(long long nowMs) {
    LastSampleMs_ = nowMs;
    int bits = 0;
    if (Uart_.ModemLines(Fd_.Get(), bits) < 0) {
        if (IsHangUpError(errno))
            HangUpLocked();
        else
            ModemSupported_ = false;
        return;
    }
    if (ModemBaseValid_) {
        const int changed = bits ^ ModemBase_;
        win::DWORD events = 0;
        if (changed & TIOCM_CTS)
            events |= win::EV_CTS;
        if (changed & TIOCM_DSR)
            events |= win::EV_DSR;
        if (changed & TIOCM_CD)
            events |= win::EV_RLSD;
        if (changed & TIOCM_RI)
            events |= win::EV_RING;
        Pending_ |= events & Mask_;
    }
    ModemBase_ = bits;
    ModemBaseValid_ = true;
}

void TermiosCommDevice::FillQueueLocked(bool silent) {
    std::size_t arrived = 0;
    while (!HungUp_ && !QueueFullLocked()) {
        // The free run of the ring behind the queued bytes.
        const std::size_t tail = (Head_ + Queued_) % Queue_.size();
        const std::size_t room = tail >= Head_ ? Queue_.size() - tail : Head_ - tail;
        const ssize_t n =
            RetryOnEintr([&] { return ::read(Fd_.Get(), Queue_.data() + tail, room); });
        if (n > 0) {
            Queued_ += static_cast<std::size_t>(n);
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
    LastTakeIn_ = arrived;
    if (arrived == 0)
        return;
    if (!silent)
        Unreported_ += arrived;
    // Errors come in with the bytes they spoiled (a UART counts them before
    // it hands the bytes on), so they are reported together.
    SampleCountersLocked();
}

void TermiosCommDevice::TakeArrivalsLocked() {
    if (Unreported_ == 0)
        return;
    if (Mask_ & win::EV_RXCHAR)
        Pending_ |= win::EV_RXCHAR;
    Unreported_ = 0;
}

void TermiosCommDevice::TakeInUnwatchedLocked() {
    // A waiter watching the tty takes bytes in as they come, and one away
    // reporting them takes in the rest when it is back (a look here would
    // mostly find nothing); otherwise the caller looks itself.
    if (!Waiting_ && !Reporting_)
        FillQueueLocked(/*silent=*/false);
}

bool TermiosCommDevice::SetEventMask(win::DWORD mask) {
    std::lock_guard lock(Mutex_);
    Mask_ = mask;
    if (mask == 0)
        Reporting_ = false; // a waiter coming back finds nothing to wait for
    // Fresh baselines: what happened before the mask was set is no event.
    FillQueueLocked(/*silent=*/true);
    SampleCountersLocked();
    Pending_ = 0;
    Unreported_ = 0;
    ModemBaseValid_ = false;
    if (WatchingModemLinesLocked())
        SampleModemLinesLocked(MonotonicMs());
    if (Waiting_) {
        MaskChanged_ = true;
        Wake_.Set();
    }
    return true;
}

win::DWORD TermiosCommDevice::EventMask() {
    std::lock_guard lock(Mutex_);
    return Mask_;
}

void TermiosCommDevice::WatchModemLines(bool on) {
    std::lock_guard lock(Mutex_);
    if (WatchModem_ == on)
        return;
    WatchModem_ = on;
    ModemBaseValid_ = false;
    if (WatchingModemLinesLocked())
        SampleModemLinesLocked(MonotonicMs());
    if (Waiting_)
        Wake_.Set(); // the waiter's sampling pace has changed
}

bool TermiosCommDevice::SetState(const win::DCB& dcb) {
    std::lock_guard lock(Mutex_);
    const int fd = Fd_.Get();
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
    Shadow_ = dcb;
    return true;
}

bool TermiosCommDevice::GetState(win::DCB& dcb) {
    std::lock_guard lock(Mutex_);
    dcb = Shadow_;
    return true;
}

int TermiosCommDevice::WaitEvent(std::span<Event* const> events, std::size_t commSlot,
                                 int timeoutMs, win::DWORD& mask) {
    if (commSlot > events.size())
        return WaitFailed;
    {
        std::lock_guard lock(Mutex_);
        if (Waiting_)
            return WaitFailed; // only one waiter at a time
        Waiting_ = true;
        Reporting_ = false;
        MaskChanged_ = false;
    }
    // Set on the way out when the waiter leaves to report comm events.
    bool reporting = false;
    struct WaitingGuard {
        TermiosCommDevice* self;
        const bool& reporting;
        ~WaitingGuard() {
            std::lock_guard lock(self->Mutex_);
            self->Waiting_ = false;
            self->Reporting_ = reporting && self->Mask_ != 0;
            self->MaskChanged_ = false;
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
    fds[wakeAt] = pollfd{Wake_.Fd(), POLLIN, 0};

    const long long start = MonotonicMs();
    for (;;) {
        int wait;
        {
            std::lock_guard lock(Mutex_);
            const long long now = MonotonicMs();
            if (NextSampleInLocked(now) == 0)
                SampleModemLinesLocked(now);
            wait = RemainingMs(start, timeoutMs);
            TakeArrivalsLocked();
            if (MaskChanged_ || Mask_ == 0 || Pending_ != 0) {
                wait = 0;
            } else {
                const int sampleIn = NextSampleInLocked(now);
                if (sampleIn != InfiniteWait && (wait == InfiniteWait || sampleIn < wait))
                    wait = sampleIn;
            }
            // A full queue takes nothing more; the tty holds the rest.
            const bool watch = !HungUp_ && !QueueFullLocked();
            fds[deviceAt] = pollfd{watch ? Fd_.Get() : -1, POLLIN, 0};
        }
        fds[deviceAt].revents = 0;
        if (PollRetry(fds, deviceAt + 1, wait) < 0)
            return WaitFailed;
        if (fds[wakeAt].revents & POLLIN)
            Wake_.TryTake();
        const short device = fds[deviceAt].revents;

        const int taken = TakeInWaitOrder(events, fds, commSlot, [&] {
            std::lock_guard lock(Mutex_);
            if (device & POLLIN)
                FillQueueLocked(/*silent=*/false);
            if (device & (POLLHUP | POLLERR | POLLNVAL)) {
                // Bytes that came before the hang-up are still taken in.
                FillQueueLocked(/*silent=*/false);
                HangUpLocked();
            }
            TakeArrivalsLocked();
            if (MaskChanged_ || Mask_ == 0) {
                mask = 0;
                return true;
            }
            if (Pending_ != 0) {
                mask = Pending_;
                Pending_ = 0;
                reporting = LastTakeIn_ < kBurstTakeIn;
                return true;
            }
            return false;
        });
        if (taken == static_cast<int>(commSlot) && mask != 0 && !reporting) {
            GatherBurst(Wake_.Fd());
            std::lock_guard lock(Mutex_);
            TakeArrivalsLocked();
            if (!MaskChanged_ && Mask_ != 0) {
                mask |= Pending_;
                Pending_ = 0;
            }
            reporting = LastTakeIn_ < kBurstTakeIn;
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
            std::lock_guard lock(Mutex_);
            // Half the queue is left for what comes while the report is
            // handled.
            if (LastTakeIn_ < kBurstTakeIn || HungUp_ || MaskChanged_ ||
                Queued_ >= Queue_.size() / 2)
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
        pollfd fds[2] = {{Fd_.Get(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::ppoll(fds, 2, &ts, nullptr) <= 0 || fds[1].revents != 0 || fds[0].revents != POLLIN)
            return;
        std::lock_guard lock(Mutex_);
        FillQueueLocked(/*silent=*/false);
    }
}

std::ptrdiff_t TermiosCommDevice::Read(void* destination, std::size_t count) {
    if (count == 0)
        return 0;
    // Also after a hang-up: bytes that came before it can still be read.
    std::lock_guard lock(Mutex_);
    TakeInUnwatchedLocked();
    const bool wasFull = QueueFullLocked();
    auto* out = static_cast<char*>(destination);
    std::size_t done = 0;
    while (done < count && Queued_ > 0) {
        const std::size_t run = std::min({count - done, Queued_, Queue_.size() - Head_});
        std::memcpy(out + done, Queue_.data() + Head_, run);
        Head_ = (Head_ + run) % Queue_.size();
        Queued_ -= run;
        done += run;
    }
    // Bytes read are no longer news.
    Unreported_ = std::min(Unreported_, Queued_);
    if (wasFull && done > 0 && Waiting_)
        Wake_.Set(); // the waiter watches the tty again
    return static_cast<std::ptrdiff_t>(done);
}

std::size_t TermiosCommDevice::InputQueued() {
    std::lock_guard lock(Mutex_);
    return Queued_;
}

int TermiosCommDevice::BurstFd() {
    std::lock_guard lock(Mutex_);
    // A waiter away with a burst (Reporting_ unset) leaves the tty to the
    // readers; watching it from the report keeps the burst moving meanwhile.
    const bool burst = !Waiting_ && !Reporting_ && LastTakeIn_ >= kBurstTakeIn;
    return burst && Mask_ != 0 && !HungUp_ && !QueueFullLocked() ? Fd_.Get() : -1;
}

bool TermiosCommDevice::TakeInWhileAway() {
    std::lock_guard lock(Mutex_);
    if (Mask_ == 0)
        return false;
    FillQueueLocked(/*silent=*/false);
    return LastTakeIn_ > 0 && !HungUp_ && !QueueFullLocked();
}

std::ptrdiff_t TermiosCommDevice::Write(const void* source, std::size_t count) {
    if (count == 0)
        return 0;
    const ssize_t n = RetryOnEintr([&] { return ::write(Fd_.Get(), source, count); });
    if (n >= 0)
        return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return 0;
    if (IsHangUpError(errno)) {
        std::lock_guard lock(Mutex_);
        HangUpLocked();
    }
    return -1;
}

int TermiosCommDevice::WaitWritable(std::span<Event* const> events, std::size_t deviceSlot,
                                    int timeoutMs) {
    if (deviceSlot > events.size())
        return WaitFailed;
    {
        std::lock_guard lock(Mutex_);
        if (WriteWaiting_)
            return WaitFailed;
        WriteWaiting_ = true;
    }
    struct WaitingGuard {
        TermiosCommDevice* self;
        ~WaitingGuard() {
            std::lock_guard lock(self->Mutex_);
            self->WriteWaiting_ = false;
        }
    } guard{this};

    std::vector<pollfd> fds(events.size() + 1);
    const long long start = MonotonicMs();
    for (;;) {
        bool dead;
        {
            std::lock_guard lock(Mutex_);
            dead = HungUp_;
        }
        for (std::size_t i = 0; i < events.size(); ++i)
            fds[i] = pollfd{events[i]->Fd(), POLLIN, 0};
        // A dead device is not polled (it would be ready for ever); it
        // answers at once in its place instead.
        fds[events.size()] = pollfd{dead ? -1 : Fd_.Get(), POLLOUT, 0};
        if (PollRetry(fds.data(), fds.size(), dead ? 0 : RemainingMs(start, timeoutMs)) < 0)
            return WaitFailed;
        const short device = fds[events.size()].revents;
        if (device & (POLLHUP | POLLERR | POLLNVAL)) {
            std::lock_guard lock(Mutex_);
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
    std::lock_guard lock(Mutex_);
    // A status answers what has come by now, also while the waiter is away
    // reporting; errors alone need no look.
    if (status != nullptr && !Waiting_)
        FillQueueLocked(/*silent=*/false);
    else
        TakeInUnwatchedLocked();
    const win::DWORD before = Pending_;
    SampleCountersLocked();
    if (Pending_ != before && Waiting_)
        Wake_.Set(); // errors that came without bytes: the waiter reports them
    win::DWORD outQueue = 0;
    if (status != nullptr) {
        int value = 0;
        if (!HungUp_ && IoctlRetry(Fd_.Get(), TIOCOUTQ, &value) == 0)
            outQueue = static_cast<win::DWORD>(std::max(value, 0));
        status->Flags = 0;
        status->cbInQue = static_cast<win::DWORD>(Queued_);
        status->cbOutQue = outQueue;
    }
    errors = Errors_;
    Errors_ = 0;
    return true;
}

bool TermiosCommDevice::Purge(win::DWORD flags) {
    const bool rx = flags & (win::PURGE_RXABORT | win::PURGE_RXCLEAR);
    const bool tx = flags & (win::PURGE_TXABORT | win::PURGE_TXCLEAR);
    if (!rx && !tx)
        return true;
    std::lock_guard lock(Mutex_);
    if (rx) {
        if (QueueFullLocked())
            Wake_.Set();
        Head_ = 0;
        Queued_ = 0;
        Unreported_ = 0;
    }
    const int how = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
    if (RetryOnEintr([&] { return ::tcflush(Fd_.Get(), how); }) < 0) {
        if (IsHangUpError(errno))
            HangUpLocked();
        return false;
    }
    return true;
}

bool TermiosCommDevice::EscapeFunction(win::DWORD code) {
    std::lock_guard lock(Mutex_);
    if (HungUp_)
        return false;
    const int fd = Fd_.Get();
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
        const win::DWORD rts = win::rtsControlOf(Shadow_.Flags);
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
    return TermiosCommDevice::Open(path, comNumber, Context_);
}

PortProbe TermiosCommBackend::Probe(int comNumber) {
    return ProbePortPath(ComPortPath(comNumber), Context_);
}

bool TermiosCommBackend::Exists(int comNumber) {
    const std::string path = ComPortPath(comNumber);
    return !path.empty() && ::access(path.c_str(), F_OK) == 0;
}

} // namespace platform
