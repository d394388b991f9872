#include "platform/CommDevice.h"

#include "platform/PortMap.h"
#include "platform/TermiosCommDevice.h"

#include <cerrno>
#include <mutex>
#include <unistd.h>

namespace platform {

namespace {

std::mutex factoryMutex;
CommDeviceFactory testFactory;

CommDeviceFactory InstalledFactory() {
    std::lock_guard lock(factoryMutex);
    return testFactory;
}

} // namespace

CommOpenResult OpenCommDevice(int comNumber) {
    if (CommDeviceFactory factory = InstalledFactory())
        return factory(comNumber);
    const std::string path = ComPortPath(comNumber);
    if (path.empty()) {
        CommOpenResult result;
        result.Error = CommOpenError::NotFound;
        result.SystemError = ENOENT;
        return result;
    }
    return TermiosCommDevice::Open(path, comNumber);
}

void SetCommDeviceFactoryForTests(CommDeviceFactory factory) {
    std::lock_guard lock(factoryMutex);
    testFactory = std::move(factory);
}

bool HasCommDeviceFactoryForTests() {
    std::lock_guard lock(factoryMutex);
    return static_cast<bool>(testFactory);
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
    if (comNumber <= 0)
        return false;
    if (!HasCommDeviceFactoryForTests()) {
        const std::string path = ComPortPath(comNumber);
        if (path.empty() || ::access(path.c_str(), F_OK) != 0)
            return false;
    }
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
