#include "serial/AfComPortCore.h"

#include "platform/MessageBox.h"
#include "platform/SystemError.h"
#include "serial/AfSafeSync.h"
#include "serial/AfUiHooks.h"
#include "serial/AfUtils.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cxxabi.h>
#include <limits>
#include <new>
#include <pthread.h>
#include <sys/resource.h>
#include <typeinfo>
#include <unistd.h>
#include <utility>

namespace {

// How long the opener waits for a worker to signal that its body began.
constexpr int ThreadStartLimitMs = 3000;
// How long a flush waits for the write thread to acknowledge.
constexpr int FlushLimitMs = 2000;
// Quiet time after which the event thread polls the input queue.
constexpr int PollIntervalMs = 200;
// Pause after a wait that failed: a device whose waits keep failing is
// retried at this pace instead of in a tight loop.
constexpr int FailedWaitPauseMs = 200;
// How long a worker's exception display may keep the worker waiting for the
// main thread. Long on purpose: the display is a modal box.
constexpr std::chrono::milliseconds DisplayLimit = std::chrono::hours(24);

// The notifier slot that runs a worker's exception display on the main
// thread. One for the process, registered by the first core (on the main
// thread) and always enabled; every request carries its own code.
std::uint32_t DisplaySlot() {
    static const std::uint32_t id = [] {
        const std::uint32_t slot = RegisterSyncSlot([] {});
        EnableSyncSlot(slot, true);
        return slot;
    }();
    return id;
}

std::string Demangle(const char* name) {
    int status = 0;
    char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = (status == 0 && plain) ? plain : name;
    std::free(plain);
    return result;
}

bool IsAbort(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const EAbort&) {
        return true;
    } catch (...) {
        return false;
    }
}

// The runtime's standard exception box: the class, the module and the
// message, captioned "Application Error". Main thread.
void DisplayException(const std::exception_ptr& error) {
    if (af::Ui().ReleaseMouseGrab)
        af::Ui().ReleaseMouseGrab();
    std::string className = "unknown exception";
    std::string message;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        className = Demangle(typeid(e).name());
        message = e.what();
    } catch (...) {
        if (const std::type_info* t = abi::__cxa_current_exception_type())
            className = Demangle(t->name());
    }
    QString module = QStringLiteral("kelvox");
    if (QCoreApplication::instance())
        module = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    platform::MessageRequest box;
    box.Caption = QStringLiteral("Application Error");
    box.Icon = platform::MsgIcon::Error;
    box.Text = QStringLiteral("Exception %1 in module %2.\n%3.")
                   .arg(QString::fromStdString(className), module, QString::fromStdString(message));
    platform::ShowMessage(box);
}

// Waits for an event set by a worker, at most timeoutMs, and gives up early
// once the worker has ended (it will never set the event). On the main thread
// the notifier's queued requests are served meanwhile, because the worker may
// itself be waiting for the main thread before it can set the event.
bool WaitServing(platform::Event& event, int timeoutMs, const std::atomic<bool>& workerEnded) {
    const long long start = platform::MonotonicMs();
    bool taken = false;
    if (!af::IsMainThread()) {
        while (!taken && !workerEnded.load()) {
            const int left = platform::RemainingMs(start, timeoutMs);
            if (left == 0)
                break;
            taken = platform::WaitFor(event, left < 50 ? left : 50);
        }
        return taken;
    }
    SafeSyncServeWhile([&] {
        taken = event.TryTake();
        return !taken && !workerEnded.load() && platform::RemainingMs(start, timeoutMs) > 0;
    });
    return taken;
}

// The designed failure texts of an open: the one place where the class of a
// system error becomes a message.
EAfComPortCoreError OpenFailure(std::int32_t n, const platform::CommOpenResult& result) {
    const char* text = result.Error == platform::CommOpenError::NotFound
                           ? "Invalid port number (COM%d)"
                           : "Can't open device COM%d";
    // The hint also goes on a line of its own, so that the error box that
    // shows the message tells the user what to do. Without one, the hint is
    // the path and the cause, for the event log; the message stays the
    // designed text.
    std::string hint = platform::OpenFailureHint(result);
    std::string message = af::Format(text, n);
    if (!hint.empty())
        message += "\n" + hint;
    else
        hint = platform::OpenFailureCause(result);
    return EAfComPortCoreError(message, result.SystemError, std::move(hint));
}

} // namespace

