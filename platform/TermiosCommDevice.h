// The comm device on a Linux tty (serial ports, USB adapters, pseudo-
// terminals), through termios and the tty ioctls, and the back end that
// opens it by COM number.
//
// How the Windows behaviour is kept:
// - The input queue: the event thread moves arriving bytes from the tty into
//   a queue of the size asked for with SetupQueues (64 KiB at least), so
//   that Read and the queue count cost the owner no system call. In a burst
//   the waiter gathers the tty's buffers as they come, for up to 2 ms,
//   before it reports, so that one report carries many of them, and goes on
//   taking bytes in while that report is being handled (BurstFd). While the
//   queue is full the tty keeps the rest (and its flow control holds the
//   sender back).
// - Comm events: EV_RXCHAR when bytes have come into the queue since the
//   last report. The line error counters are read whenever new input is
//   seen, so that errors arrive in one mask with the bytes they came with:
//   frame, overrun and parity give EV_ERR, a break EV_BREAK; breaks and
//   tty-buffer overruns are still collected (CE_BREAK, CE_RXOVER) for
//   ClearError. EV_CTS, EV_DSR, EV_RLSD and EV_RING come from changes of the
//   modem lines, sampled every 50 ms only while the mask asks for them and
//   the owner watches them (WatchModemLines), so a quiet port costs no
//   wake-ups. Drivers without these ioctls simply give no such events.
// - A hang-up (the adapter unplugged, the other side of a pseudo-terminal
//   closed) is reported once as EV_ERR with CE_IOE for ClearError; then the
//   descriptor leaves the poll set, so nothing spins on a dead device.
// - A shadow DCB: GetState answers the last DCB applied, because pseudo-
//   terminals silently rewrite the size and parity bits.
// Thread rules: see CommDevice. One internal mutex guards the event state
// and the input queue; it is never held while sleeping.
#pragma once

#include "platform/CommDevice.h"
#include "platform/DcbTermios.h"
#include "platform/PortMap.h"
#include "platform/SysRetry.h"
#include "platform/Uart.h"

#include <mutex>
#include <string>
#include <vector>

namespace platform {

class TermiosCommDevice : public CommDevice {
public:
    // Opens `path` exclusively for COM `comNumber` (see OpenPortDescriptor)
    // and puts the line into raw mode, keeping its rate and format.
    static CommOpenResult Open(const std::string& path, int comNumber,
                               const PortOpenContext& context = {});
    ~TermiosCommDevice() override;
    std::string OpenNotice() const override { return OpenNotice_; }

    bool SetTimeouts(const win::COMMTIMEOUTS& timeouts) override;
    bool SetupQueues(win::DWORD inQueue, win::DWORD outQueue) override;
    bool SetEventMask(win::DWORD mask) override;
    win::DWORD EventMask() override;
    void WatchModemLines(bool on) override;
    bool SetState(const win::DCB& dcb) override;
    bool GetState(win::DCB& dcb) override;
    int WaitEvent(std::span<Event* const> events, std::size_t commSlot, int timeoutMs,
                  win::DWORD& mask) override;
    std::ptrdiff_t Read(void* destination, std::size_t count) override;
    std::size_t InputQueued() override;
    int BurstFd() override;
    bool TakeInWhileAway() override;
    std::ptrdiff_t Write(const void* source, std::size_t count) override;
    int WaitWritable(std::span<Event* const> events, std::size_t deviceSlot,
                     int timeoutMs) override;
    bool ClearError(win::DWORD& errors, win::COMSTAT* status) override;
    bool Purge(win::DWORD flags) override;
    bool EscapeFunction(win::DWORD code) override;
    int ComNumber() const override { return ComNumber_; }

    // The descriptor, for tests that look at the termios settings.
    int Fd() const { return Fd_.Get(); }

private:
    std::string OpenNotice_; // see CommDevice::OpenNotice
    TermiosCommDevice(UniqueFd fd, int comNumber, UartAccess& uart);

    // Moves what the tty holds into the input queue; with `silent` the
    // bytes raise no EV_RXCHAR (they came before the mask was set).
    void FillQueueLocked(bool silent);
    // EV_RXCHAR for bytes come since the last report and still queued.
    void TakeArrivalsLocked();
    // FillQueueLocked for a caller other than the waiter, when the waiter
    // is not watching the tty itself.
    void TakeInUnwatchedLocked();
    // In a burst, goes on taking bytes in while the tty keeps delivering, so
    // that one report carries many tty buffers' worth. Waiter only, without
    // the mutex; ends early when wakeFd is signalled.
    void GatherBurst(int wakeFd);
    // Reads the error counters: changes become CE_* bits for ClearError
    // and, within the mask, EV_ERR or EV_BREAK.
    void SampleCountersLocked();
    void SampleModemLinesLocked(long long nowMs);
    void HangUpLocked();
    bool WatchingModemLinesLocked() const;
    // Milliseconds until the next modem-line sample is due, or InfiniteWait.
    int NextSampleInLocked(long long nowMs) const;
    bool QueueFullLocked() const { return Queued_ >= Queue_.size(); }

    UniqueFd Fd_; // moved out only by the destructor
    const int ComNumber_;
    UartAccess& Uart_;
    // Wakes the event thread: a changed mask, a hang-up or errors found by
    // another thread, or room in a full queue. Auto reset.
    Event Wake_;

    std::mutex Mutex_; // guards everything below
    win::DWORD Mask_ = 0;
    win::DWORD Pending_ = 0; // events collected, not yet reported
    win::DWORD Errors_ = 0;  // CE_* for the next ClearError
    bool Waiting_ = false;   // a thread is inside WaitEvent
    // The waiter is away reporting what it found and comes back to take in
    // what arrives meanwhile, so other threads need not look at the tty.
    bool Reporting_ = false;
    std::size_t LastTakeIn_ = 0; // bytes the last look at the tty found
    bool WriteWaiting_ = false;
    bool MaskChanged_ = false; // complete the wait in progress with mask 0
    bool HungUp_ = false;

    // The input queue: a ring of Queue_.size() bytes, Queued_ of them from
    // Head_ on.
    std::vector<char> Queue_;
    std::size_t Head_ = 0;
    std::size_t Queued_ = 0;
    std::size_t Unreported_ = 0; // bytes come since the last EV_RXCHAR, still queued

    bool WatchModem_ = true;
    bool ModemSupported_ = true;
    bool CountersSupported_ = true;
    int ModemBase_ = 0;
    bool ModemBaseValid_ = false;
    UartCounters Counters_{};
    bool CountersValid_ = false;
    long long LastSampleMs_ = 0;

    win::DCB Shadow_{};
    win::DWORD OutQueue_ = 0;
};

// Opens real ttys: COM n is ComPortPath(n).
class TermiosCommBackend : public CommBackend {
public:
    explicit TermiosCommBackend(PortOpenContext context = {}) : Context_(std::move(context)) {}
    CommOpenResult Open(int comNumber) override;
    PortProbe Probe(int comNumber) override;
    bool Exists(int comNumber) override;

private:
    const PortOpenContext Context_;
};

namespace detail {
// termios2/BOTHER, kept in a file of its own because the kernel's termios
// header clashes with the C library's. Both keep every other setting.
// Sets the rate to any value, input and output alike; false (errno set) on
// failure.
bool SetArbitraryRate(int fd, unsigned rate);
// Reads the output rate, also a non-standard one; false on failure.
bool GetArbitraryRate(int fd, unsigned& rate);
} // namespace detail

} // namespace platform
