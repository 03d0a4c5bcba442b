#include "discovery.h"

#include <nlohmann/json.hpp>

#include "device_text.h"

namespace velorin::mqtt {

namespace {

using nlohmann::json;

std::string Dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string VersionText(const TSwitchVersion& version) {
  return std::to_string(version.Major) + "." + std::to_string(version.Minor);
}

}  // namespace

std::string DisplayName(const std::string& serial, const TSwitchFacts* facts) {
  if (facts != nullptr && !facts->Name.empty()) return Showable(facts->Name);
  return "Velorin switch " + serial;
}

std::string AttributesPayload(const TSwitchFacts& facts) {
  const json payload = {{"name", Showable(facts.Name)},
                        {"kind", facts.Kind},
                        {"firmware_version", VersionText(facts.Version)},
                        {"bus", facts.Node.Bus},
                        {"device", facts.Node.Device}};
  return Dump(payload);
}

std::string DiscoveryPayload(const TTopics& topics, const std::string& serial, const TSwitchFacts* facts) {
  const std::string id = ObjectId(serial);
  json device = {{"identifiers", json::array({id})},
                 {"name", DisplayName(serial, facts)},
                 {"manufacturer", "Velorin"},
                 {"model", "USB switch"},
                 {"serial_number", serial}};
  if (facts != nullptr) device["sw_version"] = VersionText(facts->Version);
  const json payload = {
      {"name", nullptr},  // the entity takes the device's name
      {"unique_id", id},
      {"device", device},
      {"state_topic", topics.State(serial)},
      {"command_topic", topics.Command(serial)},
      {"json_attributes_topic", topics.Attributes(serial)},
      {"payload_on", "ON"},
      {"payload_off", "OFF"},
      {"state_on", "ON"},
      {"state_off", "OFF"},
      {"optimistic", false},
      {"qos", 1},
      {"retain", false},
      {"availability_mode", "all"},
      {"availability",
       json::array({{{"topic", topics.Status()}, {"payload_available", "online"}, {"payload_not_available", "offline"}},
                    {{"topic", topics.Availability(serial)},
                     {"payload_available", "online"},
                     {"payload_not_available", "offline"}}})},
  };
  return Dump(payload);
}

}  // namespace velorin::mqtt
