// The switches this system has installed at some time, attached or not.
#pragma once

#include <string>
#include <vector>

#include "installed_record.h"
#include "sysfs.h"

// Serial numbers in enumeration order; duplicates kept.
extern std::vector<std::string> InstalledSwitches;

// Fills InstalledSwitches: the record file's lines, then attached switches
// not recorded yet. Never fails and never prints; what cannot be read (or
// is not a regular file, or is larger than velorin::kMaxReadBytes) adds nothing.
void ScanInstalledSwitches(const std::string& recordFile = velorin::RecordPath(),
                           const std::string& devicesFolder = velorin::kUsbDevicesFolder);
