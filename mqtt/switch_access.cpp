#include "switch_access.h"

#include <unistd.h>

#include <cstdlib>

#include "diagnostics.h"
#include "protocol.h"
#include "usb_scan.h"

namespace velorin::mqtt {

TScanFolder::TScanFolder() {
  if (std::getenv("USB_DEVFS_PATH") != nullptr) return;
  const char* base = std::getenv("RUNTIME_DIRECTORY");
  if (base == nullptr) base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/velorin-mqtt.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return;
  Folder = pattern;
  if (!ScanThroughLink(Folder + "/usb")) {
    ::rmdir(Folder.c_str());
    Folder.clear();
  }
}

TScanFolder::~TScanFolder() {
  if (Folder.empty()) return;
  ::unlink((Folder + "/usb").c_str());
  ::rmdir(Folder.c_str());
}

TSwitchLink::TSwitchLink(const TUsbNode& node, std::string serial) : Node(node), Serial(std::move(serial)) {
  // The bridge takes the turn itself, without waiting.
  Connection.TakeTurn = false;
}

TSwitchLink::TTurn TSwitchLink::TryTurn() {
  switch (Turn.Try(TurnNodePath(Node))) {
    case TTurnTry::Held: return tnHeld;
    case TTurnTry::Locked: return tnLocked;
    case TTurnTry::Taken:
    case TTurnTry::NoLine: break;
  }
  return tnTaken;
}

bool TSwitchLink::Begin() {
  Why.clear();
  if (Connection.IsOpen()) {
    if (Connection.Resume()) return true;
  } else if (Connection.OpenAt(Node, Serial)) {
    // What Open read to check the switch is kept: it is not asked again
    // while the switch stays at this node.
    TSwitchFacts facts;
    facts.Node = Node;
    facts.Version = Connection.OpenedVersion();
    facts.Kind = Connection.OpenedKind();
    if (facts.Kind == kKindNamed) facts.Name = Connection.ReadName();
    Known = facts;
    Opened = true;
    return true;
  }
  Why = LastDiagnosis();
  return false;
}

std::optional<bool> TSwitchLink::Finish(std::optional<bool> state) {
  if (!state) {
    // Opened and checked again by the next request.
    Why = LastDiagnosis();
    Connection.Close();
    return std::nullopt;
  }
  if (Known) Known->State = *state;
  return state;
}

std::optional<bool> TSwitchLink::Read() {
  if (!Begin()) return std::nullopt;
  return Finish(Connection.GetState());
}

std::optional<bool> TSwitchLink::SetAndRead(bool on) {
  if (!Begin()) return std::nullopt;
  return Finish(Connection.SetState(on) ? Connection.GetState() : std::nullopt);
}

void TSwitchLink::EndTurn() {
  Connection.Rest();
  Turn.Release();
}

}  // namespace velorin::mqtt
