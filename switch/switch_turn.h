// Velorin programs using one switch take turns: each holds the switch's line
// from the moment it has found the switch until it closes it, and the others
// wait in it. On Linux the line is an exclusive flock on the switch's device
// node (linux/switch_turn.cpp), on Windows a named mutex (windows/switch_turn.cpp);
// platform.h's TurnLine names it. The system's claim on the interface stays
// the real guard; the line only keeps the commands of a queue from racing
// each other for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "usb_node.h"

namespace velorin {

// How long a command waits in line behind other velorin commands before it
// gives up, as it does for a switch held by another program. A command holds
// a switch for well under a second (about 10 s at worst: two 2 s waits for
// another program, six 1 s transfer time-outs), so this leaves room for a
// queue of dozens on a busy host.
inline constexpr int kTurnWaitMs = 60000;
inline constexpr int kTurnPollMs = 20;

enum class TTurnOutcome {
  Taken,    // this command's turn: the lock is held
  NoLine,   // no lock to queue on (no node, not a switch's node); go ahead
  TooLong,  // still not this command's turn after the wait
};

// A look at the line without waiting in it.
enum class TTurnTry {
  Taken,   // free: the lock is held now
  NoLine,  // no lock to queue on; go ahead
  Held,    // another velorin program has its turn
  Locked,  // held by someone a user who cannot use the switch could be: Take goes ahead after kBusyRetryMs
};

// One command's place in line at one switch. Move-only; the lock goes with
// the object, and a turn moved onto a held one releases that one.
class TSwitchTurn {
 public:
  TSwitchTurn() = default;
  ~TSwitchTurn() { Release(); }
  TSwitchTurn(TSwitchTurn&& other) noexcept : Lock(std::exchange(other.Lock, kNoLock)) {}
  TSwitchTurn& operator=(TSwitchTurn other) noexcept {
    std::swap(Lock, other.Lock);
    return *this;
  }

  // Waits in LINE for up to WAIT_MS. On Linux, the line is the node at that
  // path, polled, never blocking; a lock that a user who cannot use the switch could take (the
  // node readable by someone who may not write it) is waited for only as
  // long as another program holding the switch (kBusyRetryMs), after which
  // the command goes ahead without its turn: such a user must not stop it.
  // On Windows, the line is the mutex of that name, waited for in one call.
  // Says under VELORIN_DEBUG=1 when it waited, how long and why it stopped.
  TTurnOutcome Take(const std::string& line, const std::string& where, int waitMs = kTurnWaitMs);
  // Takes the turn when it is free, without waiting or diagnostics: for a
  // program that serves several switches and comes back to this one later.
  TTurnTry Try(const std::string& line);
  void Release();
  bool Held() const { return Lock != kNoLock; }

 private:
  // What holds the turn: the locked node's descriptor on Linux, the owned
  // mutex's handle on Windows.
  static constexpr std::intptr_t kNoLock = -1;
  std::intptr_t Lock = kNoLock;
};

// True when everyone who can open a node with this mode and access list
// (the kernel's binary form, empty for none) for reading can also write it:
// those who cannot use the switch then cannot lock it either.
bool OnlyUsersCanLock(unsigned mode, std::string_view acl);

// The node the USB library opens for a switch, laid out like /dev/bus/usb
// under the folder the library scans (USB_DEVFS_PATH when set); a link there
// leads to the same node, and so to the same line.
std::string TurnNodePath(const TUsbNode& node);

}  // namespace velorin
