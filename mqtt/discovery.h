// The JSON payloads: a switch's attributes and its Home Assistant discovery
// config. Text from the switch is shown through the tool's text filter and
// any byte that is not UTF-8 is replaced, so each payload is valid JSON.
#pragma once

#include <string>

#include "switch_access.h"
#include "topics.h"

namespace velorin::mqtt {

// FACTS null: the switch has not been read yet in this run.
std::string AttributesPayload(const TSwitchFacts& facts);
std::string DiscoveryPayload(const TTopics& topics, const std::string& serial, const TSwitchFacts* facts);

// The name Home Assistant shows: the switch's own, else one made from the serial number.
std::string DisplayName(const std::string& serial, const TSwitchFacts* facts);

}  // namespace velorin::mqtt
