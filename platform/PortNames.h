// Port names a Linux user recognises: the [Ports] table of the settings file,
// which maps COM numbers to any device path (a stable /dev/serial/by-id link,
// say), and a short description of the device behind a path as sysfs tells
// it ("ttyUSB0 (FT232R USB UART)").
//
// The table is process-wide and guarded by a lock: safe on any thread.
#pragma once

#include <map>
#include <string>

namespace platform {

class IniFile;

// The [Ports] section: keys COM<n> (any letter case, n from 1 to 65535)
// with a non-empty value. Other keys are ignored. A relative path is taken
// from the settings file's directory (the application directory).
std::map<int, std::string> ReadMappedPorts(const IniFile& ini);

// Replaces the table of mapped ports.
void SetMappedPorts(std::map<int, std::string> ports);

// The mapped device path of COM n, or an empty string when COM n is not
// mapped.
std::string MappedPortPath(int comNumber);

// "ttyUSB0 (FT232R USB UART)": the device node behind `path` (links
// followed; named relative to /dev) and, when sysfs under `sysfsRoot` knows
// it, the USB product and interface strings or else the driver's name.
// Empty when the path leads nowhere. Reads only sysfs attribute files; never
// opens the device.
std::string DescribePortDevice(const std::string& path, const std::string& sysfsRoot = "/sys");

} // namespace platform
