#include "support/FakeCommDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

using platform::CommOpenError;
using platform::CommOpenResult;
using platform::Event;

// ---------------------------------------------------------------- port ----

FakeCommPort::FakeCommPort(int comNumber) : comNumber_(comNumber) {
    deviceDcb_ = platform::DefaultDcb();
    state_ = deviceDcb_;
}

FakeCommPort::~FakeCommPort() = default;

void FakeCommPort::WakeAllLocked() {
    wake_.Set();
    writeWake_.Set();
    changed_.notify_all();
}

void FakeCommPort::RaiseLocked(win::DWORD events) {
    if (!open_ || hungUp_)
        return;
    // Unwatched modem lines are not looked at, so their changes go unseen.
    if (!watchModem_)
        events &= ~(win::EV_CTS | win::EV_DSR | win::EV_RLSD | win::EV_RING);
    pendingEvents_ |= events & mask_;
    if (pendingEvents_ != 0)
        WakeAllLocked();
}

bool FakeCommPort::ShouldFailLocked(FakeCall call) {
    auto it = failures_.find(call);
    if (it == failures_.end() || it->second == 0)
        return false;
    if (it->second > 0)
        --it->second;
    return true;
}

void FakeCommPort::Receive(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    if (!open_ || hungUp_ || bytes.empty())
        return; // nobody listens: the bytes are lost, as on a closed port
    input_.append(bytes);
    RaiseLocked(win::EV_RXCHAR);
    changed_.notify_all();
}

void FakeCommPort::SetCts(bool on) {
    std::lock_guard lock(mutex_);
    if (cts_ != on) {
        cts_ = on;
        RaiseLocked(win::EV_CTS);
    }
}

void FakeCommPort::SetDsr(bool on) {
    std::lock_guard lock(mutex_);
    if (dsr_ != on) {
        dsr_ = on;
        RaiseLocked(win::EV_DSR);
    }
}

void FakeCommPort::SetRlsd(bool on) {
    std::lock_guard lock(mutex_);
    if (rlsd_ != on) {
        rlsd_ = on;
        RaiseLocked(win::EV_RLSD);
    }
}

void FakeCommPort::Ring() {
    std::lock_guard lock(mutex_);
    RaiseLocked(win::EV_RING);
}

void FakeCommPort::LineError(win::DWORD errors) {
    std::lock_guard lock(mutex_);
    if (!open_ || hungUp_)
        return;
    errors_ |= errors;
    RaiseLocked(win::EV_ERR);
}

void FakeCommPort::HangUp() {
    std::lock_guard lock(mutex_);
    if (!open_ || hungUp_)
        return;
    errors_ |= win::CE_IOE;
    pendingEvents_ |= win::EV_ERR & mask_;
    hungUp_ = true;
    input_.clear();
    WakeAllLocked();
}

void FakeCommPort::FailCall(FakeCall call, int times) {
    std::lock_guard lock(mutex_);
    failures_[call] = times;
    WakeAllLocked(); // a waiter re-checks whether its wait now fails
}

void FakeCommPort::SetOpenError(CommOpenError error, int systemError) {
    std::lock_guard lock(mutex_);
    openError_ = error;
    openSystemError_ = systemError;
}

void FakeCommPort::SetWriteLimit(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    writeLimit_ = bytes;
    WakeAllLocked();
}

void FakeCommPort::SetDeviceDcb(const win::DCB& dcb) {
    std::lock_guard lock(mutex_);
    deviceDcb_ = dcb;
}

bool FakeCommPort::IsOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}
int FakeCommPort::OpenCount() const {
    std::lock_guard lock(mutex_);
    return openCount_;
}
int FakeCommPort::FailedOpenCount() const {
    std::lock_guard lock(mutex_);
    return failedOpens_;
}
std::vector<win::DCB> FakeCommPort::AppliedDcbs() const {
    std::lock_guard lock(mutex_);
    return appliedDcbs_;
}
int FakeCommPort::SetStateCalls() const {
    std::lock_guard lock(mutex_);
    return setStateCalls_;
}
std::vector<win::DWORD> FakeCommPort::Masks() const {
    std::lock_guard lock(mutex_);
    return masks_;
}
std::vector<win::DWORD> FakeCommPort::EscapeCodes() const {
    std::lock_guard lock(mutex_);
    return escapes_;
}
std::vector<win::DWORD> FakeCommPort::Purges() const {
    std::lock_guard lock(mutex_);
    return purges_;
}
std::string FakeCommPort::Written() const {
    std::lock_guard lock(mutex_);
    return written_;
}
win::COMMTIMEOUTS FakeCommPort::Timeouts() const {
    std::lock_guard lock(mutex_);
    return timeouts_;
}
win::DWORD FakeCommPort::InQueueSize() const {
    std::lock_guard lock(mutex_);
    return inQueue_;
}
win::DWORD FakeCommPort::OutQueueSize() const {
    std::lock_guard lock(mutex_);
    return outQueue_;
}
bool FakeCommPort::Dtr() const {
    std::lock_guard lock(mutex_);
    return dtr_;
}
bool FakeCommPort::Rts() const {
    std::lock_guard lock(mutex_);
    return rts_;
}
std::size_t FakeCommPort::InputQueued() const {
    std::lock_guard lock(mutex_);
    return input_.size();
}
bool FakeCommPort::ModemLinesWatched() const {
    std::lock_guard lock(mutex_);
    return watchModem_;
}

