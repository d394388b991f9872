// The port core: owns one COM port, runs its event thread and write thread
// while the port is open, and reports what happens at the port through one
// callback that is always called on the event thread.
//
// Receiving: the core keeps no copy of received bytes; they stay in the
// driver's input queue until the owner calls Read. The event thread only says
// that data is waiting (a line event with EV_RXCHAR, or, after 200 ms of
// quiet, a poll that finds queued bytes). An owner that hands reports on to
// another thread (SetReportsHandedOn) says when it left bytes unread
// (ReportHandled); until then the event thread waits for the device alone.
// Sending: Write appends to the transmit ring buffer and returns at once; the
// write thread hands the bytes to the device straight from the ring storage
// and reports when the buffer has drained.
//
// Threads: the owner's thread (the main thread here) calls every operation,
// Open and Close included. Per open port there is one event thread and one
// write thread. Read, Write, OutputFree, QueryStatus, TakeErrors and
// EscapeFunction may also be called from inside the callback on the event
// thread. Open, Close and the destructor must not be called from a worker.
//
// Locks: StatusLock guards status queries, error taking, reads, line
// settings and the device's release; TxLock guards the transmit buffer.
// The two are never held together. The device's own mutex nests under
// either (calls into the device under StatusLock, and the purge of a flush
// under TxLock), never the other way round. Neither is held across a join,
// a wait for another thread or a call of the callback, so the close
// sequence cannot deadlock against the event thread's poll or a report.
//
// Joins and other waits for a worker on the main thread serve the notifier's
// queued requests meanwhile (a worker may be waiting for the main thread).
#pragma once

#include "platform/CommDevice.h"
#include "platform/Event.h"
#include "platform/ThreadPriority.h"
#include "platform/WinTypes.h"
#include "serial/AfCircularBuffer.h"
#include "serial/AfSafeSync.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <thread>

class TAfComPortCore;

// What the core reports.
enum TAfCoreEvent : std::uint8_t {
    ceOutFree,      // the transmit buffer has drained; Data 0
    ceLineEvent,    // a comm wait completed; Data is the EV_* mask
    ceNeedReadData, // 200 ms of quiet with bytes queued; Data is their number
    ceException     // an exception on the event thread; Data 0, Error carries it
};

// The core's callback. Error is set only for ceException; the receiver owns
// it from then on (dropping the pointer releases the exception).
using TAfCoreEventProc = std::function<void(TAfComPortCore* Sender, TAfCoreEvent EventKind,
                                            std::uint32_t Data, std::exception_ptr Error)>;

// Every failure the core raises. A failed open or refused line settings also
// keep the system error behind it and, where the user can do something about
// it, a hint or the cause.
class EAfComPortCoreError : public std::runtime_error {
public:
    explicit EAfComPortCoreError(const std::string& message, int systemError = 0,
                                 std::string hint = {})
        : std::runtime_error(message), FSystemError(systemError), FHint(std::move(hint)) {}
    // The errno of the failed open or line settings; 0 for other failures.
    int SystemError() const { return FSystemError; }
    // For example the device path and the dialout group when permission was
    // refused, else the path and why it failed ("/dev/ttyUSB3: no such
    // file"), or for refused line settings the port and the system's text
    // of the cause; empty when there is nothing to add.
    const std::string& Hint() const { return FHint; }

private:
    int FSystemError;
    std::string FHint;
};

// A worker thread of the core: built suspended, started, stopped and joined
// by the core on the owner's thread.
class TAfComPortCoreThread {
public:
    explicit TAfComPortCoreThread(TAfComPortCore* ACore);
    virtual ~TAfComPortCoreThread();
    TAfComPortCoreThread(const TAfComPortCoreThread&) = delete;
    TAfComPortCoreThread& operator=(const TAfComPortCoreThread&) = delete;

    // Starts the body on a new thread. Throws std::system_error when no
    // thread can be created.
    void Start();
    // Makes the body leave its loop and waits until it has ended (serving
    // the notifier's requests meanwhile when called on the main thread).
    // The thread object stays until the core destroys it. Owner's thread.
    virtual void StopThread();
    // Reports an exception raised on this worker. Worker thread only.
    virtual void HandleThreadException(std::exception_ptr Error);

    // Gives the running thread a priority (a nice value); refused raises are
    // ignored. Any thread, once the body has started.
    void SetPriority(TThreadPriority Priority);
    // The kernel's id of the thread (0 before the body starts).
    pid_t ThreadId() const { return FThreadId.load(); }
    bool Terminated() const { return FTerminated.load(); }
    // True once the body has returned.
    bool Finished() const { return FFinished.load(); }

protected:
    // The thread body. Runs inside a handler: an exception that escapes it
    // goes to HandleThreadException, after which the thread ends.
    virtual void Execute() = 0;
    // The thread's name as top -H and perf show it (at most 15 bytes).
    virtual const char* ThreadName() const = 0;
    void Terminate() { FTerminated.store(true); }
    const std::atomic<bool>& FinishedFlag() const { return FFinished; }
    // Waits until the body has returned, then joins the thread.
    void Join();