// ---------------------------------------------------------------------------
// TAfComPortCoreThread

TAfComPortCoreThread::TAfComPortCoreThread(TAfComPortCore* ACore)
    : FCore(ACore), FPortHandle(ACore->FPortHandle.get()) {}

TAfComPortCoreThread::~TAfComPortCoreThread() {
    // The core always stops a thread before it destroys it; this is only a
    // safety net for a thread object dropped on a failed open.
    if (FThread.joinable()) {
        Terminate();
        StopSignal.Set();
        Join();
    }
}

void TAfComPortCoreThread::Start() {
    FThread = std::thread([this] { Run(); });
}

void TAfComPortCoreThread::Run() {
    FThreadId.store(static_cast<pid_t>(::gettid()));
    pthread_setname_np(pthread_self(), ThreadName());
    try {
        Execute();
    } catch (...) {
        HandleThreadException(std::current_exception());
    }
    FFinished.store(true);
    // A main thread serving requests while it joins this thread looks again
    // now instead of at its next tick.
    SafeSyncWake();
}

void TAfComPortCoreThread::Join() {
    if (!FThread.joinable())
        return;
    SafeSyncServeWhile([this] { return !FFinished.load(); });
    FThread.join();
}

void TAfComPortCoreThread::StopThread() {
    Terminate();
    StopSignal.Set();
    Join();
}

void TAfComPortCoreThread::SetPriority(TThreadPriority Priority) {
    platform::SetThreadPriority(ThreadId(), Priority);
}

void TAfComPortCoreThread::HandleThreadException(std::exception_ptr Error) {
    if (!Error || IsAbort(Error))
        return;
    FException = Error;
    // The display runs on the main thread while this worker waits; the
    // request owns its own reference to the exception, so a display that
    // runs after the wait gave up still has it.
    std::exception_ptr shown = FException;
    SyncCall(DisplaySlot(), DisplayLimit, [shown] { DisplayException(shown); });
    FException = nullptr;
}

// ---------------------------------------------------------------------------
// TAfComPortEventThread

TAfComPortEventThread::TAfComPortEventThread(TAfComPortCore* ACore)
    : TAfComPortCoreThread(ACore), FCallback(ACore->OnCoreEvent),
      FReportsHandedOn(ACore->FReportsHandedOn) {}

TAfComPortEventThread::~TAfComPortEventThread() = default;

void TAfComPortEventThread::Execute() {
    // Signals left from an earlier opening.
    FCore->OutFreeSignal.Reset();
    FCore->UnreadSignal.Reset();
    // The comm wait takes the last place: the device's wait answers with an
    // index into this list, which would be ambiguous for an event placed
    // after the comm slot. When several are ready at once the stop still
    // wins, and a drained report may come one pass before a line event.
    std::array<platform::Event*, 3> waitSet = {&StopSignal, &FCore->OutFreeSignal,
                                               &FCore->UnreadSignal};
    constexpr int StopIndex = 0;
    constexpr int OutFreeIndex = 1;
    constexpr int UnreadIndex = 2;
    constexpr std::size_t CommSlot = 3;
    FWaitsSuspended = false;
    FPollArmed = true; // bytes queued before the first report are polled for
    FCore->ThreadStarted.Set();

    bool pause = false; // the previous comm wait failed
    while (!Terminated()) {
        int result;
        std::uint32_t mask = 0;
        if (FWaitsSuspended || pause) {
            // No comm wait: serve the stop, the drained signal and the poll.
            const int r = platform::WaitForAny(waitSet, pause ? FailedWaitPauseMs : PollIntervalMs);
            if (r == platform::WaitFailed) {
                std::this_thread::sleep_for(std::chrono::milliseconds(FailedWaitPauseMs));
                continue;
            }
            result = r;
            pause = false;
        } else {
            // The poll can only find bytes that are already queued; with an
            // empty queue the next arrival is a comm event anyway, so a
            // quiet port sleeps without a time limit. Neither is there a poll
            // while the owner still has the report of the queued bytes.
            const int limit = FPollArmed && FPortHandle->InputQueued() > 0 ? PollIntervalMs
                                                                           : platform::InfiniteWait;
            win::DWORD m = 0;
            result = FPortHandle->WaitEvent(waitSet, CommSlot, limit, m);
            mask = m;
        }
        if (result == StopIndex) {
            Terminate();
        } else if (result == static_cast<int>(CommSlot)) {
            CompletedWait(mask);
        } else if (result == OutFreeIndex) {
            Report(ceOutFree, 0);
        } else if (result == UnreadIndex) {
            FPollArmed = true;
        } else if (result == platform::WaitTimeout) {
            PollInputQueue();
        } else {
            // The device's wait failed: try again after a pause that still
            // serves the stop signal, the drained signal and the poll.
            pause = true;
        }
    }
}

