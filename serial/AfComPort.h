// The serial port component: holds the port number and line settings, opens
// and closes the port through the port core, turns the core's reports from
// its event thread into events on the main thread (through the main-thread
// notifier), lets the main thread take all received bytes as one string and
// queues bytes for sending.
//
// Threads: everything here is for the main thread except OnNonSyncEvent,
// which is called on the core's event thread. Each core report is handed to
// the main thread as a request that carries its own kind and data; the event
// thread posts it and goes back to waiting for the device, and before it
// posts the next one it waits (2000 ms at most) until the previous one has
// been served, so the handlers run in order, one at a time. The component
// takes no lock of its own.
//
// Closing: Close disables the notifier slot and raises the Closing flag
// before it stops the core, so a hand-off under way is refused at once and a
// late one does nothing; closing from inside an event handler completes
// without waiting out the hand-off's time limit.
//
// Freeing: the owner may delete the component from inside any of its
// main-thread events (not from OnNonSyncEvent); the component notices and
// touches nothing of itself once that handler has returned.
#pragma once

#include "platform/Types.h"
#include "platform/WinTypes.h"
#include "serial/AfComPortCore.h"
#include "serial/AfComSettings.h"
#include "serial/AfDataDispatcher.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// Every failure the component raises itself; the message ends in
// " - <component name> ".
class EAfComPortError : public std::runtime_error {
public:
    explicit EAfComPortError(const std::string& message) : std::runtime_error(message) {}
};

using TAfCPTDataReceivedEvent = std::function<void(QObject* Sender, std::int32_t Count)>;
using TAfCPTErrorEvent = std::function<void(QObject* Sender, std::uint32_t Errors)>;
using TAfCPTCoreEvent =
    std::function<void(QObject* Sender, TAfCoreEvent EventKind, std::uint32_t Data)>;

class TAfCustomSerialPort : public TAfDataDispConnComponent {
    Q_OBJECT
public:
    explicit TAfCustomSerialPort(QObject* AOwner = nullptr);
    // Closes an open port without firing OnPortClose.
    ~TAfCustomSerialPort() override;

    // The after-loading step: the owner calls it once after setting the
    // stored properties. Opens the port when AutoOpen is set (a failure
    // passes to the caller), otherwise rebuilds the DCB image.
    virtual void Loaded();

    // Opens the port (nothing when already open) and fires OnPortOpen.
    // The core's EAfComPortCoreError passes unchanged.
    void Open() override;
    // Closes the port (when open) and fires OnPortClose in every case.
    void Close() override;
    // True while the port is open.
    bool Active() const;
    // Every byte waiting in the input queue (empty when none, when the port
    // is closed or while closing). Only the bytes actually read.
    std::string ReadString();
    // Queues Count bytes for sending; raises "Write data error [requested:
    // %d, free: %d]" when they do not fit or the port is closed.
    void WriteData(const void* Buffer, std::int32_t Count) override;
    void WriteData(const std::string& Data) {
        WriteData(Data.data(), static_cast<std::int32_t>(Data.size()));
    }
    // Shows the port settings dialog; true when the user confirmed it and
    // the settings were taken over (an open port gets them at once).
    virtual bool ShowConfigDialog() = 0;
    // Raises EAfComPortError with "<Text> - <Name> ".
    [[noreturn]] virtual void RaiseError(const std::string& Text);

    // ---- Properties ----
    bool AutoOpen() const { return FAutoOpen; }
    void SetAutoOpen(bool Value) { FAutoOpen = Value; }
    TAfBaudrate BaudRate() const { return FSettings.BaudRate; }
    void SetBaudRate(TAfBaudrate Value);
    TAfDatabits Databits() const { return FSettings.Databits; }
    void SetDatabits(TAfDatabits Value);
    bool DTR() const { return FSettings.DTR; }
    void SetDTR(bool Value);
    TThreadPriority EventThreadPriority() const { return FSettings.EventThreadPriority; }
    void SetEventThreadPriority(TThreadPriority Value);
    TAfFlowControl FlowControl() const { return FSettings.FlowControl; }
    void SetFlowControl(TAfFlowControl Value);
    std::int32_t InBufSize() const { return FSettings.InBufSize; }
    void SetInBufSize(std::int32_t Value);
    TAfComOptions Options() const { return FSettings.Options; }
    void SetOptions(TAfComOptions Value);
    std::int32_t OutBufSize() const { return FSettings.OutBufSize; }
    void SetOutBufSize(std::int32_t Value);
    TAfParity Parity() const { return FSettings.Parity; }
    void SetParity(TAfParity Value);
    bool RTS() const { return FSettings.RTS; }
    void SetRTS(bool Value);
    TAfStopbits Stopbits() const { return FSettings.Stopbits; }
    void SetStopbits(TAfStopbits Value);
    std::int32_t UserBaudRate() const { return FSettings.UserBaudRate; }
    void SetUserBaudRate(std::int32_t Value);
    TThreadPriority WriteThreadPriority() const { return FSettings.WriteThreadPriority; }
    void SetWriteThreadPriority(TThreadPriority Value);
    char XOnChar() const { return FSettings.XOnChar; }
    void SetXOnChar(char Value);
    char XOffChar() const { return FSettings.XOffChar; }
    void SetXOffChar(char Value);
    std::uint16_t XOnLim() const { return FSettings.XOnLim; }
    void SetXOnLim(std::uint16_t Value) { FSettings.SetXOnLim(Value); }
    std::uint16_t XOffLim() const { return FSettings.XOffLim; }
    void SetXOffLim(std::uint16_t Value) { FSettings.SetXOffLim(Value); }

