#include "platform/CommDevice.h"

#include "platform/SystemError.h"
#include "platform/TermiosCommDevice.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

std::string PermissionAdvice(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return "join the 'dialout' group (sudo usermod -aG dialout $USER, then log in again)";
    const group* owningGroup = ::getgrgid(st.st_gid);
    const std::string groupName =
        owningGroup ? owningGroup->gr_name : std::to_string(static_cast<unsigned>(st.st_gid));
    // Joining the node's group helps only when the group may read and write
    // it and this process is not in it already (a service in 'dialout'
    // facing a root:root 0600 node is not helped by the usual hint).
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(0, ::getgroups(0, nullptr))));
    groups.resize(static_cast<std::size_t>(
        std::max(0, ::getgroups(static_cast<int>(groups.size()), groups.data()))));
    const bool member = st.st_gid == ::getegid() ||
                        std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && !member)
        return "join the '" + groupName + "' group (sudo usermod -aG " + groupName +
               " $USER, then log in again)";
    const passwd* owner = ::getpwuid(st.st_uid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "the node is owned by " +
           (owner ? std::string(owner->pw_name)
                  : std::to_string(static_cast<unsigned>(st.st_uid))) +
           ", group " + groupName + ", mode " + mode;
}

std::string OpenFailureHint(const CommOpenResult& result) {
    if (result.Error != CommOpenError::CannotOpen ||
        SystemErrorClassOf(result.SystemError) != SystemErrorClass::Denied)
        return {};
    return "No permission to open " + (result.Path.empty() ? "the port" : result.Path) + ": " +
           PermissionAdvice(result.Path) + ".";
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
