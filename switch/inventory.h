// The switches this system has installed at some time, attached or not.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "installed_record.h"
#include "sysfs.h"

// Serial numbers in enumeration order; duplicates kept.
extern std::vector<std::string> InstalledSwitches;

// Fills InstalledSwitches: velorin::InstalledSerials of the switches attached now.
void ScanInstalledSwitches(const std::string& recordFile = velorin::RecordPath(),
                           const std::string& devicesFolder = velorin::kUsbDevicesFolder);

namespace velorin {

// A switch attached now, as sysfs shows it (no device is opened).
struct TAttachedSwitch {
  std::string Serial;
  std::optional<TUsbNode> Node;  // empty when sysfs gives no bus or device number
};

// In the order of their folders' names; a serial string the record helper
// would refuse is left out.
std::vector<TAttachedSwitch> AttachedSwitches(const std::string& devicesFolder = kUsbDevicesFolder);
// Where the first of them with this serial number and a place sits.
std::optional<TUsbNode> AttachedAt(const std::vector<TAttachedSwitch>& attached, const std::string& serial);

// The record file's lines, then the attached switches not recorded yet.
// Never fails and never prints; a record that cannot be read (or is not a
// regular file, or is larger than kMaxReadBytes) adds nothing.
std::vector<std::string> InstalledSerials(const std::vector<TAttachedSwitch>& attached,
                                          const std::string& recordFile = RecordPath());

}  // namespace velorin
