// What the switch code asks of the system it runs on. One file per system
// implements it (linux/platform.cpp, windows/platform.cpp) and CMake picks
// the one to build; nothing above this header asks which system it runs on.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "usb_node.h"

struct usb_device;

namespace velorin {

// The USB library's results for a switch that another program holds and for
// a request the switch did not answer in time.
extern const int kUsbBusy;
extern const int kUsbTimedOut;

// Once per process, before the USB library's first scan.
void PrepareUsbScan();

// Where the library found the device, numbered as the diagnostics show it.
TUsbNode NodeOf(const struct usb_device* device);

// The line that commands on this switch wait in (TSwitchTurn::Take).
std::string TurnLine(const struct usb_device* device, const TUsbNode& node);

// Why a USB call failed, from its negative RESULT (and what the library
// says of its last failure).
std::string UsbErrorText(int result);

// The same for opening or reading the device at NODE, and what the user
// lacks when it was denied. usb_open's RESULT is minus its errno.
std::string AccessErrorText(int result, const TUsbNode& node);

// The closing lines of VELORIN_DEBUG=1 when no switch was taken: LISTED
// holds the switches the USB library listed. On Linux it lists only the
// devices it could open, so when it listed none, the switches sysfs shows
// attached are looked at, for the reason.
void DiagnoseNoSwitchTaken(const std::set<TUsbNode>& listed, std::string_view wanted);

// The serial numbers of the switches this system has installed at some
// time, attached or not, in the system's order; duplicates kept. Never
// fails: what cannot be read adds nothing.
std::vector<std::string> InstalledInstances();

}  // namespace velorin
