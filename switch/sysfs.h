// Reading what the kernel knows of USB devices (sysfs), and bounded reading
// of files in general: nothing read from outside may hang or flood the tool.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "usb_node.h"

namespace velorin {

inline constexpr const char* kUsbDevicesFolder = "/sys/bus/usb/devices";

// No file is read past this many bytes: far above any real record (a
// million serial numbers) or device attribute (one page).
inline constexpr std::size_t kMaxReadBytes = std::size_t{16} << 20;

// Reads up to kMaxReadBytes from an open descriptor; nullopt on a read error
// or when the content goes on past the bound.
std::optional<std::string> ReadBounded(int fd);

// The content of a regular file (a symlink to one is followed). Anything
// else (missing, a folder, a FIFO, a device, unreadable, larger than
// kMaxReadBytes) is nullopt; opening never blocks.
std::optional<std::string> ReadRegularFile(const std::string& path);

// A device attribute from sysfs (DEVICE_FOLDER/NAME) without the one newline
// the kernel ends it with.
std::optional<std::string> ReadAttribute(const std::string& deviceFolder, const char* name);

// True when the sysfs device folder is a switch (by its USB id).
bool IsSwitchFolder(const std::string& deviceFolder);

// The folders (DEVICES_FOLDER/NAME) of the switches attached now, in the
// order of their names; none when the folder cannot be read.
std::vector<std::string> SwitchFolders(const std::string& devicesFolder);

// Where the device of a sysfs folder sits (its busnum and devnum).
std::optional<TUsbNode> NodeOfFolder(const std::string& deviceFolder);

}  // namespace velorin
