// An in-memory stand-in for serial ports, for tests.
//
// FakeCommPorts installs itself as the comm back end: OpenCommDevice(n) then
// opens the FakeCommPort added for n (numbers never added are absent), and
// probes and existence checks answer for the same ports. The port is the
// scripted "hardware" behind the devices opened on it: a test feeds it bytes,
// modem-line changes, line errors and a hang-up, makes calls fail, and reads
// back a record of everything the code under test applied. The device keeps
// the real device's wait semantics (scripted events wake a thread waiting in
// WaitEvent, SetEventMask ends a wait with mask 0), so the port core's
// threads run on it unchanged.
//
// Every member of FakeCommPort may be called from any thread.
#pragma once

#include "platform/CommDevice.h"
#include "platform/Event.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The calls a test can make fail.
enum class FakeCall {
    SetTimeouts,
    SetupQueues,
    SetEventMask,
    SetState,
    GetState,
    WaitEvent,
    Read,
    Write,
    WaitWritable,
    ClearError,
    Purge,
    EscapeFunction,
};

class FakeCommDevice;

class FakeCommPort {
public:
    explicit FakeCommPort(int comNumber);
    ~FakeCommPort();
    FakeCommPort(const FakeCommPort&) = delete;
    FakeCommPort& operator=(const FakeCommPort&) = delete;

    int ComNumber() const { return comNumber_; }

    // ---- Script: what the "hardware" does ----

    // Bytes arrive in the input queue (EV_RXCHAR while the port is open).
    void Receive(std::string_view bytes);
    // Modem status lines change (EV_CTS, EV_DSR, EV_RLSD when the level
    // differs from before); Ring() is one ring indication (EV_RING).
    void SetCts(bool on);
    void SetDsr(bool on);
    void SetRlsd(bool on);
    void Ring();
    // Line errors (CE_* bits) for ClearError, and EV_ERR.
    void LineError(win::DWORD errors);
    // The device goes away: one EV_ERR with CE_IOE, then no more events;
    // reads return 0, writes and further waits for writing fail. Lasts
    // until the next open.
    void HangUp();

    // Calls that fail: the next `times` calls of `call` (times < 0: all of
    // them until FailCall(call, 0)). A failing WaitEvent/WaitWritable
    // returns WaitFailed; the others report failure as their Windows
    // counterparts do.
    void FailCall(FakeCall call, int times = -1);
    // Opens fail with this error from now on (None: opens succeed again).
    void SetOpenError(platform::CommOpenError error, int systemError = 0);
    // Most bytes one Write takes (default: all). 0 makes the driver's queue
    // "full": Write takes nothing and WaitWritable waits until the limit is
    // raised again.
    void SetWriteLimit(std::size_t bytes);
    // The settings the device reports before any SetState succeeded (from
    // the next open on). Default: platform::DefaultDcb().
    void SetDeviceDcb(const win::DCB& dcb);

    // ---- Record: what the code under test did ----

    bool IsOpen() const;
    int OpenCount() const;                       // successful opens
    int FailedOpenCount() const;                 // opens refused (error set, or in use)
    std::vector<win::DCB> AppliedDcbs() const;   // every SetState that succeeded
    int SetStateCalls() const;                   // also the refused ones
    std::vector<win::DWORD> Masks() const;       // every SetEventMask value
    std::vector<win::DWORD> EscapeCodes() const; // every EscapeFunction code
    std::vector<win::DWORD> Purges() const;      // every Purge's flags
    std::string Written() const;                 // all bytes Write took
    win::COMMTIMEOUTS Timeouts() const;
    win::DWORD InQueueSize() const; // the SetupQueues values
    win::DWORD OutQueueSize() const;
    bool Dtr() const;                // line states set by SetState
    bool Rts() const;                // and EscapeFunction
    std::size_t InputQueued() const; // bytes not read yet
    bool ModemLinesWatched() const;  // the last WatchModemLines (on at open)
    int WaitEventCalls() const;      // WaitEvent entries so far
    int WaitEventWakeups() const;    // times a waiter woke up

    // Test helpers that wait (with a deadline) for the code under test.
    bool WaitForWritten(std::size_t bytes, int timeoutMs) const;
    // Until a thread sits in WaitEvent.
    bool WaitForWaiter(int timeoutMs) const;

private:
    friend class FakeCommDevice;
    friend class FakeCommPorts;

    bool ShouldFailLocked(FakeCall call);
    void RaiseLocked(win::DWORD events);
    void WakeAllLocked();