void TAfComPortEventThread::CompletedWait(std::uint32_t Mask) {
    if (Mask == 0) {
        // The event mask was cleared (that is what stopping does): issue no
        // further comm waits.
        FWaitsSuspended = true;
        return;
    }
    if (Mask & win::EV_RXCHAR)
        FPollArmed = !FReportsHandedOn;
    Report(ceLineEvent, Mask);
}

void TAfComPortEventThread::PollInputQueue() {
    win::COMSTAT status;
    if (FCore->QueryStatus(status) && status.cbInQue > 0) {
        FPollArmed = !FReportsHandedOn;
        Report(ceNeedReadData, status.cbInQue);
    }
}

void TAfComPortEventThread::Report(TAfCoreEvent Kind, std::uint32_t Data) {
    if (!FReportsEnabled.load() || !FCallback)
        return;
    try {
        FCallback(FCore, Kind, Data, nullptr);
    } catch (...) {
        HandleThreadException(std::current_exception());
    }
}

void TAfComPortEventThread::HandleThreadException(std::exception_ptr Error) {
    if (!Error || IsAbort(Error))
        return;
    if (!FReportsEnabled.load() || !FCallback) {
        TAfComPortCoreThread::HandleThreadException(Error);
        return;
    }
    try {
        FCallback(FCore, ceException, 0, Error);
    } catch (...) {
        // The receiver could not take it (or raised something of its own):
        // show that on the main thread instead.
        TAfComPortCoreThread::HandleThreadException(std::current_exception());
    }
}

std::int32_t TAfComPortEventThread::ReadData(void* Destination, std::int32_t n) {
    if (n <= 0 || Destination == nullptr)
        return 0;
    const std::ptrdiff_t count = FPortHandle->Read(Destination, static_cast<std::size_t>(n));
    return count > 0 ? static_cast<std::int32_t>(count) : 0;
}

void TAfComPortEventThread::StopThread() {
    DisableReports();
    Terminate();
    FPortHandle->SetEventMask(0); // completes a comm wait in progress with mask 0
    FPortHandle->Purge(win::PURGE_RXABORT | win::PURGE_RXCLEAR);
    TAfComPortCoreThread::StopThread();
}

// ---------------------------------------------------------------------------
// TAfComPortWriteThread

TAfComPortWriteThread::TAfComPortWriteThread(TAfComPortCore* ACore)
    : TAfComPortCoreThread(ACore), TxBuffer(ACore->FOutBufSize) {}

TAfComPortWriteThread::~TAfComPortWriteThread() = default;

void TAfComPortWriteThread::Execute() {
    std::array<platform::Event*, 3> waitSet = {&StopSignal, &FlushRequest, &DataReady};
    FCore->ThreadStarted.Set();
    while (!Terminated()) {
        switch (platform::WaitForAny(waitSet, platform::InfiniteWait)) {
        case 0:
            Terminate();
            break;
        case 1:
            FlushDone.Set();
            SafeSyncWake();
            break;
        case 2:
            WriteRun();
            break;
        default:
            // The wait itself failed; pace the retry.
            std::this_thread::sleep_for(std::chrono::milliseconds(FailedWaitPauseMs));
            break;
        }
    }
}

