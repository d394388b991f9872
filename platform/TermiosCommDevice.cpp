#include "platform/TermiosCommDevice.h"

#include "platform/PortMap.h"
#include "platform/SysRetry.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// Modem lines and error counters are looked at no more often than this.
constexpr int kLineSampleMs = 50;

constexpr win::DWORD kModemEvents = win::EV_CTS | win::EV_DSR | win::EV_RLSD | win::EV_RING;

int TcGetAttr(int fd, termios& t) {
    return RetryOnEintr([&] { return ::tcgetattr(fd, &t); });
}

int TcSetAttr(int fd, const termios& t) {
    return RetryOnEintr([&] { return ::tcsetattr(fd, TCSANOW, &t); });
}

struct RateEntry {
    speed_t Code;
    unsigned Rate;
};

constexpr RateEntry kRates[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

bool StandardRateCode(unsigned rate, speed_t& code) {
    for (const RateEntry& e : kRates) {
        if (e.Rate == rate) {
            code = e.Code;
            return true;
        }
    }
    return false;
}

unsigned RateOfCode(speed_t code) {
    for (const RateEntry& e : kRates) {
        if (e.Code == code)
            return e.Rate;
    }
    return 0;
}

// The rate the line runs at now, also a non-standard one.
unsigned CurrentRate(int fd, const termios& t) {
    unsigned rate = 0;
    if (detail::GetArbitraryRate(fd, rate) && rate != 0)
        return rate;
    return RateOfCode(cfgetospeed(&t));
}

} // namespace

win::DCB detail::DcbFromTermios(const termios& t, unsigned rate) {
    win::DCB dcb = DefaultDcb();
    dcb.BaudRate = rate != 0 ? rate : 9600;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB))
        dcb.Parity = win::NOPARITY;
    else if (t.c_cflag & CMSPAR)
        dcb.Parity = (t.c_cflag & PARODD) ? win::MARKPARITY : win::SPACEPARITY;
    else
        dcb.Parity = (t.c_cflag & PARODD) ? win::ODDPARITY : win::EVENPARITY;
    if (t.c_cflag & CSTOPB)
        dcb.StopBits = dcb.ByteSize == 5 ? win::ONE5STOPBITS : win::TWOSTOPBITS;
    else
        dcb.StopBits = win::ONESTOPBIT;

    win::DWORD flags = win::fBinary | win::dtrControlBits(win::DTR_CONTROL_ENABLE);
    if (t.c_iflag & INPCK)
        flags |= win::fParity;
    if (t.c_iflag & IXON)
        flags |= win::fOutX;
    if (t.c_iflag & IXOFF)
        flags |= win::fInX;
    if (t.c_cflag & CRTSCTS)
        flags |= win::fOutxCtsFlow | win::rtsControlBits(win::RTS_CONTROL_HANDSHAKE);
    else
        flags |= win::rtsControlBits(win::RTS_CONTROL_ENABLE);
    dcb.Flags = flags;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return dcb;
}

namespace {

// Raw mode: no echo, no line editing, no signals, no CR/LF translation, no
// output processing; reads return at once with what is there.
void MakeRaw(termios& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXANY | IMAXBEL | IUCLC);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | ICANON |
                                        ISIG | IEXTEN | NOFLSH | TOSTOP);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