    const int comNumber_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    // Wakes a WaitEvent/WaitWritable in progress; manual reset, reset by the
    // waiter under mutex_ when it finds nothing to report.
    platform::Event wake_{platform::Event::ResetMode::Manual};
    // The same for a WaitWritable in progress.
    platform::Event writeWake_{platform::Event::ResetMode::Manual};

    // Script state.
    std::map<FakeCall, int> failures_;
    platform::CommOpenError openError_ = platform::CommOpenError::None;
    int openSystemError_ = 0;
    std::size_t writeLimit_ = SIZE_MAX;
    win::DCB deviceDcb_;

    // Device state (reset at each open).
    bool open_ = false;
    bool hungUp_ = false;
    std::string input_;
    win::DWORD mask_ = 0;
    win::DWORD pendingEvents_ = 0;
    win::DWORD errors_ = 0;
    bool maskChanged_ = false; // a waiter is to complete with mask 0
    bool waiting_ = false;
    bool cts_ = false, dsr_ = false, rlsd_ = false;
    bool watchModem_ = true;
    bool dtr_ = false, rts_ = false;
    win::DCB state_;

    // Record.
    int openCount_ = 0;
    int failedOpens_ = 0;
    std::vector<win::DCB> appliedDcbs_;
    int setStateCalls_ = 0;
    std::vector<win::DWORD> masks_;
    std::vector<win::DWORD> escapes_;
    std::vector<win::DWORD> purges_;
    std::string written_;
    win::COMMTIMEOUTS timeouts_;
    win::DWORD inQueue_ = 0, outQueue_ = 0;
    int waitEventCalls_ = 0;
    int wakeups_ = 0;
};

// Installs the fake back end for its lifetime (restoring the real one after).
class FakeCommPorts : public platform::CommBackend {
public:
    FakeCommPorts();
    ~FakeCommPorts();
    FakeCommPorts(const FakeCommPorts&) = delete;
    FakeCommPorts& operator=(const FakeCommPorts&) = delete;

    // Adds COM n (or returns the one added before).
    std::shared_ptr<FakeCommPort> Add(int comNumber);
    // The port added for n, or null.
    std::shared_ptr<FakeCommPort> Port(int comNumber) const;

    platform::CommOpenResult Open(int comNumber) override;
    platform::PortProbe Probe(int comNumber) override;
    bool Exists(int comNumber) override;

private:
    mutable std::mutex mutex_;
    std::map<int, std::shared_ptr<FakeCommPort>> ports_;
};

// A back end whose every open is answered by `open`, installed for its
// lifetime: for tests that hand out devices of their own. Every port exists;
// a probe opens and releases.
class CommBackendFunction : public platform::CommBackend {
public:
    explicit CommBackendFunction(std::function<platform::CommOpenResult(int)> open);
    ~CommBackendFunction() override;
    platform::CommOpenResult Open(int comNumber) override { return open_(comNumber); }
    platform::PortProbe Probe(int comNumber) override;
    bool Exists(int) override { return true; }

private:
    std::function<platform::CommOpenResult(int)> open_;
};

// A device opened on a FakeCommPort. Created by FakeCommPorts.
class FakeCommDevice : public platform::CommDevice {
public:
    explicit FakeCommDevice(std::shared_ptr<FakeCommPort> port);
    ~FakeCommDevice() override;

    bool SetTimeouts(const win::COMMTIMEOUTS& timeouts) override;
    bool SetupQueues(win::DWORD inQueue, win::DWORD outQueue) override;
    bool SetEventMask(win::DWORD mask) override;
    win::DWORD EventMask() override;
    void WatchModemLines(bool on) override;
    bool SetState(const win::DCB& dcb) override;
    bool GetState(win::DCB& dcb) override;
    int WaitEvent(std::span<platform::Event* const> events, std::size_t commSlot, int timeoutMs,
                  win::DWORD& mask) override;
    std::ptrdiff_t Read(void* destination, std::size_t count) override;
    std::size_t InputQueued() override;
    std::ptrdiff_t Write(const void* source, std::size_t count) override;
    int WaitWritable(std::span<platform::Event* const> events, std::size_t deviceSlot,
                     int timeoutMs) override;
    bool ClearError(win::DWORD& errors, win::COMSTAT* status) override;
    bool Purge(win::DWORD flags) override;
    bool EscapeFunction(win::DWORD code) override;
    int ComNumber() const override;

private:
    std::shared_ptr<FakeCommPort> port_;
};