    TAfComPortCore* FCore;
    platform::CommDevice* FPortHandle; // copied from the core when built
    // Tells the body to end. Manual reset: stays set once stopping has begun.
    platform::Event StopSignal{platform::Event::ResetMode::Manual};

private:
    void Run();

    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::atomic<pid_t> FThreadId{0};
    std::exception_ptr FException; // the exception being displayed
};

// Waits for comm events, polls the input queue after 200 ms of quiet and
// reports through the copy of the core's callback taken when it was built.
class TAfComPortEventThread final : public TAfComPortCoreThread {
public:
    explicit TAfComPortEventThread(TAfComPortCore* ACore);
    ~TAfComPortEventThread() override;

    // Copies up to n queued bytes into Destination without waiting; returns
    // the number copied (a failed read yields 0). Caller's thread, under the
    // core's StatusLock.
    std::int32_t ReadData(void* Destination, std::int32_t n);
    // No report starts after this call; one already under way finishes.
    // Any thread.
    void DisableReports() { FReportsEnabled.store(false); }
    void StopThread() override;
    void HandleThreadException(std::exception_ptr Error) override;

protected:
    void Execute() override;
    const char* ThreadName() const override { return "kelvox-port-ev"; }

private:
    // Calls the callback; an exception it raises goes to
    // HandleThreadException and the loop goes on.
    void Report(TAfCoreEvent Kind, std::uint32_t Data);
    void CompletedWait(std::uint32_t Mask);
    void PollInputQueue();

    TAfCoreEventProc FCallback;
    const bool FReportsHandedOn; // copied from the core when built
    // Queued bytes are polled for after 200 ms of quiet: not while a report
    // of bytes is with an owner that hands reports on.
    bool FPollArmed = true;
    std::atomic<bool> FReportsEnabled{true};
    // The event mask has been cleared: no further comm waits are issued.
    bool FWaitsSuspended = false;
};

// Writes the transmit buffer to the device, one contiguous run at a time,
// from the ring storage in place.
class TAfComPortWriteThread final : public TAfComPortCoreThread {
public:
    explicit TAfComPortWriteThread(TAfComPortCore* ACore);
    ~TAfComPortWriteThread() override;

    // Appends n bytes under TxLock; all or nothing. Caller's thread.
    bool QueueData(const void* Source, std::int32_t n);
    // Free room of the transmit buffer; caller holds TxLock.
    std::int32_t FreeSpaceLocked() const { return TxBuffer.FreeSpace(); }
    // Discards queued output and output in progress. False when the write
    // thread did not acknowledge within 2000 ms (then nothing changes).
    // Caller's thread.
    bool FlushOutput();
    void StopThread() override;

protected:
    void Execute() override;
    const char* ThreadName() const override { return "kelvox-port-wr"; }

private:
    // Writes the run at the head of the buffer; returns when it is written,
    // the device refuses it, or a stop or flush interrupts it.
    void WriteRun();

    platform::Event FlushDone{platform::Event::ResetMode::Auto};
    platform::Event FlushRequest{platform::Event::ResetMode::Auto};
    platform::Event DataReady{platform::Event::ResetMode::Auto};
    TAfCircularBuffer TxBuffer;
};

class TAfComPortCore {
public:
    TAfComPortCore();
    // Closes an open port first.
    ~TAfComPortCore();
    TAfComPortCore(const TAfComPortCore&) = delete;
    TAfComPortCore& operator=(const TAfComPortCore&) = delete;

    // Opens COM n and starts both threads. False at once when already open;
    // throws EAfComPortCoreError when n <= 0, a buffer size is out of range,
    // memory runs out or any step fails, leaving the core closed with no
    // thread running.
    bool Open(std::int32_t n);
    // Stops both threads and releases the device; does nothing when closed.
    // No report reaches the callback once Close has begun.
    void Close();
    bool IsOpen() const { return FIsOpen.load(); }
    // The open device (for the port configuration calls), or null.
    platform::CommDevice* PortHandle() const { return FPortHandle.get(); }
    std::int32_t ComNumber() const { return FComNumber; }

