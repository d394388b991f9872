// A sysfs tree in a temporary directory, laid out as the kernel does for
// serial devices: class/tty/<name>/device is a link into devices/, where USB
// devices carry idVendor and product and their interfaces an interface string.
#pragma once

#include <QTemporaryDir>
#include <string>

class FakeSysfs {
public:
    FakeSysfs();
    std::string Root() const { return dir_.path().toStdString(); }

    // A USB adapter: tty `name` (as sysfs writes it, '!' for '/') below
    // interface `interfaceDir` (a usb-serial port when `portDir` is given,
    // else the interface itself, as for ACM) of USB device `usbDir`.
    void AddUsbTty(const std::string& name, const std::string& usbDir, const std::string& product,
                   const std::string& interfaceDir, const std::string& interface,
                   const std::string& portDir = {});
    // A tty on a platform device bound to `driver`.
    void AddPlatformTty(const std::string& name, const std::string& deviceDir,
                        const std::string& driver);

private:
    void Write(const std::string& relative, const std::string& text);
    void LinkDevice(const std::string& name, const std::string& deviceRelative);
    QTemporaryDir dir_;
};
