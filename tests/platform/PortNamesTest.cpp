// Port names a user recognises: the [Ports] table ahead of the default map
// (and behind KELVOX_PORT_DIR), and what a fake sysfs tree tells of a device.
#include "platform/PortNames.h"
#include "platform/IniFile.h"
#include "platform/PortMap.h"
#include "support/Pty.h"

#include <QTemporaryDir>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << '\n';
}

TEST(PortNames, MappedNumbersComeBeforeTheDefaultMapButNotBeforeThePortDirectory) {
    QTemporaryDir home;
    const std::string ini = home.filePath("kelvox.ini").toStdString();
    write(ini, "[Ports]\r\nCOM1=/dev/serial/by-id/usb-FTDI-if00\r\ncom200 = /dev/ttyUSB7\r\n"
               "COM1=/dev/second\r\nCOMx=/dev/a\r\nCOM0=/dev/b\r\nCOM2=\r\n[Other]\r\nCOM3=/dev/c");
    const std::map<int, std::string> expected{{1, "/dev/serial/by-id/usb-FTDI-if00"},
                                              {200, "/dev/ttyUSB7"}};
    platform::SetMappedPorts(
        platform::ReadMappedPorts(platform::IniFile(QString::fromStdString(ini))));
    {
        PortDir dir;
        EXPECT_EQ(platform::ComPortPath(1), dir.Path() + "/COM1");
    }
    EXPECT_EQ(platform::ComPortPath(1), expected.at(1));
    EXPECT_EQ(platform::ComPortPath(200), "/dev/ttyUSB7") << "beyond the default map";
    EXPECT_EQ(platform::ComPortPath(2), "/dev/ttyS1") << "unmapped numbers keep the default";
    EXPECT_EQ(platform::ComPortPath(3), "/dev/ttyS2") << "only the [Ports] section maps";
    platform::SetMappedPorts({});
}

// Relative paths are the application directory's, not the working one's.
TEST(PortNames, LongTableReadsInLinearTimeRelativePathsFromTheAppDir) {
    QTemporaryDir home;
    std::string text = "[Ports]\nCOM1=sub/port\n";
    for (int n = 2; n <= 8000; ++n)
        text += "COM" + std::to_string(n) + "=/dev/p\n";
    write(home.filePath("kelvox.ini").toStdString(), text);
    const auto start = std::chrono::steady_clock::now();
    const auto ports = platform::ReadMappedPorts(platform::IniFile(home.filePath("kelvox.ini")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(ports.size(), 8000u);
    EXPECT_EQ(ports.at(1), home.filePath("sub/port").toStdString());
}

TEST(PortNames, DescriptionNamesTheNodeBehindTheLinkAndWhatSysfsSaysItIs) {
    QTemporaryDir sysDir, devDir;
    const fs::path sys = sysDir.path().toStdString(), dev = devDir.path().toStdString();
    const fs::path usb = sys / "devices/usb1/1-1";
    write(usb / "idVendor", "0403");
    write(usb / "product", "FT232R\x1b[2J USB UART"); // from the device: sanitised
    write(usb / "1-1:1.2/interface", "Sensor port");
    fs::create_directories(usb / "1-1:1.2/ttyUSB0");
    fs::create_directories(sys / "class/tty/ttyUSB0");
    fs::create_directory_symlink("../../../devices/usb1/1-1/1-1:1.2/ttyUSB0",
                                 sys / "class/tty/ttyUSB0/device");
    write(dev / "ttyUSB0", "");
    write(dev / "ttyS9", "");
    fs::create_symlink("ttyUSB0", dev / "usb-FTDI-if00");

    auto describe = [&](const fs::path& path) {
        return platform::DescribePortDevice(path.string(), sys.string());
    };
    EXPECT_EQ(describe(dev / "usb-FTDI-if00"), "ttyUSB0 (FT232R [2J USB UART - Sensor port)");
    EXPECT_EQ(describe(dev / "ttyS9"), "ttyS9") << "sysfs knows nothing of it";
    EXPECT_EQ(describe(dev / "gone"), "");
    TestPty pty; // named as under /dev, not by its last part only
    EXPECT_EQ(describe(pty.SlavePath()), pty.SlavePath().substr(5));
}

} // namespace
