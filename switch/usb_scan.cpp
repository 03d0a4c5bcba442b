// Choosing the folder the USB library scans: the switches' own links where
// they are sure to lead to every switch attached, else the library's choice.
#include "usb_scan.h"

#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <vector>

#include "device_text.h"
#include "diagnostics.h"

namespace velorin {

namespace {

constexpr const char* kDevfsVariable = "USB_DEVFS_PATH";

// True when both paths lead to the same file (a link to the node, or the node).
bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

// True for a real folder that only root (or this user) may change: a link
// someone else put there could lead the library to open anything.
bool OnlyRootMayChange(const std::string& folder) {
  struct stat status {};
  return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         (status.st_uid == 0 || status.st_uid == ::geteuid()) && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

TUsbLibrary LoadedUsbLibrary() {
  bool overLibusb1 = false;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* found) {
        const std::string_view path = info->dlpi_name != nullptr ? info->dlpi_name : "";
        if (!path.substr(path.rfind('/') + 1).starts_with("libusb-1.0.so")) return 0;
        *static_cast<bool*>(found) = true;
        return 1;
      },
      &overLibusb1);
  return overLibusb1 ? ulCompat : ulOriginal;
}

TScanChoice ChooseScanFolder(const std::string& devicesFolder, const std::string& linkFolder,
                             const std::string& nodeFolder, TUsbLibrary library) {
  if (library == ulCompat) {
    // There is no folder to choose, and nothing to spare: no other device is
    // opened, so none is woken.
    const std::string scan =
        "scanning sysfs: libusb-compat (over libusb-1.0) lists the devices there and opens only "
        "the switches";
    if (const char* set = std::getenv(kDevfsVariable)) {
      return {"", scan + "; it ignores " + kDevfsVariable + " as set: " + Showable(set)};
    }
    if (SwitchFolders(devicesFolder).empty()) return {};
    return {"", scan};
  }
  if (const char* set = std::getenv(kDevfsVariable)) {
    return {"", std::string("scanning ") + kDevfsVariable + " as set: " + Showable(set)};
  }
  // With no switch in sysfs (none attached, or no sysfs, as in some
  // containers) there is nothing to narrow the scan to.
  const std::vector<std::string> switches = SwitchFolders(devicesFolder);
  if (switches.empty()) return {};
  const std::string full = "scanning " + nodeFolder + ": ";
  for (const std::string& folder : switches) {
    const std::optional<TUsbNode> node = NodeOfFolder(folder);
    if (!node) return {"", full + Showable(folder) + " has no bus or device number"};
    const std::string link = NodePath(*node, linkFolder);
    if (!SameFile(link, NodePath(*node, nodeFolder))) {
      return {"", full + Label(*node) + ", a switch, has no link to it in " + linkFolder};
    }
    for (const std::string& guarded : {linkFolder, std::filesystem::path(link).parent_path().string()}) {
      if (!OnlyRootMayChange(guarded)) return {"", full + guarded + " is not a folder only root may change"};
    }
  }
  return {linkFolder, "scanning " + linkFolder + ": each attached switch has its link there"};
}

void NarrowUsbScan() {
  static const bool done = [] {
    const TScanChoice choice = ChooseScanFolder();
    if (!choice.Folder.empty()) ::setenv(kDevfsVariable, choice.Folder.c_str(), 1);
    if (!choice.Reason.empty()) Diagnose({choice.Reason});
    return true;
  }();
  (void)done;
}

}  // namespace velorin
