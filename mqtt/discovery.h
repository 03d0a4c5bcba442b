// The JSON payloads: a switch's attributes and its Home Assistant discovery
// config. Text from the switch is shown through the tool's text filter and
// any byte that is not UTF-8 is replaced, so each payload is valid JSON.
#pragma once

#include <string>

#include "switch_access.h"
#include "topics.h"

namespace velorin::mqtt {

// Why the last command for a switch failed, and when (UTC, ISO 8601);
// cleared by the next command carried out.
struct TFailure {
  std::string Reason;
  std::string Time;
};

// FACTS null: the switch has not been read yet in this run. FAILURE null: the
// last command was carried out, or none failed.
std::string AttributesPayload(const TSwitchFacts* facts, const TFailure* failure);
std::string DiscoveryPayload(const TTopics& topics, const std::string& serial, const TSwitchFacts* facts);

// The name Home Assistant shows: the switch's own, else one made from the serial number.
std::string DisplayName(const std::string& serial, const TSwitchFacts* facts);

// The model Home Assistant shows: what the kind says, once it is known.
std::string ModelName(const TSwitchFacts* facts);

}  // namespace velorin::mqtt