int FakeCommPort::WaitEventCalls() const {
    std::lock_guard lock(mutex_);
    return waitEventCalls_;
}
int FakeCommPort::WaitEventWakeups() const {
    std::lock_guard lock(mutex_);
    return wakeups_;
}

bool FakeCommPort::WaitForWritten(std::size_t bytes, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return written_.size() >= bytes; });
}

bool FakeCommPort::WaitForWaiter(int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return waiting_; });
}

// --------------------------------------------------------------- ports ----

FakeCommPorts::FakeCommPorts() {
    platform::SetCommBackend(this);
}

FakeCommPorts::~FakeCommPorts() {
    platform::SetCommBackend(nullptr);
}

namespace {
platform::PortProbe ProbeByOpening(platform::CommBackend& backend, int comNumber) {
    switch (backend.Open(comNumber).Error) {
    case CommOpenError::None:
        return platform::PortProbe::Free; // released again at once
    case CommOpenError::NotFound:
        return platform::PortProbe::Absent;
    case CommOpenError::CannotOpen:
        break;
    }
    return platform::PortProbe::InUse;
}
} // namespace

platform::PortProbe FakeCommPorts::Probe(int comNumber) {
    return ProbeByOpening(*this, comNumber);
}

bool FakeCommPorts::Exists(int comNumber) {
    return Port(comNumber) != nullptr;
}

CommBackendFunction::CommBackendFunction(std::function<platform::CommOpenResult(int)> open)
    : open_(std::move(open)) {
    platform::SetCommBackend(this);
}

CommBackendFunction::~CommBackendFunction() {
    platform::SetCommBackend(nullptr);
}

platform::PortProbe CommBackendFunction::Probe(int comNumber) {
    return ProbeByOpening(*this, comNumber);
}

std::shared_ptr<FakeCommPort> FakeCommPorts::Add(int comNumber) {
    std::lock_guard lock(mutex_);
    auto& slot = ports_[comNumber];
    if (!slot)
        slot = std::make_shared<FakeCommPort>(comNumber);
    return slot;
}

std::shared_ptr<FakeCommPort> FakeCommPorts::Port(int comNumber) const {
    std::lock_guard lock(mutex_);
    auto it = ports_.find(comNumber);
    return it == ports_.end() ? nullptr : it->second;
}

CommOpenResult FakeCommPorts::Open(int comNumber) {
    CommOpenResult result;
    result.Path = "/dev/fakeCOM" + std::to_string(comNumber);
    std::shared_ptr<FakeCommPort> port = Port(comNumber);
    if (!port) {
        result.Error = CommOpenError::NotFound;
        result.SystemError = ENOENT;
        return result;
    }
    {
        std::lock_guard lock(port->mutex_);
        if (port->openError_ != CommOpenError::None) {
            result.Error = port->openError_;
            result.SystemError = port->openSystemError_;
            ++port->failedOpens_;
            return result;
        }
        if (port->open_) {
            result.Error = CommOpenError::CannotOpen;
            result.SystemError = EBUSY;
            ++port->failedOpens_;
            return result;
        }
        port->open_ = true;
        port->hungUp_ = false;
        port->input_.clear();
        port->mask_ = 0;
        port->pendingEvents_ = 0;
        port->errors_ = 0;
        port->maskChanged_ = false;
        port->watchModem_ = true;
        port->state_ = port->deviceDcb_;
        port->dtr_ = win::dtrControlOf(port->state_.Flags) != win::DTR_CONTROL_DISABLE;
        port->rts_ = win::rtsControlOf(port->state_.Flags) != win::RTS_CONTROL_DISABLE;
        ++port->openCount_;
        port->changed_.notify_all();
    }
    result.Device = std::make_unique<FakeCommDevice>(port);
    return result;
}

