// The installed switches on Linux: the record kept by the record helper,
// then the switches attached now (as sysfs shows them) that it does not
// hold yet.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "installed_record.h"
#include "sysfs.h"
#include "usb_node.h"

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
