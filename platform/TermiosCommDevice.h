// The comm device on a Linux tty (serial ports, USB adapters, pseudo-
// terminals), through termios and the tty ioctls.
//
// How the Windows behaviour is kept:
// - Comm events: EV_RXCHAR when the input queue has grown since the last
//   look (the tty descriptor sits edge-triggered in an epoll set, so bytes
//   left unread do not wake the waiter again and again); EV_CTS, EV_DSR,
//   EV_RLSD, EV_RING from changes of the modem lines and EV_ERR from changes
//   of the line error counters, sampled at most every 50 ms and only while
//   the mask asks for them (drivers without these ioctls simply give none).
// - A hang-up (the adapter unplugged, the other side of a pseudo-terminal
//   closed) is reported once as EV_ERR with CE_IOE for ClearError; then the
//   descriptor leaves the epoll set, so nothing spins on a dead device.
// - A shadow DCB: GetState answers the last DCB applied, because pseudo-
//   terminals silently rewrite the size and parity bits.
// Thread rules: see CommDevice. One internal mutex guards the event state;
// it is never held while sleeping.
#pragma once

#include "platform/CommDevice.h"

#include <mutex>
#include <string>

struct termios;

namespace platform {

class TermiosCommDevice : public CommDevice {
public:
    // Opens `path` exclusively for COM `comNumber` (see OpenPortDescriptor)
    // and puts the line into raw mode, keeping its rate and format.
    static CommOpenResult Open(const std::string& path, int comNumber);
    ~TermiosCommDevice() override;

    bool SetTimeouts(const win::COMMTIMEOUTS& timeouts) override;
    bool GetTimeouts(win::COMMTIMEOUTS& timeouts) override;
    bool SetupQueues(win::DWORD inQueue, win::DWORD outQueue) override;
    bool SetEventMask(win::DWORD mask) override;
    win::DWORD EventMask() override;
    bool SetState(const win::DCB& dcb) override;
    bool GetState(win::DCB& dcb) override;
    int WaitEvent(std::span<Event* const> events, std::size_t commSlot, int timeoutMs,
                  win::DWORD& mask) override;
    std::ptrdiff_t Read(void* destination, std::size_t count) override;
    std::ptrdiff_t Write(const void* source, std::size_t count) override;
    int WaitWritable(std::span<Event* const> events, std::size_t deviceSlot,
                     int timeoutMs) override;
    bool ClearError(win::DWORD& errors, win::COMSTAT* status) override;
    bool Purge(win::DWORD flags) override;
    bool EscapeFunction(win::DWORD code) override;
    int ComNumber() const override { return comNumber_; }

    // The descriptor, for tests that look at the termios settings.
    int Fd() const { return fd_; }

private:
    TermiosCommDevice(int fd, int epollFd, int wakeFd, int comNumber);

    // Looks at the device without waiting and adds what happened to the
    // pending events. `drainEpoll`: consume the epoll set's notifications.
    void CollectLocked(bool drainEpoll);
    void SampleLinesLocked(long long nowMs);
    void HangUpLocked();
    static bool IsHangUpError(int err);
    void WakeWaiter();
    bool WantsLineSamples() const;
    // Milliseconds until the next line sample is due, or InfiniteWait.
    int NextSampleInLocked(long long nowMs) const;
    win::DWORD ErrorsFromCountersLocked();

    const int fd_;
    const int epollFd_;
    const int wakeFd_; // eventfd in the epoll set: wakes the waiter
    const int comNumber_;

    std::mutex mutex_; // guards everything below
    win::DWORD mask_ = 0;
    win::DWORD pending_ = 0; // events collected, not yet reported
    win::DWORD errors_ = 0;  // CE_* for the next ClearError
    bool waiting_ = false;   // a thread is inside WaitEvent
    bool writeWaiting_ = false;
    bool maskChanged_ = false; // complete the wait in progress with mask 0
    bool hungUp_ = false;
    std::size_t knownInput_ = 0; // input bytes seen at the last look, less reads

    bool modemSupported_ = true;
    bool countersSupported_ = true;
    int modemBase_ = 0;
    bool modemBaseValid_ = false;
    struct LineCounters {
        int Frame = 0, Overrun = 0, Parity = 0, Break = 0, BufferOverrun = 0;
    };
    bool ReadCountersLocked(LineCounters& counters);
    static win::DWORD ChangedErrors(const LineCounters& before, const LineCounters& now);
    LineCounters eventCounters_{};
    bool eventCountersValid_ = false;
    LineCounters errorCounters_{};
    bool errorCountersValid_ = false;
    long long lastSampleMs_ = 0;

    win::DCB shadow_{};
    win::COMMTIMEOUTS timeouts_{};
    win::DWORD inQueue_ = 0;
    win::DWORD outQueue_ = 0;
};

namespace detail {
// The line settings of a DCB in a termios record, raw mode included, the
// rate only when it is a standard one (others need SetArbitraryRate). False,
// with `t` untouched, for what Linux cannot do: ByteSize outside 5-8, parity
// or stop bits out of range, 1.5 stop bits with more than 5 data bits, two
// with 5, rate 0, DTR/DSR handshake, XON and XOFF the same character while
// XON/XOFF flow is on.
bool TermiosFromDcb(const win::DCB& dcb, termios& t);
// A DCB describing a termios record and rate (for the settings at open).
win::DCB DcbFromTermios(const termios& t, unsigned rate);

// termios2/BOTHER, kept in a file of its own because the kernel's termios
// header clashes with the C library's. Both keep every other setting.
// Sets input and output rate to any value; false (errno set) on failure.
bool SetArbitraryRate(int fd, unsigned rate);
// Reads the output rate, also a non-standard one; false on failure.
bool GetArbitraryRate(int fd, unsigned& rate);
} // namespace detail

} // namespace platform
