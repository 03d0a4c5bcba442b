// The kernel's device events, so that a switch plugged in or unplugged is
// seen at once rather than at the next poll.
#pragma once

#include <set>

#include "usb_node.h"

namespace velorin::mqtt {

class TDeviceEvents {
 public:
  TDeviceEvents();
  ~TDeviceEvents();
  TDeviceEvents(const TDeviceEvents&) = delete;
  TDeviceEvents& operator=(const TDeviceEvents&) = delete;

  // -1 where the events cannot be had (the regular poll still finds a switch).
  int Fd() const { return Socket; }
  // Drains the socket: the nodes of the USB devices the kernel reported
  // added or removed (a device whose numbers it did not give as {0, 0}).
  std::set<TUsbNode> Take();

 private:
  int Socket = -1;
};

}  // namespace velorin::mqtt
