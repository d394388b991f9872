// Port names a user recognises: the [Ports] table ahead of the default map
// (and behind KELVOX_PORT_DIR), and the description of the device behind a
// path read from a fake sysfs tree.
#include "platform/PortNames.h"
#include "platform/IniFile.h"
#include "platform/PortMap.h"
#include "support/FakeSysfs.h"
#include "support/Pty.h"

#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

TEST(PortNames, MappedNumbersComeBeforeTheDefaultMapButNotBeforeThePortDirectory) {
    QTemporaryDir home;
    const QString iniPath = home.filePath(QStringLiteral("kelvox.ini"));
    {
        std::ofstream ini(iniPath.toStdString());
        ini << "[Data]\r\nCOM=1\r\n[Ports]\r\n; the thermometer\r\n"
               "COM1=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0\r\n"
               "com200 = /dev/ttyUSB7\r\nCOM1=/dev/second-entry\r\nCOMx=/dev/a\r\nCOM0=/dev/b\r\n"
               "COM+5=/dev/c\r\nCOM2=\r\n[Other]\r\nCOM3=/dev/d\r\n";
    }
    const std::map<int, std::string> mapped = platform::ReadMappedPorts(platform::IniFile(iniPath));
    const std::map<int, std::string> expected{
        {1, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0"},
        {200, "/dev/ttyUSB7"}};
    EXPECT_EQ(mapped, expected);

    platform::SetMappedPorts(mapped);
    PortDir dir; // sets KELVOX_PORT_DIR: it wins over the table
    EXPECT_EQ(platform::ComPortPath(1), dir.Path() + "/COM1");
    ::unsetenv("KELVOX_PORT_DIR");
    EXPECT_EQ(platform::ComPortPath(1), expected.at(1));
    EXPECT_EQ(platform::ComPortPath(200), "/dev/ttyUSB7") << "beyond the default map";
    EXPECT_EQ(platform::ComPortPath(2), "/dev/ttyS1") << "unmapped numbers keep the default";
    platform::SetMappedPorts({});
    EXPECT_EQ(platform::ComPortPath(1), "/dev/ttyS0");
}

TEST(PortNames, DescriptionNamesTheNodeBehindTheLinkAndWhatSysfsSaysItIs) {
    FakeSysfs sys;
    sys.AddUsbTty("ttyUSB0", "1-1", "FT232R USB UART", "1-1:1.0", "", "ttyUSB0");
    sys.AddUsbTty("ttyACM0", "1-2", "Thermo\x1b[31mHub", "1-2:1.2", "Sensor port");
    sys.AddUsbTty("ttyACM1", "1-3", "", "1-3:1.0", "CDC ACM");
    sys.AddPlatformTty("ttyAMA0", "fe201000.serial", "uart-pl011");

    QTemporaryDir devices;
    const fs::path dev = devices.path().toStdString();
    for (const char* node : {"ttyUSB0", "ttyACM0", "ttyACM1", "ttyAMA0", "ttyS9"})
        std::ofstream(dev / node).put('\n');
    fs::create_directory(dev / "by-id");
    fs::create_symlink("../ttyUSB0", dev / "by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0");

    auto describe = [&](const fs::path& path) {
        return platform::DescribePortDevice(path.string(), sys.Root());
    };
    EXPECT_EQ(describe(dev / "by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0"),
              "ttyUSB0 (FT232R USB UART)");
    EXPECT_EQ(describe(dev / "ttyACM0"), "ttyACM0 (Thermo [31mHub - Sensor port)")
        << "control characters from the device are blanked";
    EXPECT_EQ(describe(dev / "ttyACM1"), "ttyACM1 (CDC ACM)");
    EXPECT_EQ(describe(dev / "ttyAMA0"), "ttyAMA0 (uart-pl011)");
    EXPECT_EQ(describe(dev / "ttyS9"), "ttyS9") << "sysfs knows nothing of it";
    EXPECT_EQ(describe(dev / "gone"), "");

    // A pseudo-terminal is named as under /dev; '/' is '!' in sysfs.
    TestPty pty;
    const std::string name = pty.SlavePath().substr(5);
    sys.AddUsbTty("pts!" + name.substr(4), "1-4", "Pty Adapter", "1-4:1.0", "");
    EXPECT_EQ(describe(pty.SlavePath()), name + " (Pty Adapter)");
}

} // namespace
