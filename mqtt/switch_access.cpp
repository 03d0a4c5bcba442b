#include "switch_access.h"

#include "device_text.h"
#include "protocol.h"

namespace velorin::mqtt {

std::map<std::string, TUsbNode> AttachedSwitches(const std::string& devicesFolder) {
  std::map<std::string, TUsbNode> attached;
  for (const std::string& folder : SwitchFolders(devicesFolder)) {
    const std::optional<std::string> serial = ReadAttribute(folder, "serial");
    const std::optional<TUsbNode> node = NodeOfFolder(folder);
    if (serial && node && SerialProblem(*serial) == nullptr) attached.emplace(*serial, *node);
  }
  return attached;
}

TSwitchLink::TTurn TSwitchLink::TryTurn() {
  // Interim: the line is looked at without waiting, and the open takes the
  // turn itself.
  const TTurnOutcome outcome = Turn.Take(TurnNodePath(Node), Label(Node), 0);
  Turn.Release();
  return outcome == TTurnOutcome::TooLong ? tnHeld : tnTaken;
}

bool TSwitchLink::EnsureOpen() {
  Why.clear();
  if (!Connection.OpenAt(Node, Serial)) {
    Known.reset();
    return false;
  }
  TSwitchFacts facts;
  facts.Node = Node;
  facts.Version = Connection.GetVersion();
  facts.Kind = Connection.GetKind();
  if (facts.Kind == kKindNamed) facts.Name = Connection.GetName();
  Known = facts;
  Opened = true;
  return true;
}

std::optional<bool> TSwitchLink::Read() {
  if (!EnsureOpen()) return std::nullopt;
  const std::optional<bool> state = Connection.GetState();
  if (state && Known) Known->State = *state;
  return state;
}

std::optional<bool> TSwitchLink::SetAndRead(bool on) {
  if (!EnsureOpen() || !Connection.SetState(on)) return std::nullopt;
  const std::optional<bool> state = Connection.GetState();
  if (state && Known) Known->State = *state;
  return state;
}

void TSwitchLink::EndTurn() { Connection.Close(); }

}  // namespace velorin::mqtt