void TAfComPortWriteThread::WriteRun() {
    std::array<platform::Event*, 2> pendingSet = {&StopSignal, &FlushRequest};
    constexpr std::size_t DeviceSlot = 2;
    bool stalled = false; // the device said it had room, then took nothing
    for (;;) {
        const std::uint8_t* p;
        std::int32_t len;
        {
            std::lock_guard<std::mutex> lock(FCore->TxLock);
            len = TxBuffer.LinearReadSize();
            p = TxBuffer.ReadPtr();
        }
        if (len <= 0)
            return;
        // The run is written in place: its bytes stay counted as queued until
        // the device has taken them, so QueueData can only add behind them.
        const std::ptrdiff_t written = FPortHandle->Write(p, static_cast<std::size_t>(len));
        if (written < 0)
            return; // the bytes stay queued until more are queued
        if (written > 0) {
            stalled = false;
            bool empty;
            bool runDone = written >= len;
            {
                std::lock_guard<std::mutex> lock(FCore->TxLock);
                TxBuffer.Remove(static_cast<std::int32_t>(written));
                empty = TxBuffer.Count() == 0;
                if (runDone && !empty)
                    DataReady.Set(); // the next run, after a look at stop and flush
            }
            if (empty) {
                FCore->OutFreeSignal.Set();
                return;
            }
            if (runDone)
                return;
            continue; // the rest of this run
        }
        // The driver's queue is full: wait for room, a stop or a flush.
        const int r = FPortHandle->WaitWritable(
            pendingSet, DeviceSlot, stalled ? FailedWaitPauseMs : platform::InfiniteWait);
        if (r == 0) {
            Terminate();
            return;
        }
        if (r == 1) {
            // The flusher empties the buffer once we are back at the wait;
            // what is left of this run is dropped with it.
            FlushDone.Set();
            SafeSyncWake();
            return;
        }
        if (r == platform::WaitFailed)
            return; // the bytes stay queued until more are queued
        if (r == static_cast<int>(DeviceSlot))
            stalled = true;
    }
}

bool TAfComPortWriteThread::QueueData(const void* Source, std::int32_t n) {
    std::lock_guard<std::mutex> lock(FCore->TxLock);
    const bool ok = TxBuffer.Write(Source, n);
    if (ok)
        DataReady.Set();
    return ok;
}

bool TAfComPortWriteThread::FlushOutput() {
    FlushRequest.Set();
    if (!WaitServing(FlushDone, FlushLimitMs, FinishedFlag()))
        return false;
    std::lock_guard<std::mutex> lock(FCore->TxLock);
    DataReady.Reset();
    TxBuffer.Clear();
    return FPortHandle->Purge(win::PURGE_TXABORT | win::PURGE_TXCLEAR);
}

void TAfComPortWriteThread::StopThread() {
    FlushOutput(); // a thread that does not answer is stopped without the flush
    TAfComPortCoreThread::StopThread();
}

// ---------------------------------------------------------------------------
// TAfComPortCore

TAfComPortCore::TAfComPortCore() {
    FDcb = win::DCB{};
    FDcb.DCBlength = 0; // all zero until the owner supplies a record
    DisplaySlot();      // registered here, on the owner's (main) thread
}

TAfComPortCore::~TAfComPortCore() {
    Close();
}

