// Where a USB device sits: its bus and device numbers, and the two names
// built from them, the label the diagnostics show and the device node.
#pragma once

#include <string>
#include <string_view>

namespace velorin {

// The folder the kernel's USB device nodes live in, by bus and device number.
inline constexpr const char* kUsbNodeFolder = "/dev/bus/usb";

struct TUsbNode {
  int Bus = 0;
  int Device = 0;
  auto operator<=>(const TUsbNode&) const = default;
};

// "bus 001 device 002", numbered as the node's folder and file are (and as
// lsusb shows them).
std::string Label(const TUsbNode& node);

// ROOT/001/002: the node under a folder laid out like /dev/bus/usb.
std::string NodePath(const TUsbNode& node, std::string_view root = kUsbNodeFolder);

}  // namespace velorin