// -------------------------------------------------------------- device ----

FakeCommDevice::FakeCommDevice(std::shared_ptr<FakeCommPort> port) : port_(std::move(port)) {}

FakeCommDevice::~FakeCommDevice() {
    std::lock_guard lock(port_->mutex_);
    port_->open_ = false;
    port_->input_.clear();
    port_->pendingEvents_ = 0;
    port_->changed_.notify_all();
}

int FakeCommDevice::ComNumber() const {
    return port_->ComNumber();
}

bool FakeCommDevice::SetTimeouts(const win::COMMTIMEOUTS& timeouts) {
    std::lock_guard lock(port_->mutex_);
    if (port_->ShouldFailLocked(FakeCall::SetTimeouts))
        return false;
    port_->timeouts_ = timeouts;
    return true;
}

bool FakeCommDevice::SetupQueues(win::DWORD inQueue, win::DWORD outQueue) {
    std::lock_guard lock(port_->mutex_);
    if (port_->ShouldFailLocked(FakeCall::SetupQueues))
        return false;
    port_->inQueue_ = inQueue;
    port_->outQueue_ = outQueue;
    return true;
}

bool FakeCommDevice::SetEventMask(win::DWORD mask) {
    std::lock_guard lock(port_->mutex_);
    port_->masks_.push_back(mask);
    if (port_->ShouldFailLocked(FakeCall::SetEventMask))
        return false;
    port_->mask_ = mask;
    port_->pendingEvents_ = 0;
    if (port_->waiting_) {
        port_->maskChanged_ = true;
        port_->WakeAllLocked();
    }
    return true;
}

win::DWORD FakeCommDevice::EventMask() {
    std::lock_guard lock(port_->mutex_);
    return port_->mask_;
}

void FakeCommDevice::WatchModemLines(bool on) {
    std::lock_guard lock(port_->mutex_);
    port_->watchModem_ = on;
}

std::size_t FakeCommDevice::InputQueued() {
    std::lock_guard lock(port_->mutex_);
    return port_->input_.size();
}

bool FakeCommDevice::SetState(const win::DCB& dcb) {
    std::lock_guard lock(port_->mutex_);
    ++port_->setStateCalls_;
    if (port_->ShouldFailLocked(FakeCall::SetState))
        return false;
    port_->state_ = dcb;
    port_->appliedDcbs_.push_back(dcb);
    port_->dtr_ = win::dtrControlOf(dcb.Flags) != win::DTR_CONTROL_DISABLE;
    port_->rts_ = win::rtsControlOf(dcb.Flags) != win::RTS_CONTROL_DISABLE;
    return true;
}

bool FakeCommDevice::GetState(win::DCB& dcb) {
    std::lock_guard lock(port_->mutex_);
    if (port_->ShouldFailLocked(FakeCall::GetState))
        return false;
    dcb = port_->state_;
    return true;
}

int FakeCommDevice::WaitEvent(std::span<Event* const> events, std::size_t commSlot, int timeoutMs,
                              win::DWORD& mask) {
    if (commSlot > events.size())
        return platform::WaitFailed;
    FakeCommPort& p = *port_;
    {
        std::lock_guard lock(p.mutex_);
        ++p.waitEventCalls_;
        if (p.waiting_ || p.ShouldFailLocked(FakeCall::WaitEvent))
            return platform::WaitFailed;
        p.waiting_ = true;
        p.maskChanged_ = false;
        p.wake_.Set(); // look at the state once before sleeping
        p.changed_.notify_all();
    }
    struct Guard {
        FakeCommPort& p;
        ~Guard() {
            std::lock_guard lock(p.mutex_);
            p.waiting_ = false;
            p.maskChanged_ = false;
            p.changed_.notify_all();
        }
    } guard{p};

    // The port's wake event stands in the comm event's place.
    std::vector<Event*> all(events.begin(), events.end());
    all.insert(all.begin() + static_cast<std::ptrdiff_t>(commSlot), &p.wake_);
    const long long start = platform::MonotonicMs();
    for (;;) {
        const int index = platform::WaitForAny(all, platform::RemainingMs(start, timeoutMs));
        if (index < 0)
            return index;
        if (static_cast<std::size_t>(index) != commSlot)
            return index; // positions of `all` are the wait order
        std::lock_guard lock(p.mutex_);
        ++p.wakeups_;
        if (p.maskChanged_ || p.mask_ == 0) {
            mask = 0;
            return static_cast<int>(commSlot);
        }
        if (p.pendingEvents_ != 0) {
            mask = p.pendingEvents_;
            p.pendingEvents_ = 0;
            return static_cast<int>(commSlot);
        }
        // Nothing for this waiter: clear the wake-up under the lock, so a
        // scripted event cannot slip between the check and the reset.
        p.wake_.Reset();
        if (p.ShouldFailLocked(FakeCall::WaitEvent))
            return platform::WaitFailed;
        if (platform::RemainingMs(start, timeoutMs) == 0)
            return platform::WaitTimeout;
    }
}

