#include "platform/CommDevice.h"

#include "platform/SystemError.h"
#include "platform/TermiosCommDevice.h"

#include <atomic>
#include <cerrno>

namespace platform {

namespace {

std::atomic<CommBackend*> installed{nullptr};

} // namespace

CommOpenError OpenErrorOf(int err) {
    switch (SystemErrorClassOf(err)) {
    case SystemErrorClass::Missing:
    case SystemErrorClass::Gone:
        return CommOpenError::NotFound;
    default:
        return CommOpenError::CannotOpen;
    }
}

std::string OpenFailureHint(const CommOpenResult& result) {
    if (result.Error != CommOpenError::CannotOpen ||
        SystemErrorClassOf(result.SystemError) != SystemErrorClass::Denied)
        return {};
    return "No permission to open " + (result.Path.empty() ? "the port" : result.Path) +
           ": join the 'dialout' group (sudo usermod -aG dialout $USER, then log in again).";
}

std::string OpenFailureCause(const CommOpenResult& result) {
    if (result.Error == CommOpenError::None || result.Path.empty())
        return {};
    if (result.SystemError == 0)
        return result.Path + ": cannot be opened";
    const SystemError error = SystemErrorOf(result.SystemError);
    switch (error.Class) {
    case SystemErrorClass::Missing:
        return result.Path + ": no such file";
    case SystemErrorClass::NotSerial:
        return result.Path + ": not a serial device";
    case SystemErrorClass::Gone:
        return result.Path + ": no serial port behind it";
    case SystemErrorClass::Busy:
        return result.Path + ": in use";
    case SystemErrorClass::Denied:
    case SystemErrorClass::Other:
        break;
    }
    return result.Path + ": " + error.Text;
}

void SetCommBackend(CommBackend* backend) {
    installed.store(backend);
}

CommBackend& ActiveCommBackend() {
    if (CommBackend* backend = installed.load())
        return *backend;
    static TermiosCommBackend termios;
    return termios;
}

CommOpenResult OpenCommDevice(int comNumber) {
    return ActiveCommBackend().Open(comNumber);
}

PortProbe ProbeComPort(int comNumber) {
    return ActiveCommBackend().Probe(comNumber);
}

win::DCB DefaultDcb() {
    win::DCB dcb;
    dcb.DCBlength = sizeof(win::DCB);
    dcb.BaudRate = 9600;
    dcb.Flags = win::fBinary | win::dtrControlBits(win::DTR_CONTROL_ENABLE) |
                win::rtsControlBits(win::RTS_CONTROL_ENABLE);
    dcb.ByteSize = 8;
    dcb.Parity = win::NOPARITY;
    dcb.StopBits = win::ONESTOPBIT;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    return dcb;
}

namespace {
void FillConfig(win::COMMCONFIG& config, const win::DCB& dcb) {
    config = win::COMMCONFIG{};
    config.dwSize = sizeof(win::COMMCONFIG);
    config.wVersion = 1;
    config.dcb = dcb;
}
} // namespace

bool GetDefaultCommConfig(int comNumber, win::COMMCONFIG& config) {
    if (comNumber <= 0 || !ActiveCommBackend().Exists(comNumber))
        return false;
    FillConfig(config, DefaultDcb());
    return true;
}

bool GetCommConfig(CommDevice& device, win::COMMCONFIG& config) {
    win::DCB dcb;
    if (!device.GetState(dcb))
        return false;
    FillConfig(config, dcb);
    return true;
}

} // namespace platform
