// What the bridge asks of the switches: one request at a time on one
// switch, each in the switch's turn, so that the command line and the lab drivers can use it
// between two requests. The turn is tried without waiting: a switch another
// program holds keeps only its own requests waiting.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "switch_turn.h"
#include "usb_node.h"
#include "velorin.h"

namespace velorin::mqtt {

// What a switch says about itself, read once when it is opened.
struct TSwitchFacts {
  std::string Name;  // empty: not a named switch
  std::uint8_t Kind = 0;
  TSwitchVersion Version;
  TUsbNode Node;
  bool State = false;
};

// A folder of the bridge's own through which the USB library scans, so that
// the folder is chosen at each scan without changing the environment while
// threads run (see ScanThroughLink). Made before any thread starts, removed
// at the end; nothing is made when the user set USB_DEVFS_PATH.
class TScanFolder {
 public:
  TScanFolder();
  ~TScanFolder();
  TScanFolder(const TScanFolder&) = delete;
  TScanFolder& operator=(const TScanFolder&) = delete;

 private:
  std::string Folder;
};

// One attached switch, kept open while it stays at its node: opened and
// checked once (serial number, firmware version, kind, name), then each
// request sends only what it needs, in the switch's turn.
class TSwitchLink {
 public:
  TSwitchLink(const TUsbNode& node, std::string serial);

  enum TTurn {
    tnTaken,   // this request's turn (or no line to wait in)
    tnHeld,    // another velorin program holds the switch: try again later
    tnLocked,  // someone who may not use the switch holds its line: go ahead after kBusyRetryMs
  };
  TTurn TryTurn();
  // In its turn: the switch opened and checked when it is not yet (Fresh
  // says so once), then one request. nullopt when it did not answer; the
  // next request opens it again.
  std::optional<bool> Read();
  std::optional<bool> SetAndRead(bool on);
  void EndTurn();

  // What the switch said about itself when it was last opened.
  const std::optional<TSwitchFacts>& Facts() const { return Known; }
  // True once after each open.
  bool Fresh() { return std::exchange(Opened, false); }
  // Why the last request failed, as VELORIN_DEBUG=1 shows it; empty when unknown.
  const std::string& Reason() const { return Why; }

  const TUsbNode Node;
  const std::string Serial;

 private:
  // Opens and checks the switch, or claims it again; false when it cannot.
  bool Begin();
  std::optional<bool> Finish(std::optional<bool> state);

  TVelorin Connection;
  TSwitchTurn Turn;
  std::optional<TSwitchFacts> Known;
  bool Opened = false;
  std::string Why;
};

}  // namespace velorin::mqtt