    // The DCB image the port gets at its next open or rebuild.
    const win::DCB& DcbImage() const { return FSettings.DcbImage; }
    // The component's name, as used in its error messages.
    std::string Name() const { return objectName().toStdString(); }
    // The port core, for diagnostics and tests.
    TAfComPortCore& Core() { return *FCore; }
    const TAfComPortCore& Core() const { return *FCore; }
    // True only while Close runs (and after a Close whose OnPortClose
    // handler raised, until the next Open).
    bool Closing() const { return FClosing.load(); }
    // The notifier slot (0 when none was free).
    std::uint32_t SyncId() const { return FSyncId; }

    // ---- Events (all with this component as Sender) ----
    // Assign the modem-line events (and OnSyncEvent, OnNonSyncEvent, which
    // see every line event) before Open: the lines are watched only when
    // one of them is set at that moment.
    TNotifyEvent OnCTSChanged;
    TAfCPTDataReceivedEvent OnDataRecived;
    TNotifyEvent OnDSRChanged;
    TAfCPTErrorEvent OnLineError;
    // On the core's event thread, in place of the main-thread delivery of
    // every report except ceException. Assign it while the port is closed.
    TAfCPTCoreEvent OnNonSyncEvent;
    TNotifyEvent OnOutBufFree;
    TNotifyEvent OnPortClose;
    TNotifyEvent OnPortOpen;
    TNotifyEvent OnRINGDetected;
    TNotifyEvent OnRLSDChanged;
    TAfCPTCoreEvent OnSyncEvent;

protected:
    // Opens the device through the core; raises on failure.
    virtual void OpenDevice() = 0;
    // BuildDcb; on an open port hands the image to the core. When the
    // device refuses it, the image takes the device's actual settings and
    // the core's error passes to the caller.
    void Rebuild();
    // Raises "Port is not closed" while the port is open.
    void CheckClosed();
    // LoadFromDcb followed by a rebuild; raises "Error setting parameters
    // from DCB" for a record of the wrong length, changing nothing.
    void LoadSettingsFromDcb(const win::DCB& Dcb);

    TAfComSettings FSettings;
    std::unique_ptr<TAfComPortCore> FCore;

private:
    // On the event thread.
    void HandleCoreEvent(TAfCoreEvent EventKind, std::uint32_t Data, std::exception_ptr Error);
    // On the main thread, inside the hand-off.
    void SyncHandler(TAfCoreEvent EventKind, std::uint32_t Data, std::exception_ptr Error);
    void DispatchEvent(TAfCoreEvent EventKind, std::uint32_t Data, std::exception_ptr Error);
    void FireLineEvents(std::uint32_t Mask);
    // Calls an event handler, when set, with this component as Sender.
    // False when the handler freed the component: the caller then returns
    // at once without touching a member. Main thread.
    template <class Event, class... Args> bool Call(const Event& Handler, Args... Arguments);

    bool FAutoOpen = false;
    std::uint32_t FSyncId = 0;
    // The last hand-off posted and not yet waited for. Event thread (reset
    // by Open while no event thread runs).
    TSyncPosted FPosted;
    std::atomic<bool> FClosing{false};
    std::atomic<bool> FDestroying{false};
};

class TAfCustomComPort : public TAfCustomSerialPort {
    Q_OBJECT
public:
    explicit TAfCustomComPort(QObject* AOwner = nullptr);
    ~TAfCustomComPort() override;

    // The number n of the port COM<n>; 0 after construction. Changing it
    // while open closes the port (OnPortClose) and opens the new number
    // (OnPortOpen); a failing reopen leaves the port closed with the new
    // number and passes the error on.
    int ComNumber() const { return FComNumber; }
    void SetComNumber(int Value);

    bool ShowConfigDialog() override;

protected:
    void OpenDevice() override;

private:
    std::uint16_t FComNumber = 0;
};

class TAfComPort : public TAfCustomComPort {
    Q_OBJECT
public:
    explicit TAfComPort(QObject* AOwner = nullptr);
    ~TAfComPort() override;
};