bool TAfComPortCore::Open(std::int32_t n) {
    if (IsOpen())
        return false;
    if (n <= 0) {
        platform::CommOpenResult none;
        none.Error = platform::CommOpenError::NotFound;
        throw OpenFailure(n, none);
    }
    // Checked before anything is allocated: a size the device layer cannot
    // take (a negative one reads as 4 GB there) fails like any other step.
    for (const auto& [what, size] : {std::pair{"Input", FInBufSize}, {"Output", FOutBufSize}})
        if (size < 1 || size > MaxBufSize)
            throw EAfComPortCoreError(
                af::Format("%s buffer size %d is out of range (1..%d)", what, size, MaxBufSize));
    FComNumber = n;
    platform::CommOpenResult opened = platform::OpenCommDevice(n);
    if (!opened.Device)
        throw OpenFailure(n, opened);
    FPortHandle = std::move(opened.Device);
    try {
        EventThread.reset();
        WriteThread.reset();
        win::COMMTIMEOUTS timeouts;
        timeouts.ReadIntervalTimeout = std::numeric_limits<win::DWORD>::max();
        if (!FPortHandle->SetTimeouts(timeouts))
            throw EAfComPortCoreError("Error setting timeouts");
        if (!FPortHandle->SetupQueues(static_cast<win::DWORD>(FInBufSize),
                                      static_cast<win::DWORD>(FOutBufSize)))
            throw EAfComPortCoreError("Error initializing buffers");
        if (!FPortHandle->SetEventMask(FEventMask))
            throw EAfComPortCoreError(" Error setting EventMask");
        FPortHandle->WatchModemLines(FWatchModemLines);
        ApplyDcb();
        {
            std::lock_guard<std::mutex> lock(StatusLock);
            FLineErrors = 0;
        }
        ThreadStarted.Reset();
        StartWorker(WriteThread, FWriteThreadPriority);
        FReady.store(true);
        StartWorker(EventThread, FEventThreadPriority);
    } catch (const std::bad_alloc&) {
        // The queues are the large allocations here; the owner gets the
        // core's own error, as for every other failed step.
        CloseSequence();
        throw EAfComPortCoreError(af::Format(
            "Not enough memory for the buffers (input %d, output %d)", FInBufSize, FOutBufSize));
    } catch (...) {
        CloseSequence();
        throw;
    }
    FIsOpen.store(true);
    return true;
}

template <class Thread>
void TAfComPortCore::StartWorker(std::unique_ptr<Thread>& Worker, TThreadPriority Priority) {
    try {
        Worker = std::make_unique<Thread>(this);
        Worker->Start();
    } catch (const std::system_error&) {
        throw EAfComPortCoreError("Error creating threads");
    }
    if (!platform::WaitFor(ThreadStarted, ThreadStartLimitMs))
        throw EAfComPortCoreError("Error creating threads");
    Worker->SetPriority(Priority);
}

void TAfComPortCore::Close() {
    if (!IsOpen())
        return;
    CloseSequence();
    FIsOpen.store(false);
}

void TAfComPortCore::CloseSequence() {
    if (!FPortHandle)
        return;
    if (EventThread)
        EventThread->DisableReports(); // nothing reaches the owner from now on
    FReady.store(false);
    {
        std::lock_guard<std::mutex> lock(StatusLock);
        FPortHandle->Purge(win::PURGE_TXABORT | win::PURGE_RXABORT | win::PURGE_TXCLEAR |
                           win::PURGE_RXCLEAR);
    }
    // The threads are stopped without StatusLock held: the event thread may
    // be about to take it for its poll, or be inside a report whose handler
    // reads. Both thread objects stay until both threads have ended, since a
    // report under way may still queue bytes or ask for free space.
    if (WriteThread)
        WriteThread->StopThread();
    if (EventThread)
        EventThread->StopThread();
    EventThread.reset();
    WriteThread.reset();
    // A status query or read that passed its readiness check before the
    // close began finishes before the device goes away.
    std::lock_guard<std::mutex> lock(StatusLock);
    af::SafeCloseHandle(FPortHandle);
}

void TAfComPortCore::ApplyDcb() {
    errno = 0; // a device that refuses without a cause leaves no stale one
    if (FPortHandle->SetState(FDcb))
        return;
    const platform::SystemError cause = platform::SystemErrorOf(errno);
    win::DCB actual;
    if (FPortHandle->GetState(actual))
        FDcb = actual;
    std::string hint;
    if (cause.Code != 0)
        hint = af::Format("COM%d: line settings refused (%s)", FComNumber, cause.Text.c_str());
    throw EAfComPortCoreError("Error setting parameters from DCB", cause.Code, std::move(hint));
}

std::int32_t TAfComPortCore::Read(void* Destination, std::int32_t n) {
    if (!Ready())
        return -1;
    std::lock_guard<std::mutex> lock(StatusLock);
    if (!Ready() || !EventThread)
        return -1;
    return EventThread->ReadData(Destination, n);
}