// Sets or clears modem control lines. Drivers without modem lines (pseudo-
// terminals) answer ENOTTY or EINVAL, which is not an error here.
void SetLines(int fd, int bits, bool on) {
    IoctlRetry(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

} // namespace

bool detail::TermiosFromDcb(const win::DCB& dcb, termios& t) {
    // What the line cannot do is refused before anything is changed.
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8)
        return false;
    if (dcb.Parity > win::SPACEPARITY)
        return false;
    if (dcb.StopBits > win::TWOSTOPBITS)
        return false;
    // Linux spells 1.5 stop bits as CSTOPB with 5 data bits; two stop bits
    // with 5 data bits and 1.5 with more cannot be had.
    if (dcb.StopBits == win::ONE5STOPBITS && dcb.ByteSize != 5)
        return false;
    if (dcb.StopBits == win::TWOSTOPBITS && dcb.ByteSize == 5)
        return false;
    if (dcb.BaudRate == 0)
        return false;
    if (win::dtrControlOf(dcb.Flags) == win::DTR_CONTROL_HANDSHAKE ||
        (dcb.Flags & win::fOutxDsrFlow))
        return false; // no DTR/DSR handshake on Linux
    if ((dcb.Flags & (win::fOutX | win::fInX)) && dcb.XonChar == dcb.XoffChar)
        return false; // one character cannot both stop and start the flow

    MakeRaw(t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case win::ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
    case win::EVENPARITY:
        t.c_cflag |= PARENB;
        break;
    case win::MARKPARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case win::SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.StopBits != win::ONESTOPBIT)
        t.c_cflag |= CSTOPB;
    const win::DWORD rts = win::rtsControlOf(dcb.Flags);
    if ((dcb.Flags & win::fOutxCtsFlow) && rts == win::RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | INPCK | IGNPAR);
    if (dcb.Flags & win::fOutX)
        t.c_iflag |= IXON;
    if (dcb.Flags & win::fInX)
        t.c_iflag |= IXOFF;
    if (dcb.Flags & win::fParity)
        t.c_iflag |= INPCK;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    speed_t code = 0;
    if (StandardRateCode(dcb.BaudRate, code))
        cfsetspeed(&t, code);
    return true;
}

CommOpenResult TermiosCommDevice::Open(const std::string& path, int comNumber) {
    CommOpenResult result;
    PortOpenResult opened = OpenPortDescriptor(path);
    if (opened.Fd < 0) {
        result.Error = opened.Error;
        result.SystemError = opened.SystemError;
        return result;
    }
    const int fd = opened.Fd;
    auto fail = [&](int err, int epfd, int wfd) {
        if (wfd >= 0)
            ::close(wfd);
        if (epfd >= 0)
            ::close(epfd);
        ClosePortDescriptor(fd);
        result.Error = CommOpenError::CannotOpen;
        result.SystemError = err;
        return std::move(result);
    };

    termios t{};
    if (TcGetAttr(fd, t) < 0)
        return fail(errno, -1, -1);
    const win::DCB initial = detail::DcbFromTermios(t, CurrentRate(fd, t));
    MakeRaw(t);
    if (TcSetAttr(fd, t) < 0)
        return fail(errno, -1, -1);

    const int epfd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0)
        return fail(errno, -1, -1);
    const int wfd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wfd < 0)
        return fail(errno, epfd, -1);
    // Edge-triggered: the tty wakes its readers whenever bytes arrive, so
    // each arrival gives one notification, and unread bytes give none.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.fd = fd;
    if (::epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) < 0)
        return fail(errno, epfd, wfd);
    epoll_event wev{};
    wev.events = EPOLLIN;
    wev.data.fd = wfd;
    if (::epoll_ctl(epfd, EPOLL_CTL_ADD, wfd, &wev) < 0)
        return fail(errno, epfd, wfd);

    auto* device = new TermiosCommDevice(fd, epfd, wfd, comNumber);
    device->shadow_ = initial;
    int queued = 0;
    if (IoctlRetry(fd, FIONREAD, &queued) == 0 && queued > 0)
        device->knownInput_ = static_cast<std::size_t>(queued);
    {
        // Line errors count from the open on, not from the last boot.
        std::lock_guard lock(device->mutex_);
        device->ErrorsFromCountersLocked();
    }
    result.Device.reset(device);
    return result;
}

TermiosCommDevice::TermiosCommDevice(int fd, int epollFd, int wakeFd, int comNumber)
    : fd_(fd), epollFd_(epollFd), wakeFd_(wakeFd), comNumber_(comNumber) {}

TermiosCommDevice::~TermiosCommDevice() {
    ::close(wakeFd_);
    ::close(epollFd_);
    ClosePortDescriptor(fd_);
}

bool TermiosCommDevice::SetTimeouts(const win::COMMTIMEOUTS& timeouts) {
    std::lock_guard lock(mutex_);
    timeouts_ = timeouts;
    return true;
}

bool TermiosCommDevice::GetTimeouts(win::COMMTIMEOUTS& timeouts) {
    std::lock_guard lock(mutex_);
    timeouts = timeouts_;
    return true;
}

bool TermiosCommDevice::SetupQueues(win::DWORD inQueue, win::DWORD outQueue) {
    std::lock_guard lock(mutex_);
    inQueue_ = inQueue;
    outQueue_ = outQueue;
    return true;
}

