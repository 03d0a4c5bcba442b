// The switch code on Linux: the record helper's file and sysfs for the
// inventory, the switches' device nodes for the turns, and the errno texts.
#include "platform.h"

#include <fcntl.h>
#include <unistd.h>
#include <usb.h>

#include <cerrno>
#include <cstdlib>

#include "diagnostics.h"
#include "installed_files.h"
#include "protocol.h"
#include "switch_turn.h"
#include "sysfs.h"
#include "usb_scan.h"

namespace velorin {

const int kUsbBusy = -EBUSY;
const int kUsbTimedOut = -ETIMEDOUT;

void PrepareUsbScan() { NarrowUsbScan(); }

// The library names each bus folder and node by number ("001", "002").
TUsbNode NodeOf(const struct usb_device* device) {
  return TUsbNode{std::atoi(device->bus->dirname), std::atoi(device->filename)};
}

std::string TurnLine(const struct usb_device*, const TUsbNode& node) { return TurnNodePath(node); }

std::string UsbErrorText(int result) { return ErrorText(-result); }

std::string AccessErrorText(int result, const TUsbNode& node) {
  const int error = -result;
  std::string text = ErrorText(error);
  if (error == EACCES || error == EPERM) {
    text += "; the user needs the group " VELORIN_GROUP " or a local seat session for " + NodePath(node);
  }
  return text;
}

namespace {

// The switches attached in sysfs that the USB library did not list, each
// with the reason its node gives. Returns how many there were.
int DiagnoseUnlistedSwitches(const std::set<TUsbNode>& listed) {
  int count = 0;
  for (const std::string& folder : SwitchFolders(kUsbDevicesFolder)) {
    const std::optional<TUsbNode> node = NodeOfFolder(folder);
    if (!node || listed.count(*node) != 0) continue;
    ++count;
    const std::string where = Label(*node);
    Diagnose({where, ": a switch (", kUsbIdText, ")"});
    const int fd = ::open(NodePath(*node).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      Diagnose({where, ": cannot be opened: ", AccessErrorText(-errno, *node)});
    } else {
      ::close(fd);
      Diagnose({where, ": not listed by the USB library"});
    }
  }
  return count;
}

}  // namespace

void DiagnoseNoSwitchTaken(const std::set<TUsbNode>& listed, std::string_view wanted) {
  if (!DiagnosticsWanted()) return;
  DiagnoseNoneTaken(!listed.empty() || DiagnoseUnlistedSwitches(listed) > 0, wanted);
}

std::vector<std::string> InstalledInstances() { return InstalledSerials(AttachedSwitches()); }

}  // namespace velorin
