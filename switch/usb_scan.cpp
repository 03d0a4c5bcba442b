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
                             const std::string& nodeFolder, TUsbLibrary library, const char* devfs) {
  if (library == ulCompat) {
    // There is no folder to choose, and nothing to spare: no other device is
    // opened, so none is woken.
    const std::string scan =
        "scanning sysfs: libusb-compat (over libusb-1.0) lists the devices there and opens only "
        "the switches";
    if (devfs != nullptr) return {"", scan + "; it ignores " + kDevfsVariable + " as set: " + Showable(devfs)};
    if (SwitchFolders(devicesFolder).empty()) return {};
    return {"", scan};
  }
  if (devfs != nullptr) return {"", std::string("scanning ") + kDevfsVariable + " as set: " + Showable(devfs)};
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

namespace {

// Set by ScanThroughLink: the link the library scans through, and where it leads now.
std::string ScanLink;
std::string ScanTarget;

// Points the link at TARGET: a new link renamed over the old one, so that
// a scan never finds it missing.
bool PointLink(const std::string& target) {
  const std::string next = ScanLink + ".next";
  ::unlink(next.c_str());
  return ::symlink(target.c_str(), next.c_str()) == 0 && ::rename(next.c_str(), ScanLink.c_str()) == 0;
}

}  // namespace

bool ScanThroughLink(const std::string& link) {
  if (std::getenv(kDevfsVariable) != nullptr || LoadedUsbLibrary() == ulCompat) return false;
  ScanLink = link;
  if (!PointLink(kUsbNodeFolder)) {
    ScanLink.clear();
    return false;
  }
  ScanTarget = kUsbNodeFolder;
  ::setenv(kDevfsVariable, link.c_str(), 1);
  return true;
}

void NarrowUsbScan() {
  if (!ScanLink.empty()) {
    const TScanChoice choice =
        ChooseScanFolder(kUsbDevicesFolder, kSwitchLinkFolder, kUsbNodeFolder, ulOriginal, nullptr);
    const std::string target = choice.Folder.empty() ? kUsbNodeFolder : choice.Folder;
    if (target != ScanTarget && PointLink(target)) {
      ScanTarget = target;
      if (!choice.Reason.empty()) Diagnose({choice.Reason});
    }
    return;
  }
  static const bool done = [] {
    const TScanChoice choice = ChooseScanFolder();
    if (!choice.Folder.empty()) ::setenv(kDevfsVariable, choice.Folder.c_str(), 1);
    if (!choice.Reason.empty()) Diagnose({choice.Reason});
    return true;
  }();
  (void)done;
}

}  // namespace velorin