bool TermiosCommDevice::IsHangUpError(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

void TermiosCommDevice::WakeWaiter() {
    const std::uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TermiosCommDevice::HangUpLocked() {
    if (hungUp_)
        return;
    hungUp_ = true;
    errors_ |= win::CE_IOE;
    if (mask_ & win::EV_ERR)
        pending_ |= win::EV_ERR;
    // A dead tty polls ready for ever; out of the set it cannot wake anyone.
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd_, nullptr);
    WakeWaiter();
}

bool TermiosCommDevice::WantsLineSamples() const {
    if (hungUp_)
        return false;
    return ((mask_ & kModemEvents) && modemSupported_) ||
           ((mask_ & win::EV_ERR) && countersSupported_);
}

int TermiosCommDevice::NextSampleInLocked(long long nowMs) const {
    if (!WantsLineSamples())
        return InfiniteWait;
    const long long due = lastSampleMs_ + kLineSampleMs - nowMs;
    return due > 0 ? static_cast<int>(due) : 0;
}

bool TermiosCommDevice::ReadCountersLocked(LineCounters& counters) {
    if (!countersSupported_ || hungUp_)
        return false;
    serial_icounter_struct ic{};
    if (IoctlRetry(fd_, TIOCGICOUNT, &ic) < 0) {
        if (IsHangUpError(errno))
            HangUpLocked();
        else
            countersSupported_ = false; // pseudo-terminals and the like
        return false;
    }
    counters.Frame = ic.frame;
    counters.Overrun = ic.overrun;
    counters.Parity = ic.parity;
    counters.Break = ic.brk;
    counters.BufferOverrun = ic.buf_overrun;
    return true;
}

win::DWORD TermiosCommDevice::ChangedErrors(const LineCounters& before, const LineCounters& now) {
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

win::DWORD TermiosCommDevice::ErrorsFromCountersLocked() {
    LineCounters now;
    if (!ReadCountersLocked(now))
        return 0;
    const win::DWORD errors = errorCountersValid_ ? ChangedErrors(errorCounters_, now) : 0;
    errorCounters_ = now;
    errorCountersValid_ = true;
    return errors;
}

void TermiosCommDevice::SampleLinesLocked(long long nowMs) {
    lastSampleMs_ = nowMs;
    if ((mask_ & kModemEvents) && modemSupported_ && !hungUp_) {
        int bits = 0;
        if (IoctlRetry(fd_, TIOCMGET, &bits) < 0) {
            if (IsHangUpError(errno))
                HangUpLocked();
            else
                modemSupported_ = false;
        } else {
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
    }
    if ((mask_ & win::EV_ERR) && countersSupported_ && !hungUp_) {
        LineCounters now;
        if (ReadCountersLocked(now)) {
            if (eventCountersValid_ && ChangedErrors(eventCounters_, now) != 0)
                pending_ |= win::EV_ERR;
            eventCounters_ = now;
            eventCountersValid_ = true;
        }
    }
}

void TermiosCommDevice::CollectLocked(bool drainEpoll) {
    if (drainEpoll) {
        epoll_event evs[4];
        int n;
        do {
            n = ::epoll_wait(epollFd_, evs, 4, 0);
        } while (n < 0 && errno == EINTR);
        for (int i = 0; i < n; ++i) {
            if (evs[i].data.fd == wakeFd_) {
                std::uint64_t value;
                while (::read(wakeFd_, &value, sizeof value) < 0 && errno == EINTR) {
                }
            } else if (evs[i].data.fd == fd_ && (evs[i].events & (EPOLLHUP | EPOLLERR))) {
                // Bytes that came before the hang-up are still counted below.
                int queued = 0;
                if (IoctlRetry(fd_, FIONREAD, &queued) == 0 &&
                    static_cast<std::size_t>(queued) > knownInput_ && (mask_ & win::EV_RXCHAR))
                    pending_ |= win::EV_RXCHAR;
                HangUpLocked();
            }
        }
    }
    if (hungUp_)
        return;
    int queued = 0;
    if (IoctlRetry(fd_, FIONREAD, &queued) < 0) {
        if (IsHangUpError(errno))
            HangUpLocked();
    } else {
        const auto now = static_cast<std::size_t>(queued);
        if (now > knownInput_ && (mask_ & win::EV_RXCHAR))
            pending_ |= win::EV_RXCHAR;
        knownInput_ = now;
    }
    const long long nowMs = MonotonicMs();
    if (NextSampleInLocked(nowMs) == 0)
        SampleLinesLocked(nowMs);
}

bool TermiosCommDevice::SetEventMask(win::DWORD mask) {
    std::lock_guard lock(mutex_);
    mask_ = mask;
    pending_ = 0;
    // Fresh baselines: what happened before the mask was set is not an event.
    int queued = 0;
    if (!hungUp_ && IoctlRetry(fd_, FIONREAD, &queued) == 0)
        knownInput_ = static_cast<std::size_t>(std::max(queued, 0));
    modemBaseValid_ = false;
    eventCountersValid_ = false;
    if (WantsLineSamples())
        SampleLinesLocked(MonotonicMs());
    if (waiting_) {
        maskChanged_ = true;
        WakeWaiter();
    }
    return true;
}

win::DWORD TermiosCommDevice::EventMask() {
    std::lock_guard lock(mutex_);
    return mask_;
}

bool TermiosCommDevice::SetState(const win::DCB& dcb) {
    std::lock_guard lock(mutex_);
    termios old{};
    if (TcGetAttr(fd_, old) < 0)
        return false;
    termios t = old;
    if (!detail::TermiosFromDcb(dcb, t))
        return false;

    speed_t code = 0;
    const bool standard = StandardRateCode(dcb.BaudRate, code);
    if (TcSetAttr(fd_, t) < 0)
        return false;
    if (!standard && !detail::SetArbitraryRate(fd_, dcb.BaudRate)) {
        TcSetAttr(fd_, old); // back to the settings in force before
        return false;
    }

    // DTR and RTS follow their control fields; under handshake the driver
    // drives RTS itself.
    const win::DWORD dtr = win::dtrControlOf(dcb.Flags);
    const win::DWORD rts = win::rtsControlOf(dcb.Flags);
    SetLines(fd_, TIOCM_DTR, dtr == win::DTR_CONTROL_ENABLE);
    if (!(t.c_cflag & CRTSCTS))
        SetLines(fd_, TIOCM_RTS, rts != win::RTS_CONTROL_DISABLE);
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
        maskChanged_ = false;
    }
    struct WaitingGuard {
        TermiosCommDevice* self;
        ~WaitingGuard() {
            std::lock_guard lock(self->mutex_);
            self->waiting_ = false;
            self->maskChanged_ = false;
        }
    } guard{this};

    std::vector<pollfd> fds(events.size() + 1);
    const long long start = MonotonicMs();
    bool drain = true; // look at the device once before sleeping
    for (;;) {
        bool commReady;
        int sampleIn;
        {
            std::lock_guard lock(mutex_);
            CollectLocked(drain);
            commReady = maskChanged_ || mask_ == 0 || pending_ != 0;
            sampleIn = NextSampleInLocked(MonotonicMs());
        }
        int wait = RemainingMs(start, timeoutMs);
        if (commReady)
            wait = 0;
        else if (sampleIn != InfiniteWait && (wait == InfiniteWait || sampleIn < wait))
            wait = sampleIn;
        for (std::size_t i = 0; i < events.size(); ++i)
            fds[i] = pollfd{events[i]->Fd(), POLLIN, 0};
        fds[events.size()] = pollfd{epollFd_, POLLIN, 0};
        const int n = PollRetry(fds.data(), fds.size(), wait);
        if (n < 0)
            return WaitFailed;

        drain = (fds[events.size()].revents & POLLIN) != 0;
        // Positions in wait order: the events before commSlot, the device,
        // the rest of the events.
        for (std::size_t pos = 0; pos <= events.size(); ++pos) {
            if (pos == commSlot) {
                std::lock_guard lock(mutex_);
                if (drain) {
                    CollectLocked(true);
                    drain = false;
                }
                if (maskChanged_ || mask_ == 0) {
                    mask = 0;
                    return static_cast<int>(commSlot);
                }
                if (pending_ != 0) {
                    mask = pending_;
                    pending_ = 0;
                    return static_cast<int>(commSlot);
                }
                continue;
            }
            const std::size_t e = pos < commSlot ? pos : pos - 1;
            if ((fds[e].revents & POLLIN) && events[e]->TryTake())
                return static_cast<int>(pos);
        }
        if (RemainingMs(start, timeoutMs) == 0)
            return WaitTimeout;
    }
}

std::ptrdiff_t TermiosCommDevice::Read(void* destination, std::size_t count) {
    if (count == 0)
        return 0;
    // Also after a hang-up: bytes that came before it can still be read.
    std::lock_guard lock(mutex_);
    ssize_t n;
    do {
        n = ::read(fd_, destination, count);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        knownInput_ -= std::min(knownInput_, static_cast<std::size_t>(n));
        return n;
    }
    if (n == 0) {
        // With VMIN and VTIME 0 an empty queue reads as 0 bytes, and so does
        // a tty that has hung up; only the latter polls POLLHUP.
        pollfd p{fd_, POLLIN, 0};
        if (PollRetry(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)))
            HangUpLocked();
        return 0;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return 0;
    if (IsHangUpError(errno)) {
        HangUpLocked();
        return 0;
    }
    return -1;
}

std::ptrdiff_t TermiosCommDevice::Write(const void* source, std::size_t count) {
    if (count == 0)
        return 0;
    ssize_t n;
    do {
        n = ::write(fd_, source, count);
    } while (n < 0 && errno == EINTR);
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
        fds[events.size()] = pollfd{dead ? -1 : fd_, POLLOUT, 0};
        const int n = PollRetry(fds.data(), fds.size(), dead ? 0 : RemainingMs(start, timeoutMs));
        if (n < 0)
            return WaitFailed;
        const short dev = fds[events.size()].revents;
        if (dev & (POLLHUP | POLLERR | POLLNVAL)) {
            std::lock_guard lock(mutex_);
            HangUpLocked();
            dead = true;
        }
        for (std::size_t pos = 0; pos <= events.size(); ++pos) {
            if (pos == deviceSlot) {
                if (dead || (dev & POLLOUT))
                    return static_cast<int>(deviceSlot);
                continue;
            }
            const std::size_t e = pos < deviceSlot ? pos : pos - 1;
            if ((fds[e].revents & POLLIN) && events[e]->TryTake())
                return static_cast<int>(pos);
        }
        if (RemainingMs(start, timeoutMs) == 0)
            return WaitTimeout;
    }
}

bool TermiosCommDevice::ClearError(win::DWORD& errors, win::COMSTAT* status) {
    std::lock_guard lock(mutex_);
    win::DWORD inQueue = 0, outQueue = 0;
    errors_ |= ErrorsFromCountersLocked();
    // Asked also after a hang-up: a pseudo-terminal whose other side closed
    // still hands out the bytes that came before.
    int value = 0;
    if (IoctlRetry(fd_, FIONREAD, &value) == 0)
        inQueue = static_cast<win::DWORD>(std::max(value, 0));
    else if (IsHangUpError(errno))
        HangUpLocked();
    value = 0;
    if (IoctlRetry(fd_, TIOCOUTQ, &value) == 0)
        outQueue = static_cast<win::DWORD>(std::max(value, 0));
    errors = errors_;
    errors_ = 0;
    if (status != nullptr) {
        status->Flags = 0;
        status->cbInQue = inQueue;
        status->cbOutQue = outQueue;
    }
    return true;
}

bool TermiosCommDevice::Purge(win::DWORD flags) {
    const bool rx = flags & (win::PURGE_RXABORT | win::PURGE_RXCLEAR);
    const bool tx = flags & (win::PURGE_TXABORT | win::PURGE_TXCLEAR);
    if (!rx && !tx)
        return true;
    std::lock_guard lock(mutex_);
    int r;
    do {
        r = ::tcflush(fd_, rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH));
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        if (IsHangUpError(errno))
            HangUpLocked();
        return false;
    }
    if (rx)
        knownInput_ = 0;
    return true;
}

bool TermiosCommDevice::EscapeFunction(win::DWORD code) {
    std::lock_guard lock(mutex_);
    if (hungUp_)
        return false;
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
        return IoctlRetry(fd_, TIOCSBRK, nullptr) == 0;
    case win::CLRBREAK:
        return IoctlRetry(fd_, TIOCCBRK, nullptr) == 0;
    case win::SETXOFF:
    case win::SETXON: {
        int r;
        do {
            r = ::tcflow(fd_, code == win::SETXOFF ? TCOOFF : TCOON);
        } while (r < 0 && errno == EINTR);
        return r == 0;
    }
    default:
        return false;
    }
    return IoctlRetry(fd_, request, &bits) == 0;
}

} // namespace platform
