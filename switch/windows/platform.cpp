// The switch code on Windows, over libusb-win32: no record of its own to
// read (the registry has one, windows/inventory.cpp), no folder to narrow a
// scan to, and the library's own texts for its failures.
#include "platform.h"

#include <usb.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "device_text.h"
#include "diagnostics.h"

namespace velorin {

// libusb-win32 reports a device that another program holds as an I/O error
// and a time-out with its own number, not as Linux's EBUSY and ETIMEDOUT.
const int kUsbBusy = -5;
const int kUsbTimedOut = -116;

void PrepareUsbScan() {}

// libusb-win32 names its busses "bus-0" and its devices after the driver's
// own device names: the diagnostics number both by their place in the lists.
TUsbNode NodeOf(const struct usb_device* device) {
  TUsbNode node{1, 1};
  for (const usb_bus* bus = device->bus->prev; bus != nullptr; bus = bus->prev) ++node.Bus;
  for (const usb_device* before = device->prev; before != nullptr; before = before->prev) ++node.Device;
  return node;
}

// A named mutex per switch, in the Global\ namespace: a switch is one device
// for the whole machine, so commands from a service, a scheduled task and
// every user's session wait in one line. The driver's device name tells the
// switches apart; a mutex name may not hold a backslash and is kept short.
std::string TurnLine(const struct usb_device* device, const TUsbNode&) {
  std::string name(device->filename, strnlen(device->filename, sizeof device->filename));
  std::replace(name.begin(), name.end(), '\\', '/');
  return "Global\\velorin-switch-" + name.substr(0, 200);
}

std::string UsbErrorText(int result) {
  const char* said = usb_strerror();
  const std::string_view text = said != nullptr ? std::string_view(said, strnlen(said, 512)) : std::string_view();
  if (text.empty()) return "error " + std::to_string(result);
  return Showable(text);
}

std::string AccessErrorText(int result, const TUsbNode&) { return UsbErrorText(result); }

// libusb-win32 lists every device its driver serves, whoever may open it.
void DiagnoseNoSwitchTaken(const std::set<TUsbNode>& listed, std::string_view wanted) {
  if (DiagnosticsWanted()) DiagnoseNoneTaken(!listed.empty(), wanted);
}

}  // namespace velorin
