#include "platform/PortNames.h"

#include "platform/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace platform {

namespace fs = std::filesystem;

namespace {

std::mutex tableLock;
std::map<int, std::string>& table() {
    static std::map<int, std::string> ports;
    return ports;
}

// Strings in sysfs come from the device itself (a USB descriptor): one line,
// control characters blanked, bounded, so a hostile or broken adapter cannot
// garble the port list.
std::string readAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    constexpr std::size_t kMaxLength = 48;
    if (line.size() > kMaxLength)
        line.resize(kMaxLength);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    const std::size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return line.substr(first, line.find_last_not_of(' ') - first + 1);
}

// What the device is: the USB product (with the interface string when it
// names a port of a multi-port adapter), else the driver bound to it.
std::string whatIs(const fs::path& sysDevice) {
    std::error_code ec;
    fs::path node = fs::canonical(sysDevice, ec);
    if (ec)
        return {};
    std::string interface;
    // A tty's device is the USB interface (ACM) or a port below it (usb-serial);
    // the USB device, the one with idVendor, is at most a few levels up.
    for (int depth = 0; depth < 4 && node.has_relative_path(); ++depth) {
        if (interface.empty())
            interface = readAttribute(node / "interface");
        if (fs::exists(node / "idVendor", ec)) {
            const std::string product = readAttribute(node / "product");
            if (product.empty())
                return interface;
            if (interface.empty() || interface == product)
                return product;
            return product + " - " + interface;
        }
        node = node.parent_path();
    }
    if (!interface.empty())
        return interface;
    const fs::path driver = fs::canonical(sysDevice / "driver", ec);
    return ec ? std::string() : driver.filename().string();
}

} // namespace

std::map<int, std::string> ReadMappedPorts(const IniFile& ini) {
    // The settings file lies in the application directory: a relative path
    // means the same whatever directory the program was started from.
    const QDir base = QFileInfo(ini.FileName()).absoluteDir();
    std::map<int, std::string> ports;
    for (const auto& [key, path] : ini.ReadSectionValues(QStringLiteral("Ports"))) {
        if (!key.startsWith(QStringLiteral("COM"), Qt::CaseInsensitive))
            continue;
        bool ok = false;
        const int number = key.mid(3).toInt(&ok, 10);
        if (!ok || number < 1 || number > 65535 || !key.at(3).isDigit())
            continue;
        if (!path.isEmpty()) // first match wins
            ports.emplace(number, QFile::encodeName(base.absoluteFilePath(path)).toStdString());
    }
    return ports;
}

void SetMappedPorts(std::map<int, std::string> ports) {
    std::lock_guard<std::mutex> guard(tableLock);
    table() = std::move(ports);
}

std::string MappedPortPath(int comNumber) {
    std::lock_guard<std::mutex> guard(tableLock);
    const auto it = table().find(comNumber);
    return it == table().end() ? std::string() : it->second;
}

std::string DescribePortDevice(const std::string& path, const std::string& sysfsRoot) {
    if (path.empty())
        return {};
    std::error_code ec;
    const fs::path device = fs::canonical(path, ec);
    if (ec)
        return {};
    // Named as the user knows it: relative to /dev ("pts/3" stays whole).
    const fs::path relative = device.lexically_relative("/dev");
    std::string name = !relative.empty() && *relative.begin() != ".." ? relative.string()
                                                                      : device.filename().string();
    // sysfs writes a '/' in a device name as '!'.
    std::string sysName = name;
    for (char& c : sysName)
        if (c == '/')
            c = '!';
    const std::string what = whatIs(fs::path(sysfsRoot) / "class" / "tty" / sysName / "device");
    return what.empty() ? name : name + " (" + what + ")";
}

} // namespace platform
