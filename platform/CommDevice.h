// An open serial device, offering what the port core needs of it, and the
// replaceable back end that opens one by COM number.
//
// Each member says which Windows communications call it stands for. The
// device is open for as long as the object lives; destroying it drops the
// exclusive claim, discards unsent output and closes the descriptor. Join
// every thread that uses the device before destroying it.
//
// Threads: one thread may sit in WaitEvent (the event thread) and another in
// WaitWritable/Write (the write thread) while the owner's thread calls Read,
// ClearError, Purge, EscapeFunction, SetState, GetState and SetEventMask.
// All members may run concurrently with each other except that only one
// thread at a time may be inside WaitEvent, and only one inside WaitWritable.
// SetEventMask from any thread completes a WaitEvent in progress with mask 0.
#pragma once

#include "platform/Event.h"
#include "platform/WinTypes.h"

#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace platform {

class CommDevice {
public:
    virtual ~CommDevice() = default;

    // What the open had to do that the event log should tell, or empty: a
    // port left exclusive by a process that died was taken over.
    virtual std::string OpenNotice() const { return {}; }

    // SetCommTimeouts. Accepted and otherwise ignored: reads never wait
    // (they return what is queued) and writes take what the driver accepts
    // without blocking.
    virtual bool SetTimeouts(const win::COMMTIMEOUTS& timeouts) = 0;

    // SetupComm. Stored only: the driver keeps queues of its own size.
    virtual bool SetupQueues(win::DWORD inQueue, win::DWORD outQueue) = 0;

    // SetCommMask. Completes a WaitEvent in progress with mask 0. Events
    // that happened before are forgotten.
    virtual bool SetEventMask(win::DWORD mask) = 0;
    // GetCommMask.
    virtual win::DWORD EventMask() = 0;
    // Whether anyone listens to the modem-line events of the mask (on at
    // open). A device that must sample the lines to see their changes stops
    // sampling while nobody listens, so a quiet port costs nothing.
    virtual void WatchModemLines(bool on) = 0;

    // SetCommState: applies the line settings. False when the device refuses
    // them (unsupported size, parity, stop bits or handshake, or a failed
    // system call); the previous settings then stay in force and errno says
    // why (EINVAL for a record the device cannot express).
    virtual bool SetState(const win::DCB& dcb) = 0;
    // GetCommState: the last settings applied successfully (initially those
    // the device had when it was opened).
    virtual bool GetState(win::DCB& dcb) = 0;

    // WaitCommEvent combined with WaitForMultipleObjects: waits until one of
    // `events` is set or a comm event of the mask happens, at most timeoutMs
    // (InfiniteWait: no limit). The wait order has events.size() + 1
    // positions: the comm event at position commSlot (0..events.size()),
    // events[0..commSlot) before it and the others after it, each one
    // position further on. Several ready at once: the lowest position wins,
    // and only that one is taken. So WaitEvent({stop, drained}, 1, ...)
    // answers 0 for stop, 1 for the comm event, 2 for drained.
    // Returns the position, with `mask` holding the comm events when it is
    // commSlot (mask 0 when the event mask was changed while waiting, or is
    // 0), or WaitTimeout, or WaitFailed (mask untouched either way).
    // Comm events that are not collected by a wait stay pending for the next.
    virtual int WaitEvent(std::span<Event* const> events, std::size_t commSlot, int timeoutMs,
                          win::DWORD& mask) = 0;

    // ReadFile without waiting: copies up to `count` queued bytes. Returns
    // the number copied (0 when nothing is queued or the device has hung up),
    // or -1 when the read failed.
    virtual std::ptrdiff_t Read(void* destination, std::size_t count) = 0;
    // cbInQue alone, without collecting errors: cheap enough to ask before
    // every wait.
    virtual std::size_t InputQueued() = 0;
    // While the waiter is away reporting a burst: a descriptor that turns
    // readable when more input arrives, so that the event thread can take it
    // in with TakeInWhileAway while its report is being handled; -1 when
    // there is nothing to watch. Event thread only, inside a report.
    virtual int BurstFd() { return -1; }
    // Takes in what has arrived; false when nothing more can be taken during
    // this report (nothing came, the queue is full, the device hung up or
    // the events are off). Event thread only, inside a report.
    virtual bool TakeInWhileAway() { return false; }

    // WriteFile without waiting: hands as many bytes to the driver as it
    // takes now. Returns that number (0 when its queue is full), or -1 when
    // the write failed (for example after a hang-up).
    virtual std::ptrdiff_t Write(const void* source, std::size_t count) = 0;