bool TAfComPortCore::Write(const void* Source, std::int32_t n) {
    if (!Ready() || !WriteThread)
        return false;
    return WriteThread->QueueData(Source, n);
}

std::int32_t TAfComPortCore::OutputFree() {
    if (!Ready() || !WriteThread)
        return 0;
    std::lock_guard<std::mutex> lock(TxLock);
    return WriteThread->FreeSpaceLocked();
}

bool TAfComPortCore::QueryStatus(win::COMSTAT& Status) {
    Status = win::COMSTAT{};
    if (!Ready())
        return false;
    std::lock_guard<std::mutex> lock(StatusLock);
    if (!Ready() || !FPortHandle)
        return false;
    win::DWORD errors = 0;
    if (!FPortHandle->ClearError(errors, &Status)) {
        Status = win::COMSTAT{};
        return false;
    }
    FLineErrors |= errors;
    return true;
}

std::uint32_t TAfComPortCore::InputWaiting() {
    if (!Ready())
        return 0;
    std::lock_guard<std::mutex> lock(StatusLock);
    if (!Ready() || !FPortHandle)
        return 0;
    win::DWORD errors = 0;
    if (!FPortHandle->ClearError(errors, nullptr))
        return 0;
    FLineErrors |= errors;
    return static_cast<std::uint32_t>(std::min<std::size_t>(
        FPortHandle->InputQueued(), std::numeric_limits<std::uint32_t>::max()));
}

void TAfComPortCore::ReportHandled() {
    if (!Ready())
        return;
    std::lock_guard<std::mutex> lock(StatusLock);
    if (Ready() && FPortHandle && FPortHandle->InputQueued() > 0)
        UnreadSignal.Set();
}

TSyncWatch TAfComPortCore::BurstWatch() {
    // The device lives until both workers have been joined, and the caller
    // is one of them.
    platform::CommDevice* device = FPortHandle.get();
    const int fd = Ready() && device ? device->BurstFd() : -1;
    if (fd < 0)
        return {};
    return {fd, [device] { return device->TakeInWhileAway(); }};
}

std::uint32_t TAfComPortCore::TakeErrors() {
    if (!Ready())
        return 0;
    std::lock_guard<std::mutex> lock(StatusLock);
    // The device's errors since the status was last read, a hang-up's
    // CE_IOE among them: its EV_ERR may come before anybody read it.
    win::DWORD fresh = 0;
    if (Ready() && FPortHandle && FPortHandle->ClearError(fresh, nullptr))
        FLineErrors |= fresh;
    const std::uint32_t errors = FLineErrors;
    FLineErrors = 0;
    return errors;
}

bool TAfComPortCore::EscapeFunction(std::uint32_t Code) {
    if (!Ready())
        return false;
    std::lock_guard<std::mutex> lock(StatusLock);
    return Ready() && FPortHandle && FPortHandle->EscapeFunction(Code);
}

void TAfComPortCore::SetDcb(const win::DCB& ADcb) {
    FDcb = ADcb;
    if (!Ready())
        return;
    std::lock_guard<std::mutex> lock(StatusLock);
    if (Ready() && FPortHandle)
        ApplyDcb();
}

void TAfComPortCore::SetEventThreadPriority(TThreadPriority Value) {
    if (Value == FEventThreadPriority)
        return;
    FEventThreadPriority = Value;
    if (Ready() && EventThread)
        EventThread->SetPriority(Value);
}

void TAfComPortCore::SetWriteThreadPriority(TThreadPriority Value) {
    if (Value == FWriteThreadPriority)
        return;
    FWriteThreadPriority = Value;
    if (Ready() && WriteThread)
        WriteThread->SetPriority(Value);
}

pid_t TAfComPortCore::EventThreadId() const {
    return EventThread && !EventThread->Finished() ? EventThread->ThreadId() : 0;
}

pid_t TAfComPortCore::WriteThreadId() const {
    return WriteThread && !WriteThread->Finished() ? WriteThread->ThreadId() : 0;
}
