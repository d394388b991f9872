#include "serial/AfComPort.h"

#include "platform/CommDevice.h"
#include "serial/AfSafeSync.h"
#include "serial/AfUiHooks.h"
#include "serial/AfUtils.h"

#include <QPointer>
#include <limits>

namespace {

// The longest a worker waits for the main thread to handle one report.
constexpr std::chrono::milliseconds HandOffLimit{2000};

// Shows the hourglass for its lifetime; the cursor comes back also when the
// guarded call raises.
class WaitCursor {
public:
    WaitCursor() {
        if (af::Ui().BusyCursor)
            af::Ui().BusyCursor(true);
    }
    ~WaitCursor() {
        if (af::Ui().BusyCursor)
            af::Ui().BusyCursor(false);
    }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

} // namespace

// ---------------------------------------------------------------------------
// TAfCustomSerialPort

TAfCustomSerialPort::TAfCustomSerialPort(QObject* AOwner) : TAfDataDispConnComponent(AOwner) {
    // Every hand-off carries its own code; the slot's handler is never used.
    FSyncId = RegisterSyncSlot([] {});
    FCore = std::make_unique<TAfComPortCore>();
    FCore->OnCoreEvent = [this](TAfComPortCore*, TAfCoreEvent EventKind, std::uint32_t Data,
                                std::exception_ptr Error) {
        HandleCoreEvent(EventKind, Data, std::move(Error));
    };
    FCore->SetReportsHandedOn(true);
    Rebuild();
}

TAfCustomSerialPort::~TAfCustomSerialPort() {
    FDestroying.store(true);
    // Releasing the slot drops hand-offs not yet run and makes one under way
    // return at once, so the core's close below never waits for it.
    // The id itself stays: the event thread may read it until the core's
    // close below has stopped that thread.
    ReleaseSyncSlot(FSyncId);
    FCore.reset(); // closes an open port; no OnPortClose
}

void TAfCustomSerialPort::Loaded() {
    if (FAutoOpen)
        Open();
    else
        Rebuild();
}

bool TAfCustomSerialPort::Active() const {
    return FCore && FCore->IsOpen();
}

void TAfCustomSerialPort::Open() {
    if (Active())
        return;
    EnableSyncSlot(FSyncId, true);
    FCore->SetDcb(FSettings.DcbImage);
    FCore->SetInBufSize(FSettings.InBufSize);
    FCore->SetOutBufSize(FSettings.OutBufSize);
    FCore->SetEventThreadPriority(FSettings.EventThreadPriority);
    FCore->SetWriteThreadPriority(FSettings.WriteThreadPriority);
    // A device that must sample its modem lines to see them change does so
    // only when someone listens, so that a quiet port costs no wake-ups.
    FCore->SetWatchModemLines(OnCTSChanged || OnDSRChanged || OnRINGDetected || OnRLSDChanged ||
                              OnSyncEvent || OnNonSyncEvent);
    FClosing.store(false);
    FPosted = TSyncPosted(); // a hand-off of the last opening was run or dropped
    OpenDevice();
    if (!Call(OnPortOpen))
        return;
    TAfDataDispConnComponent::Open();
}

void TAfCustomSerialPort::Close() {
    FClosing.store(true);
    TAfDataDispConnComponent::Close();
    EnableSyncSlot(FSyncId, false);
    FCore->Close();
    if (!Call(OnPortClose))
        return;
    FClosing.store(false);
}

std::string TAfCustomSerialPort::ReadString() {
    if (FClosing.load())
        return {};
    const std::uint32_t waiting =
        std::min<std::uint32_t>(FCore->InputWaiting(), std::numeric_limits<std::int32_t>::max());
    if (waiting == 0)
        return {};
    std::string result(waiting, '\0');
    const std::int32_t got = FCore->Read(result.data(), static_cast<std::int32_t>(waiting));
    // Only what the read delivered: a shorter read must not leave NULs that
    // were never received at the end of the text.
    result.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return result;
}

void TAfCustomSerialPort::WriteData(const void* Buffer, std::int32_t Count) {
    if (FClosing.load())
        return;
    if (!FCore->Write(Buffer, Count))
        RaiseError(
            af::Format("Write data error [requested: %d, free: %d]", Count, FCore->OutputFree()));
}

void TAfCustomSerialPort::RaiseError(const std::string& Text) {
    throw EAfComPortError(af::Format("%s - %s ", Text.c_str(), Name().c_str()));
}

void TAfCustomSerialPort::CheckClosed() {
    if (Active())
        RaiseError("Port is not closed");
}

void TAfCustomSerialPort::Rebuild() {
    FSettings.BuildDcb();
    if (!Active())
        return;
    try {
        FCore->SetDcb(FSettings.DcbImage);
    } catch (...) {
        // The core has read the device's actual settings back.
        FSettings.DcbImage = FCore->Dcb();
        throw;
    }
}

void TAfCustomSerialPort::LoadSettingsFromDcb(const win::DCB& Dcb) {
    if (!FSettings.LoadFromDcb(Dcb))
        RaiseError(AfDcbLoadErrorText);
    Rebuild();
}

// ---- Hand-off ----

void TAfCustomSerialPort::HandleCoreEvent(TAfCoreEvent EventKind, std::uint32_t Data,
                                          std::exception_ptr Error) {
    // An exception object that is dropped here is released with Error.
    if (FClosing.load() || FDestroying.load())
        return;
    if (EventKind != ceException && OnNonSyncEvent) {
        OnNonSyncEvent(this, EventKind, Data);
        FCore->ReportHandled();
        return;
    }
    // One hand-off at a time: the previous one has been served (or has had
    // its time limit) before this one is posted. In a burst the event thread
    // takes in what goes on arriving meanwhile.
    const bool bytes = EventKind == ceLineEvent && (Data & win::EV_RXCHAR);
    const TSyncWatch watch = bytes ? FCore->BurstWatch() : TSyncWatch{};
    if (!SyncAwait(FPosted, HandOffLimit, watch))
        throw EAbort(); // the receiver has gone away: drop the event quietly
    // Bytes that came while the previous hand-off was under way may have
    // been read by it: a report of nothing else has nothing to say.
    if (bytes && Data == win::EV_RXCHAR && FCore->InputWaiting() == 0)
        return;
    const bool live = SyncPost(
        FSyncId, [this, EventKind, Data, Error] { SyncHandler(EventKind, Data, Error); }, FPosted,
        watch.Fd >= 0);
    if (!live)
        throw EAbort();
}

void TAfCustomSerialPort::SyncHandler(TAfCoreEvent EventKind, std::uint32_t Data,
                                      std::exception_ptr Error) {
    if (FClosing.load())
        return;
    const QPointer<TAfCustomSerialPort> self(this);
    DispatchEvent(EventKind, Data, std::move(Error));
    // The event thread polls bytes the handlers left only once told so.
    if (self && !FClosing.load())
        FCore->ReportHandled();
}

void TAfCustomSerialPort::DispatchEvent(TAfCoreEvent EventKind, std::uint32_t Data,
                                        std::exception_ptr Error) {
    if (FClosing.load() || FDestroying.load())
        return;
    if (!Call(OnSyncEvent, EventKind, Data))
        return;
    switch (EventKind) {
    case ceOutFree:
        Call(OnOutBufFree);
        break;
    case ceLineEvent:
        if (Data & win::EV_RXCHAR) {
            const std::uint32_t waiting = FCore->InputWaiting();
            if (!Call(OnDataRecived, static_cast<std::int32_t>(std::min<std::uint32_t>(
                                         waiting, std::numeric_limits<std::int32_t>::max()))))
                return;
        }
        FireLineEvents(Data);
        break;
    case ceNeedReadData:
        Call(OnDataRecived, static_cast<std::int32_t>(Data));
        break;
    case ceException:
        // Leaves through the notifier, which hands it to the application's
        // exception handler.
        if (Error)
            std::rethrow_exception(Error);
        break;
    }
}

void TAfCustomSerialPort::FireLineEvents(std::uint32_t Mask) {
    const std::uint32_t errors = FCore->TakeErrors(); // always taken, clearing them
    // Each handler may free the component: the next one is looked up only
    // while it lives.
    if ((Mask & win::EV_ERR) && !Call(OnLineError, errors))
        return;
    if ((Mask & win::EV_CTS) && !Call(OnCTSChanged))
        return;
    if ((Mask & win::EV_DSR) && !Call(OnDSRChanged))
        return;
    if ((Mask & win::EV_RING) && !Call(OnRINGDetected))
        return;
    if (Mask & win::EV_RLSD)
        Call(OnRLSDChanged);
}

template <class Event, class... Args>
bool TAfCustomSerialPort::Call(const Event& Handler, Args... Arguments) {
    if (!Handler)
        return true;
    // A copy: freeing the component destroys the member, and with it the
    // closure, while the handler still runs.
    const Event handler = Handler;
    const QPointer<TAfCustomSerialPort> self(this);
    handler(this, Arguments...);
    return !self.isNull();
}

// ---- Property setters ----

void TAfCustomSerialPort::SetBaudRate(TAfBaudrate Value) {
    if (Value == FSettings.BaudRate)
        return;
    FSettings.BaudRate = Value;
    if (Value != brUser)
        FSettings.UserBaudRate = 0;
    Rebuild();
}

void TAfCustomSerialPort::SetDatabits(TAfDatabits Value) {
    if (Value == FSettings.Databits)
        return;
    FSettings.Databits = Value;
    Rebuild();
}

void TAfCustomSerialPort::SetDTR(bool Value) {
    if (Value == FSettings.DTR)
        return;
    FCore->EscapeFunction(Value ? win::SETDTR : win::CLRDTR); // acts only while open
    FSettings.DTR = Value;
}

void TAfCustomSerialPort::SetEventThreadPriority(TThreadPriority Value) {
    FSettings.EventThreadPriority = Value; // takes effect at the next Open
}

void TAfCustomSerialPort::SetFlowControl(TAfFlowControl Value) {
    if (Value == FSettings.FlowControl)
        return;
    FSettings.FlowControl = Value;
    FSettings.UpdateFlowLimits();
    Rebuild();
}

void TAfCustomSerialPort::SetInBufSize(std::int32_t Value) {
    if (Value == FSettings.InBufSize)
        return;
    CheckClosed();
    FSettings.InBufSize = Value;
    FSettings.UpdateFlowLimits();
}

void TAfCustomSerialPort::SetOptions(TAfComOptions Value) {
    if (Value == FSettings.Options)
        return;
    FSettings.Options = Value;
    Rebuild();
}

void TAfCustomSerialPort::SetOutBufSize(std::int32_t Value) {
    if (Value == FSettings.OutBufSize)
        return;
    CheckClosed();
    FSettings.OutBufSize = Value;
}

void TAfCustomSerialPort::SetParity(TAfParity Value) {
    if (Value == FSettings.Parity)
        return;
    FSettings.Parity = Value;
    Rebuild();
}

void TAfCustomSerialPort::SetRTS(bool Value) {
    if (Value == FSettings.RTS)
        return;
    FCore->EscapeFunction(Value ? win::SETRTS : win::CLRRTS);
    FSettings.RTS = Value;
}

void TAfCustomSerialPort::SetStopbits(TAfStopbits Value) {
    if (Value == FSettings.Stopbits)
        return;
    FSettings.Stopbits = Value;
    Rebuild();
}

void TAfCustomSerialPort::SetUserBaudRate(std::int32_t Value) {
    if (Value == FSettings.UserBaudRate)
        return;
    FSettings.UserBaudRate = Value;
    FSettings.BaudRate = brUser;
    Rebuild();
}

void TAfCustomSerialPort::SetWriteThreadPriority(TThreadPriority Value) {
    FSettings.WriteThreadPriority = Value; // takes effect at the next Open
}

void TAfCustomSerialPort::SetXOnChar(char Value) {
    if (Value == FSettings.XOnChar)
        return;
    FSettings.XOnChar = Value;
    Rebuild();
}

void TAfCustomSerialPort::SetXOffChar(char Value) {
    if (Value == FSettings.XOffChar)
        return;
    FSettings.XOffChar = Value;
    Rebuild();
}

// ---------------------------------------------------------------------------
// TAfCustomComPort

TAfCustomComPort::TAfCustomComPort(QObject* AOwner) : TAfCustomSerialPort(AOwner) {}

TAfCustomComPort::~TAfCustomComPort() = default;

void TAfCustomComPort::SetComNumber(int Value) {
    const auto number = static_cast<std::uint16_t>(Value);
    if (number == FComNumber)
        return;
    if (Active()) {
        const QPointer<TAfCustomComPort> self(this);
        Close();
        if (!self)
            return; // freed by its close event
        FComNumber = number;
        Open();
    } else {
        FComNumber = number;
    }
}

void TAfCustomComPort::OpenDevice() {
    WaitCursor busy;
    FCore->Open(FComNumber);
}

bool TAfCustomComPort::ShowConfigDialog() {
    win::COMMCONFIG cc;
    const QString name = QStringLiteral("COM%1").arg(FComNumber);
    bool ok;
    if (Active() && FCore->PortHandle())
        ok = platform::GetCommConfig(*FCore->PortHandle(), cc);
    else
        ok = platform::GetDefaultCommConfig(FComNumber, cc);
    cc.dcb = FSettings.DcbImage;
    cc.dwSize = sizeof(win::COMMCONFIG);
    if (!ok)
        return false;
    if (!af::Ui().ConfigDialog || !af::Ui().ConfigDialog(name, cc))
        return false;
    LoadSettingsFromDcb(cc.dcb);
    return true;
}

// ---------------------------------------------------------------------------
// TAfComPort

TAfComPort::TAfComPort(QObject* AOwner) : TAfCustomComPort(AOwner) {}

TAfComPort::~TAfComPort() = default;