    // The wait of an overlapped write: waits until the driver takes more
    // bytes or one of `events` is set, at most timeoutMs; the device takes
    // position `deviceSlot` in the wait order and the result is a position,
    // as in WaitEvent. A device that has
    // hung up answers at once with deviceSlot (the next Write then fails).
    virtual int WaitWritable(std::span<Event* const> events, std::size_t deviceSlot,
                             int timeoutMs) = 0;

    // ClearCommError: the CE_* errors collected since the last call (then
    // cleared) and, when `status` is given, the input and output queue
    // counts. CE_IOE is reported once after the device has hung up.
    virtual bool ClearError(win::DWORD& errors, win::COMSTAT* status) = 0;

    // PurgeComm: PURGE_RXCLEAR/PURGE_RXABORT discard the input queue,
    // PURGE_TXCLEAR/PURGE_TXABORT the output queue.
    virtual bool Purge(win::DWORD flags) = 0;

    // EscapeCommFunction: SETDTR, CLRDTR, SETRTS, CLRRTS (also SETBREAK,
    // CLRBREAK, SETXOFF, SETXON). False when the device cannot do it, and for
    // an RTS change while RTS handshake is on.
    virtual bool EscapeFunction(win::DWORD code) = 0;

    // The COM number the device was opened for.
    virtual int ComNumber() const = 0;
};

// Why an open failed.
enum class CommOpenError {
    None,
    NotFound,   // ERROR_FILE_NOT_FOUND: no such port
    CannotOpen, // any other failure: in use, no permission, ...
};

// The class of an open that failed with errno `err`: ENOENT, ENXIO, ENODEV,
// ENOTDIR and EIO (a tty node without hardware) are NotFound, everything
// else CannotOpen. The one place where system errors become open errors.
CommOpenError OpenErrorOf(int err);

struct CommOpenResult {
    std::unique_ptr<CommDevice> Device; // set exactly when Error is None
    CommOpenError Error = CommOpenError::None;
    int SystemError = 0; // errno of the failure, when there was one
    std::string Path;    // the device path tried, when there was one
};

// What a user can do about a failed open, or an empty string: for a refused
// permission, the device path and PermissionAdvice's words.
std::string OpenFailureHint(const CommOpenResult& result);

// Why a node at `path` may not be opened, as advice: to join the node's
// group when that group may read and write it and the process is not in
// it; otherwise the node's owner, group and mode ("the node is owned by
// root, group root, mode 0600").
std::string PermissionAdvice(const std::string& path);

// Why an open failed, for the event log: the path tried and the cause, for
// example "/dev/ttyUSB3: no such file" or "/dev/null: not a serial device";
// empty when the open succeeded or no path was tried.
std::string OpenFailureCause(const CommOpenResult& result);

// Result of probing one port for the port chooser.
enum class PortProbe { Free, InUse, Absent };

// Where COM ports come from. The termios back end (real ttys, see PortMap.h)
// serves unless another is installed; tests install fakes. Every member is
// safe on any thread.
class CommBackend {
public:
    virtual ~CommBackend() = default;
    // CreateFile on "\\.\COM<n>": opens COM n exclusively.
    virtual CommOpenResult Open(int comNumber) = 0;
    // Opens COM n as Open does and releases it at once, leaving the device
    // as it was. A port held open by this very process reads InUse.
    virtual PortProbe Probe(int comNumber) = 0;
    // Whether COM n exists, without opening it.
    virtual bool Exists(int comNumber) = 0;
};

// Installs `backend` for every later call (nullptr: the termios back end);
// the caller keeps it alive while installed. Not to be changed while
// another thread opens a device.
void SetCommBackend(CommBackend* backend);
// The back end in use.
CommBackend& ActiveCommBackend();

// ActiveCommBackend().Open / .Probe.
CommOpenResult OpenCommDevice(int comNumber);
PortProbe ProbeComPort(int comNumber);

// The settings a port has when nobody has configured it: 9600 baud, 8 data
// bits, no parity, one stop bit, binary, DTR and RTS on, XON 17, XOFF 19.
win::DCB DefaultDcb();

// GetDefaultCommConfig: fills `config` (size, version, the default DCB) for
// COM n. False when the port does not exist; the port is not opened.
bool GetDefaultCommConfig(int comNumber, win::COMMCONFIG& config);

// GetCommConfig: fills `config` with the current settings of an open device.
bool GetCommConfig(CommDevice& device, win::COMMCONFIG& config);

} // namespace platform
