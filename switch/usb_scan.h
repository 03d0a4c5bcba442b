// Which folder of device nodes the USB library scans for switches. It opens
// every node it finds there, and opening a node wakes a device the kernel has
// suspended; so where it is safe, it scans only the switches' own links,
// which the udev rule makes, and no other device is opened or woken.
#pragma once

#include <cstdlib>
#include <string>

#include "sysfs.h"
#include "usb_node.h"

namespace velorin {

// Where the udev rule links each switch, laid out like /dev/bus/usb.
inline constexpr const char* kSwitchLinkFolder = "/dev/velorin";

struct TScanChoice {
  // The folder to scan; empty: the library's own choice (/dev/bus/usb, or
  // what the user set in USB_DEVFS_PATH).
  std::string Folder;
  // Why, for the diagnostics; empty when there was nothing to weigh (sysfs
  // shows no switch attached, so there is nothing to narrow the scan to).
  std::string Reason;
};

// The libusb 0.1 this process runs on. Both have the same soname, so only
// what else is loaded tells them apart: libusb-compat-0.1 is the same API
// over libusb-1.0, which lists the devices from sysfs, opens only the one it
// is asked to, and ignores USB_DEVFS_PATH.
enum TUsbLibrary { ulOriginal, ulCompat };
TUsbLibrary LoadedUsbLibrary();

// The links are used only when the library scans a folder (not over
// libusb-1.0), the user has not set USB_DEVFS_PATH, sysfs shows at least one
// switch attached, and each such switch has its link, leading to its node:
// then the short scan finds exactly the switches the full one would.
// DEVFS: USB_DEVFS_PATH as the user set it (nullptr: not set).
TScanChoice ChooseScanFolder(const std::string& devicesFolder = kUsbDevicesFolder,
                             const std::string& linkFolder = kSwitchLinkFolder,
                             const std::string& nodeFolder = kUsbNodeFolder, TUsbLibrary library = LoadedUsbLibrary(),
                             const char* devfs = std::getenv("USB_DEVFS_PATH"));

// Makes the choice once per process, before the library's first scan, and
// says which under VELORIN_DEBUG=1; or, after ScanThroughLink, at each scan.
void NarrowUsbScan();

// For a program with threads (the bridge), which may not change its
// environment once they run, and whose switches come and go: called before
// any thread starts, it sets USB_DEVFS_PATH for good to LINK, a path in a
// folder of the program's own, and from then on NarrowUsbScan makes the
// choice at each scan and points LINK, a symbolic link, at the folder
// chosen. False, with nothing changed, when the user set USB_DEVFS_PATH or
// the library scans no folder (libusb-compat).
bool ScanThroughLink(const std::string& link);

}  // namespace velorin
