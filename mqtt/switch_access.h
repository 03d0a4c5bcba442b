// What the bridge asks of the switches: one request at a time on the switch
// at a known bus and device. Each call opens the switch and closes it again,
// so the command line and the lab drivers can use it between two calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "usb_node.h"
#include "velorin.h"

namespace velorin::mqtt {

// What a switch says about itself, read once when it appears.
struct TSwitchFacts {
  std::string Name;  // empty: not a named switch
  std::uint8_t Kind = 0;
  TSwitchVersion Version;
  TUsbNode Node;
  bool State = false;
};

// Opens the switch at NODE (when it carries SERIAL) for each call; nullopt
// when it cannot be opened or does not answer.
std::optional<TSwitchFacts> ReadFacts(const TUsbNode& node, const std::string& serial);
std::optional<bool> ReadState(const TUsbNode& node, const std::string& serial);
// Sets the state, then reads it back: the state the switch reports.
std::optional<bool> SetAndRead(const TUsbNode& node, const std::string& serial, bool on);

}  // namespace velorin::mqtt
