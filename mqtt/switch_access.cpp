#include "switch_access.h"

#include "protocol.h"

namespace velorin::mqtt {

std::optional<TSwitchFacts> ReadFacts(const TUsbNode& node, const std::string& serial) {
  TVelorin connection;
  if (!connection.OpenAt(node, serial)) return std::nullopt;
  TSwitchFacts facts;
  facts.Node = node;
  facts.Version = connection.GetVersion();
  facts.Kind = connection.GetKind();
  if (facts.Kind == kKindNamed) facts.Name = connection.GetName();
  const std::optional<bool> state = connection.GetState();
  if (!state) return std::nullopt;
  facts.State = *state;
  return facts;
}

std::optional<bool> ReadState(const TUsbNode& node, const std::string& serial) {
  TVelorin connection;
  if (!connection.OpenAt(node, serial)) return std::nullopt;
  return connection.GetState();
}

std::optional<bool> SetAndRead(const TUsbNode& node, const std::string& serial, bool on) {
  TVelorin connection;
  if (!connection.OpenAt(node, serial) || !connection.SetState(on)) return std::nullopt;
  return connection.GetState();
}

}  // namespace velorin::mqtt