std::ptrdiff_t FakeCommDevice::Read(void* destination, std::size_t count) {
    std::lock_guard lock(port_->mutex_);
    if (port_->ShouldFailLocked(FakeCall::Read))
        return -1;
    const std::size_t n = std::min(count, port_->input_.size());
    std::memcpy(destination, port_->input_.data(), n);
    port_->input_.erase(0, n);
    return static_cast<std::ptrdiff_t>(n);
}

std::ptrdiff_t FakeCommDevice::Write(const void* source, std::size_t count) {
    std::lock_guard lock(port_->mutex_);
    if (port_->hungUp_ || port_->ShouldFailLocked(FakeCall::Write))
        return -1;
    const std::size_t n = std::min(count, port_->writeLimit_);
    port_->written_.append(static_cast<const char*>(source), n);
    port_->changed_.notify_all();
    return static_cast<std::ptrdiff_t>(n);
}

int FakeCommDevice::WaitWritable(std::span<Event* const> events, std::size_t deviceSlot,
                                 int timeoutMs) {
    if (deviceSlot > events.size())
        return platform::WaitFailed;
    FakeCommPort& p = *port_;
    // Writability is a level, checked under the lock; writeWake_ (set by
    // SetWriteLimit and HangUp after they change it) makes the wait look
    // again. Resetting it before the check means no change is missed.
    Event writable(Event::ResetMode::Manual);
    std::vector<Event*> all(events.begin(), events.end());
    all.insert(all.begin() + static_cast<std::ptrdiff_t>(deviceSlot), &writable);
    all.push_back(&p.writeWake_);
    const long long start = platform::MonotonicMs();
    for (;;) {
        {
            std::lock_guard lock(p.mutex_);
            if (p.ShouldFailLocked(FakeCall::WaitWritable))
                return platform::WaitFailed;
            p.writeWake_.Reset();
            if (p.hungUp_ || p.writeLimit_ > 0)
                writable.Set();
        }
        const int index = platform::WaitForAny(all, platform::RemainingMs(start, timeoutMs));
        if (index < 0)
            return index;
        if (static_cast<std::size_t>(index) == all.size() - 1)
            continue; // the state changed: look again
        return index; // the device's slot or an event's position
    }
}

bool FakeCommDevice::ClearError(win::DWORD& errors, win::COMSTAT* status) {
    std::lock_guard lock(port_->mutex_);
    if (port_->ShouldFailLocked(FakeCall::ClearError))
        return false;
    errors = port_->errors_;
    port_->errors_ = 0;
    if (status != nullptr) {
        status->Flags = 0;
        status->cbInQue = static_cast<win::DWORD>(port_->input_.size());
        status->cbOutQue = 0;
    }
    return true;
}

bool FakeCommDevice::Purge(win::DWORD flags) {
    std::lock_guard lock(port_->mutex_);
    port_->purges_.push_back(flags);
    if (port_->ShouldFailLocked(FakeCall::Purge))
        return false;
    if (flags & (win::PURGE_RXABORT | win::PURGE_RXCLEAR))
        port_->input_.clear();
    return true;
}

bool FakeCommDevice::EscapeFunction(win::DWORD code) {
    std::lock_guard lock(port_->mutex_);
    port_->escapes_.push_back(code);
    if (port_->hungUp_ || port_->ShouldFailLocked(FakeCall::EscapeFunction))
        return false;
    const win::DWORD rtsControl = win::rtsControlOf(port_->state_.Flags);
    switch (code) {
    case win::SETDTR:
        port_->dtr_ = true;
        return true;
    case win::CLRDTR:
        port_->dtr_ = false;
        return true;
    case win::SETRTS:
    case win::CLRRTS:
        if (rtsControl == win::RTS_CONTROL_HANDSHAKE || rtsControl == win::RTS_CONTROL_TOGGLE)
            return false;
        port_->rts_ = code == win::SETRTS;
        return true;
    case win::SETBREAK:
    case win::CLRBREAK:
    case win::SETXOFF:
    case win::SETXON:
        return true;
    default:
        return false;
    }
}
