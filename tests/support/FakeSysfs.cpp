#include "support/FakeSysfs.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

FakeSysfs::FakeSysfs() {
    if (!dir_.isValid())
        throw std::runtime_error("no temporary directory for the sysfs tree");
}

void FakeSysfs::Write(const std::string& relative, const std::string& text) {
    const fs::path file = fs::path(Root()) / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << '\n';
}

void FakeSysfs::LinkDevice(const std::string& name, const std::string& deviceRelative) {
    const fs::path classDir = fs::path(Root()) / "class" / "tty" / name;
    fs::create_directories(classDir);
    fs::create_directories(fs::path(Root()) / deviceRelative);
    fs::create_symlink(fs::path("../../..") / deviceRelative, classDir / "device");
}

void FakeSysfs::AddUsbTty(const std::string& name, const std::string& usbDir,
                          const std::string& product, const std::string& interfaceDir,
                          const std::string& interface, const std::string& portDir) {
    const std::string usb = "devices/pci0000:00/usb1/" + usbDir;
    Write(usb + "/idVendor", "0403");
    if (!product.empty())
        Write(usb + "/product", product);
    const std::string iface = usb + "/" + interfaceDir;
    if (!interface.empty())
        Write(iface + "/interface", interface);
    LinkDevice(name, portDir.empty() ? iface : iface + "/" + portDir);
}

void FakeSysfs::AddPlatformTty(const std::string& name, const std::string& deviceDir,
                               const std::string& driver) {
    const std::string device = "devices/platform/" + deviceDir;
    LinkDevice(name, device);
    fs::create_directories(fs::path(Root()) / "bus/platform/drivers" / driver);
    fs::create_symlink(fs::path("../../../bus/platform/drivers") / driver,
                       fs::path(Root()) / device / "driver");
}