    // Copies up to n queued bytes into Destination without waiting: the
    // number copied, or -1 when the port is not ready.
    std::int32_t Read(void* Destination, std::int32_t n);
    // Queues n bytes for sending: true when all fit, false (nothing queued)
    // when they do not or the port is not ready.
    bool Write(const void* Source, std::int32_t n);
    // Free room in the transmit buffer; 0 when not ready.
    std::int32_t OutputFree();
    // Fills Status with the queue counts and collects line errors into
    // LineErrors. Zero-filled when not ready or the query fails; returns
    // whether the query succeeded.
    bool QueryStatus(win::COMSTAT& Status);
    // The bytes waiting in the input queue; collects the line errors as
    // QueryStatus does, but asks the device nothing about its output. 0 when
    // closed or when the device cannot answer.
    std::uint32_t InputWaiting();
    // The owner has handled a report (any thread): when it left bytes in the
    // input queue, the event thread polls them again after 200 ms of quiet.
    // Only needed with SetReportsHandedOn; costs the event thread a wake-up
    // only when bytes are left.
    void ReportHandled();
    // While a burst is being reported: the watch with which the event thread
    // takes in what arrives during the hand-off (see SyncCall); empty
    // otherwise. Event thread only, inside a report.
    TSyncWatch BurstWatch();
    // The line errors since the last call (then cleared), the device's own
    // read now; 0 when not ready.
    std::uint32_t TakeErrors();
    // SETDTR, CLRDTR, SETRTS, CLRRTS: whether the device did it; false when
    // not ready.
    bool EscapeFunction(std::uint32_t Code);

    // Stores the line settings; on a ready port applies them at once, and
    // when the device refuses them reads its actual settings back into Dcb()
    // and throws "Error setting parameters from DCB".
    void SetDcb(const win::DCB& ADcb);
    const win::DCB& Dcb() const { return FDcb; }
    // The largest queue size Open accepts: the device layer allocates its
    // input queue and the core its transmit buffer at these sizes, and more
    // than this is no use to a serial line.
    static constexpr std::int32_t MaxBufSize = 16 * 1024 * 1024;
    // Take effect at the next Open, which refuses sizes outside
    // 1..MaxBufSize.
    void SetInBufSize(std::int32_t Value) { FInBufSize = Value; }
    void SetOutBufSize(std::int32_t Value) { FOutBufSize = Value; }
    std::int32_t InBufSize() const { return FInBufSize; }
    std::int32_t OutBufSize() const { return FOutBufSize; }
    // Take effect at once on a ready port.
    void SetEventThreadPriority(TThreadPriority Value);
    void SetWriteThreadPriority(TThreadPriority Value);
    TThreadPriority EventThreadPriority() const { return FEventThreadPriority; }
    TThreadPriority WriteThreadPriority() const { return FWriteThreadPriority; }
    // Whether the owner listens to modem-line events (on by default). A
    // device that has to sample the lines does so only while this is on.
    // Takes effect at the next Open.
    void SetWatchModemLines(bool Value) { FWatchModemLines = Value; }
    std::uint32_t EventMask() const { return FEventMask; }

    // The callback; the event thread copies it when it is built at Open, so
    // a change takes effect at the next Open. Owner's thread, while closed.
    TAfCoreEventProc OnCoreEvent;
    // Whether the callback hands reports of bytes on to another thread
    // instead of handling them before it returns. Then the event thread,
    // having reported bytes, goes back to waiting for the device and polls
    // the queue again only once ReportHandled says bytes were left; without
    // it, it polls after 200 ms of quiet whenever bytes are queued. Owner's
    // thread, while closed; takes effect at the next Open.
    void SetReportsHandedOn(bool Value) { FReportsHandedOn = Value; }

    // Kernel thread ids of the running workers (0 when none), for
    // diagnostics and tests.
    pid_t EventThreadId() const;
    pid_t WriteThreadId() const;

private:
    friend class TAfComPortCoreThread;
    friend class TAfComPortEventThread;
    friend class TAfComPortWriteThread;

    void CloseSequence();
    // Builds and starts a worker, waits for its body to begin and gives it
    // its priority; throws "Error creating threads" when it does not begin.
    template <class Thread>
    void StartWorker(std::unique_ptr<Thread>& Worker, TThreadPriority Priority);
    // SetCommState, and on failure GetCommState into FDcb and throw.
    void ApplyDcb();
    bool Ready() const { return FReady.load(); }

    std::atomic<bool> FReady{false};
    std::int32_t FComNumber = 0;
    win::DCB FDcb{};
    const std::uint32_t FEventMask = win::EV_RXCHAR | win::EV_CTS | win::EV_DSR | win::EV_RLSD |
                                     win::EV_ERR | win::EV_RING; // 0x1B9
    std::unique_ptr<platform::CommDevice> FPortHandle;
    std::atomic<bool> FIsOpen{false};
    std::uint32_t FLineErrors = 0; // under StatusLock
    std::int32_t FInBufSize = 8192;
    std::int32_t FOutBufSize = 4096;
    std::mutex StatusLock;
    std::mutex TxLock;
    std::unique_ptr<TAfComPortEventThread> EventThread;
    platform::Event ThreadStarted{platform::Event::ResetMode::Auto};
    platform::Event OutFreeSignal{platform::Event::ResetMode::Auto};
    // Set by ReportHandled when the owner left bytes unread.
    platform::Event UnreadSignal{platform::Event::ResetMode::Auto};
    bool FReportsHandedOn = false;
    std::unique_ptr<TAfComPortWriteThread> WriteThread;
    TThreadPriority FWriteThreadPriority = tpHigher;
    TThreadPriority FEventThreadPriority = tpNormal;
    bool FWatchModemLines = true;
};
