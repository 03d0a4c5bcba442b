// The installed switches on Linux: the record kept by the record helper,
// then the switches attached now that it does not hold yet.
#pragma once

#include <string>
#include <vector>

#include "installed_record.h"
#include "sysfs.h"

namespace velorin {

// The record file's lines, then attached switches not recorded yet. What
// cannot be read (or is not a regular file, or is larger than kMaxReadBytes)
// adds nothing.
std::vector<std::string> InstalledFromFiles(const std::string& recordFile = RecordPath(),
                                            const std::string& devicesFolder = kUsbDevicesFolder);

}  // namespace velorin
