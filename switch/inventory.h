// The switches this system has installed at some time, attached or not.
#pragma once

#include <string>
#include <vector>

// Serial numbers in enumeration order; duplicates kept.
extern std::vector<std::string> InstalledSwitches;

// Appended to by the udev helper each time a switch is plugged in.
inline constexpr const char* kInstalledRecordFile = "/var/lib/velorin/installed";
inline constexpr const char* kUsbDevicesFolder = "/sys/bus/usb/devices";

// Fills InstalledSwitches: the record file's lines, then attached switches
// not recorded yet. Never fails and never prints; what cannot be read adds nothing.
void ScanInstalledSwitches(const std::string& recordFile = kInstalledRecordFile,
                           const std::string& devicesFolder = kUsbDevicesFolder);
